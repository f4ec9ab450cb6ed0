#include "package/modgestfrw.h"

#include <QFile>
#include <QStringDecoder>
#include <QStringView>
#include <algorithm>
#include <array>
#include <cmath>
#include <map>

namespace dwnfrw {

namespace {

QList<InfoFRW> g_infoTable{InfoFRW{}};

constexpr QChar kCR = u'\r';
constexpr QChar kLF = u'\n';

// Characters 0x80-0x9F of Windows-1252; the rest of the page is Latin-1. The
// five unassigned bytes map to the C1 control of the same value, as Windows does.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString decodeCp1252(const QByteArray& bytes) {
    QString text(bytes.size(), Qt::Uninitialized);
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out[i] = (byte >= 0x80 && byte <= 0x9F) ? QChar(kCp1252High[byte - 0x80]) : QChar(byte);
    }
    return text;
}

// Upper-casing one UTF-16 unit at a time keeps positions aligned with the
// original text, which the tag handling relies on.
bool startsWithUpper(QStringView text, QStringView upperPrefix) {
    if (text.size() < upperPrefix.size())
        return false;
    for (qsizetype i = 0; i < upperPrefix.size(); ++i) {
        if (text[i].toUpper() != upperPrefix[i])
            return false;
    }
    return true;
}

QString upperSameLength(QStringView text) {
    QString upper(text.size(), Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        upper[i] = text[i].toUpper();
    return upper;
}

int digitValue(QChar c) {
    const char16_t u = c.toUpper().unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

bool isNumberBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == kLF;
}

// The leading number of a text as the BASIC Val function reads it: blanks are
// skipped anywhere, "&H" and "&O" introduce hexadecimal and octal integers, and
// reading stops at the first character that cannot continue the number.
double leadingNumber(QStringView text) {
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text) {
        if (!isNumberBlank(c))
            compact.append(c);
    }
    if (compact.size() >= 2 && compact[0] == u'&') {
        const QChar kind = compact[1].toUpper();
        const int base = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
        if (base == 0)
            return 0;
        uint64_t value = 0;
        for (qsizetype i = 2; i < compact.size() && value <= 0xFFFFFFFFull; ++i) {
            const int digit = digitValue(compact[i]);
            if (digit < 0 || digit >= base)
                break;
            value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        }
        if (value > 0xFFFFFFFFull)
            return static_cast<double>(value);
        // Hexadecimal and octal literals are 16-bit when they fit, else 32-bit.
        if (value <= 0xFFFF)
            return static_cast<int16_t>(value);
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }

    QByteArray number;
    qsizetype i = 0;
    auto take = [&](auto accept) {
        while (i < compact.size() && accept(compact[i]))
            number.append(char(compact[i++].unicode()));
    };
    auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    if (i < compact.size() && (compact[i] == u'+' || compact[i] == u'-')) {
        number.append(char(compact[i++].unicode()));
    }
    const qsizetype mantissaStart = number.size();
    take(isDigit);
    if (i < compact.size() && compact[i] == u'.') {
        number.append('.');
        ++i;
        take(isDigit);
    }
    if (number.size() == mantissaStart || number.mid(mantissaStart) == ".")
        return 0;
    if (i < compact.size()) {
        const QChar e = compact[i].toUpper();
        if (e == u'E' || e == u'D') {
            qsizetype j = i + 1;
            QByteArray exponent("e");
            if (j < compact.size() && (compact[j] == u'+' || compact[j] == u'-')) {
                exponent.append(char(compact[j++].unicode()));
            }
            const qsizetype digitsStart = j;
            while (j < compact.size() && isDigit(compact[j]))
                exponent.append(char(compact[j++].unicode()));
            if (j > digitsStart)
                number.append(exponent);
        }
    }
    bool ok = false;
    const double value = number.toDouble(&ok);
    return ok ? value : 0;
}

// Article codes while a block is parsed: only the codes that were set are
// kept, with the list's length beside them, so that shrinking and growing the
// list costs nothing per unused index.
class ArticleList {
  public:
    explicit ArticleList(const QStringList& initial) : size_(initial.size()) {
        for (qsizetype i = 0; i < initial.size(); ++i) {
            if (!initial[i].isEmpty())
                codes_.emplace(i, initial[i]);
        }
    }

