// The reader of info.txt, fed with any bytes as the description file. The
// reader indexes the file once and visits only the wanted blocks; this target
// also reads every block the plain way, one pass over all lines collecting
// and parsing as the format describes, and stops at the first field in which
// the two disagree.
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "fuzz/fuzz_support.h"
#include "package/modgestfrw.h"

namespace {

using namespace dwnfrw;

constexpr QChar kCR = u'\r';
constexpr QChar kLF = u'\n';
// Distinct names looked up per input besides the fixed one.
constexpr int kNamesPerInput = 3;

QString upperUnits(QStringView text) {
    QString upper(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        upper[i] = text[i].toUpper();
    return upper;
}

// Lines end at CR or CR LF; a lone LF belongs to the line.
QList<QStringView> splitLines(const QString& text) {
    QList<QStringView> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf(kCR, start);
        if (end < 0)
            end = text.size();
        lines << QStringView(text).mid(start, end - start);
        start = end + 1;
        if (end < text.size() && start < text.size() && text[start] == kLF)
            ++start;
    }
    return lines;
}

// The index of an article tag when it is a plain integer (blanks anywhere);
// no value for other spellings, whose reading this check leaves alone.
std::optional<long long> plainIndex(const QString& head) {
    QString digits;
    for (QChar c : head) {
        if (c != u' ' && c != u'\t' && c != kLF)
            digits.append(c);
    }
    static const QRegularExpression plain(QStringLiteral("^[+-]?[0-9]{1,9}$"));
    if (!plain.match(digits).hasMatch())
        return std::nullopt;
    return digits.toLongLong();
}

struct Reference {
    InfoFRW record;
    bool versionRead = false;
    bool articlesKnown = true;
};

void applyEntry(const QString& entry, Reference& ref) {
    const QString upper = upperUnits(entry);
    if (upper.startsWith(QStringLiteral("[ARTICOLO"))) {
        const qsizetype close = entry.indexOf(u']');
        if (close < 0)
            return;
        QString head = entry.left(close + 1);
        head.remove(QStringLiteral("[ARTICOLO"), Qt::CaseSensitive);
        head.remove(u']');
        const std::optional<long long> index = plainIndex(head);
        if (!index) {
            ref.articlesKnown = false;
            return;
        }
        if (*index < 0 || *index > kMaxArticleIndex)
            return;
        QStringList& list = ref.record.Articoli;
        list.resize(*index + 1);
        list[*index] = entry.mid(close + 2);
        return;
    }
    struct Tag {
        const char16_t* text;
        QString InfoFRW::*field;
    };
    static const Tag kTags[] = {
        {u"[NOME]", &InfoFRW::Nome},         {u"[FW_VER]", &InfoFRW::FwVer},
        {u"[FUNZIONI]", &InfoFRW::Funzioni}, {u"[BUG_FIX]", &InfoFRW::BugFix},
        {u"[NOTE]", &InfoFRW::Note},         {u"[EXT]", &InfoFRW::Ext},
        {u"[TIPO]", &InfoFRW::Tipo},         {u"[TYPE]", &InfoFRW::Tipo},
    };
    for (const Tag& tag : kTags) {
        const QString text = QString::fromUtf16(tag.text);
        if (!upper.startsWith(text))
            continue;
        QString value = entry;
        value.remove(text, Qt::CaseSensitive);
        ref.record.*tag.field = value.mid(1);
        if (tag.field == &InfoFRW::FwVer)
            ref.versionRead = true;
        return;
    }
}

void parseCollected(const QString& collected, Reference& ref) {
    const QStringList lines = collected.split(kCR);
    QStringList entries;
    for (const QString& line : lines) {
        if (line.startsWith(u'[') || line.startsWith(u'{') || entries.isEmpty())
            entries << line;
        else
            entries.last() += kCR + line;
    }
    for (const QString& entry : entries) {
        if (!entry.isEmpty())
            applyEntry(entry, ref);
    }
}

// The whole file, every line, in order.
Reference readPlainly(const QString& text, const QString& fileName, const InfoFRW& start) {
    Reference ref;
    ref.record = start;
    const QString opening = u'{' + upperUnits(fileName) + u'}';
    bool inside = false;
    QString collected;
    for (QStringView line : splitLines(text)) {
        const QString upper = upperUnits(line);
        if (upper.startsWith(opening)) {
            inside = true;
            ref.record.FileName = line.toString().remove(u'{').remove(u'}');
        }
        if (upper.startsWith(QStringLiteral("{END}"))) {
            inside = false;
            parseCollected(collected, ref);
        }
        if (inside)
            collected += line.toString() + kCR;
    }
    return ref;
}

[[noreturn]] void disagree(const char* what, const QString& fileName, const QString& fast,
                           const QString& plain) {
    fprintf(stderr,
            "info.txt readers disagree on %s of \"%s\":\n  indexed: \"%s\"\n  plain:   \"%s\"\n",
            what, qPrintable(fileName), qPrintable(fast), qPrintable(plain));
    abort();
}

void compare(const QString& name, bool fastResult, const InfoFRW& fast, const Reference& plain) {
    if (fastResult != plain.versionRead) {
        disagree("the result", name, QString::number(fastResult),
                 QString::number(plain.versionRead));
    }
    const struct {
        const char* what;
        QString InfoFRW::*field;
    } fields[] = {{"FileName", &InfoFRW::FileName}, {"Nome", &InfoFRW::Nome},
                  {"FwVer", &InfoFRW::FwVer},       {"Funzioni", &InfoFRW::Funzioni},
                  {"BugFix", &InfoFRW::BugFix},     {"Note", &InfoFRW::Note},
                  {"Ext", &InfoFRW::Ext},           {"Tipo", &InfoFRW::Tipo}};
    for (const auto& f : fields) {
        if (fast.*f.field != plain.record.*f.field)
            disagree(f.what, name, fast.*f.field, plain.record.*f.field);
    }
    if (plain.articlesKnown && fast.Articoli != plain.record.Articoli) {
        disagree("Articoli", name, fast.Articoli.join(u'|'), plain.record.Articoli.join(u'|'));
    }
}

// The names of the opening lines, as a package's files would be named.
QStringList namesIn(const QString& text) {
    QStringList names{QStringLiteral("board.hex")};
    QSet<QString> seen{names.first()};
    for (QStringView line : splitLines(text)) {
        if (names.size() > kNamesPerInput)
            break;
        const qsizetype close = line.indexOf(u'}');
        if (!line.startsWith(u'{') || close < 1)
            continue;
        const QString name = line.mid(1, close - 1).toString();
        if (!seen.contains(name)) {
            seen.insert(name);
            names << name;
        }
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzz::bytesOf(data, size);
    const QString infoPath = QDir(fuzz::scratchFolder()).filePath(QStringLiteral("info.txt"));
    if (!fuzz::writeFile(infoPath, bytes))
        abort();
    const QString text = DecodeInfoText(bytes);

    InfoFile info;
    if (!info.load(infoPath))
        abort();
    InfoFRW start;
    start.Articoli = QStringList{QString()};
    for (const QString& name : namesIn(text)) {
        InfoFRW fast = start;
        const bool fastResult = ReadInfoFRW(name, fast, info);
        compare(name, fastResult, fast, readPlainly(text, name, start));

        // The overload that reads the file itself gives the same.
        InfoFRW again = start;
        if (ReadInfoFRW(name, again, infoPath) != fastResult || again.Nome != fast.Nome ||
            again.FwVer != fast.FwVer || again.Articoli != fast.Articoli)
            abort();
    }
    return 0;
}