    void resizeAndSet(qsizetype index, const QString& code) {
        codes_.erase(codes_.upper_bound(index), codes_.end());
        size_ = index + 1;
        codes_[index] = code;
    }

    QStringList toList() const {
        QStringList list(size_);
        for (const auto& [index, code] : codes_)
            list[index] = code;
        return list;
    }

  private:
    std::map<qsizetype, QString> codes_;
    qsizetype size_ = 0;
};

struct Tag {
    QStringView text;
    QString InfoFRW::*field;
    bool isVersion;
};

const std::array<Tag, 8> kTags = {{
    {u"[NOME]", &InfoFRW::Nome, false},
    {u"[FW_VER]", &InfoFRW::FwVer, true},
    {u"[FUNZIONI]", &InfoFRW::Funzioni, false},
    {u"[BUG_FIX]", &InfoFRW::BugFix, false},
    {u"[NOTE]", &InfoFRW::Note, false},
    {u"[EXT]", &InfoFRW::Ext, false},
    {u"[TIPO]", &InfoFRW::Tipo, false},
    {u"[TYPE]", &InfoFRW::Tipo, false},
}};

constexpr QStringView kArticleTag = u"[ARTICOLO";

// One entry: a tag line with the lines that follow it, joined by CR. The tag is
// followed by the CR that joined it to its value, so one character after the
// tag is always dropped.
void applyEntry(const QString& entry, InfoFRW& record, ArticleList& articles, bool& versionRead) {
    if (startsWithUpper(entry, kArticleTag)) {
        const qsizetype close = entry.indexOf(u']');
        if (close < 0)
            return;
        QString head = entry.left(close + 1);
        head.remove(kArticleTag.toString(), Qt::CaseSensitive);
        head.remove(u']');
        const double index = std::nearbyint(leadingNumber(head));
        if (index < 0 || index > kMaxArticleIndex)
            return;
        articles.resizeAndSet(static_cast<qsizetype>(index), entry.mid(close + 2));
        return;
    }
    for (const Tag& tag : kTags) {
        if (!startsWithUpper(entry, tag.text))
            continue;
        QString value = entry;
        value.remove(tag.text.toString(), Qt::CaseSensitive);
        record.*tag.field = value.mid(1);
        if (tag.isVersion)
            versionRead = true;
        return;
    }
}

// The reader keeps every collected line and parses all of them again at each
// "{END}", so later blocks of the same file replace earlier values. Parsing the
// old entries again gives what they gave before, with one difference: the last
// entry of the earlier text no longer ends with the CR of the final empty line.
// So each "{END}" applies only that entry again without its CR, then the
// entries collected since the last "{END}"; a large file stays linear.
class BlockCollector {
  public:
    BlockCollector(InfoFRW& record) : record_(record), articles_(record.Articoli) {}

    void addLine(QStringView line) {
        if (line.startsWith(u'[') || line.startsWith(u'{') || pending_.isEmpty()) {
            pending_.append(line.toString());
        } else {
            pending_.last().append(kCR).append(line);
        }
    }

    void parse() {
        if (pending_.isEmpty())
            return;
        if (parsedBefore_)
            applyEntry(lastEntry_, record_, articles_, versionRead_);
        lastEntry_ = pending_.last();
        pending_.last().append(kCR);
        for (const QString& entry : pending_)
            applyEntry(entry, record_, articles_, versionRead_);
        pending_.clear();
        parsedBefore_ = true;
    }

    // The article list is rebuilt once, at the end of the file.
    void finish() {
        if (parsedBefore_)
            record_.Articoli = articles_.toList();
    }

    bool versionRead() const { return versionRead_; }

  private:
    InfoFRW& record_;
    ArticleList articles_;
    QStringList pending_;
    QString lastEntry_;
    bool parsedBefore_ = false;
    bool versionRead_ = false;
};

}  // namespace

QList<InfoFRW>& InfoFRWTable() {
    return g_infoTable;
}

void ResetInfoFRWTable() {
    g_infoTable = QList<InfoFRW>{InfoFRW{}};
}

QString DecodeInfoText(const QByteArray& bytes) {
    // Stateless: a sequence cut off at the end of the file is an error too.
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return decodeCp1252(bytes);
}

namespace {

constexpr QStringView kEndTag = u"{END}";

// The part of an opening line "{name}..." that the index files it under: the
// upper-cased text between "{" and the first "}". A file name is looked up by
// the same part of itself, so names holding a "}" are found too.
QString openingKey(QStringView afterBrace) {
    const qsizetype close = afterBrace.indexOf(u'}');
    return upperSameLength(close < 0 ? afterBrace : afterBrace.left(close));
}

}  // namespace

qsizetype InfoFile::lineEnd(qsizetype start) const {
    const qsizetype end = text_.indexOf(kCR, start);
    return end < 0 ? text_.size() : end;
}

qsizetype InfoFile::nextLine(qsizetype start) const {
    const qsizetype end = lineEnd(start);
    if (end >= text_.size())
        return text_.size();
    return (end + 1 < text_.size() && text_[end + 1] == kLF) ? end + 2 : end + 1;
}

QStringView InfoFile::lineAt(qsizetype start) const {
    return QStringView(text_).mid(start, lineEnd(start) - start);
}

bool InfoFile::load(const QString& path) {
    loaded_ = false;
    text_.clear();
    openings_.clear();
    ends_.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    text_ = DecodeInfoText(file.readAll());
    file.close();

    for (qsizetype start = 0; start < text_.size(); start = nextLine(start)) {
        if (text_[start] != u'{')
            continue;
        const QStringView line = lineAt(start);
        if (startsWithUpper(line, kEndTag))
            ends_.push_back(start);
        if (line.indexOf(u'}') > 0)
            openings_.emplace_back(qHash(openingKey(line.mid(1))), start);
    }
    std::sort(openings_.begin(), openings_.end());
    loaded_ = true;
    return true;
}

// Replays the reading of the whole file for one name. Lines outside the
// name's blocks only matter when they are "{END}" lines, and an "{END}" with
// nothing new collected parses the same text again to the same result, so
// only the blocks themselves are visited.
bool InfoFile::readBlock(const QString& fileName, InfoFRW& record) const {
    if (!loaded_)
        return false;
    const QString opening = u'{' + upperSameLength(fileName) + u'}';
    const size_t key = qHash(openingKey(QStringView(fileName)));
    auto candidate =
        std::lower_bound(openings_.begin(), openings_.end(), std::pair<size_t, qsizetype>(key, 0));

    BlockCollector collector(record);
    qsizetype collectedUpTo = -1;  // start of the line that closed the last block
    for (; candidate != openings_.end() && candidate->first == key; ++candidate) {
        const qsizetype start = candidate->second;
        const QStringView line = lineAt(start);
        if (!startsWithUpper(line, opening))
            continue;  // another name under the same hash
        record.FileName = line.toString().remove(u'{').remove(u'}');
        if (start < collectedUpTo)
            continue;  // inside a block already collected
        if (startsWithUpper(line, kEndTag))
            continue;  // opens and closes on the same line: nothing collected

        const auto close = std::upper_bound(ends_.begin(), ends_.end(), start);
        const qsizetype blockEnd = close == ends_.end() ? text_.size() : *close;
        for (qsizetype at = start; at < blockEnd; at = nextLine(at))
            collector.addLine(lineAt(at));
        if (close == ends_.end()) {
            collectedUpTo = text_.size();  // never closed: never parsed
        } else {
            collector.parse();
            collectedUpTo = blockEnd;
        }
    }
    collector.finish();
    return collector.versionRead();
}

bool ReadInfoFRW(const QString& fileName, InfoFRW& record, const InfoFile& info) {
    return info.readBlock(fileName, record);
}

bool ReadInfoFRW(const QString& fileName, InfoFRW& record, const QString& infoPath) {
    InfoFile info;
    if (!info.load(infoPath))
        return false;
    return info.readBlock(fileName, record);
}

}  // namespace dwnfrw
