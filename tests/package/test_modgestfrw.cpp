// The description file reader: one table of small info.txt texts, the code
// page, a comparison with a literal re-parse-everything reader over random
// texts, and a large file.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <random>

#include "package/modgestfrw.h"
#include "tests/package/package_fixtures.h"

namespace dwnfrw::testing {
namespace {

InfoFRW freshRecord() {
    InfoFRW record;
    record.Articoli = QStringList{QString()};
    return record;
}

void expectSameRecord(const InfoFRW& actual, const InfoFRW& expected) {
    EXPECT_EQ(actual.FileName, expected.FileName);
    EXPECT_EQ(actual.Nome, expected.Nome);
    EXPECT_EQ(actual.Articoli, expected.Articoli);
    EXPECT_EQ(actual.FwVer, expected.FwVer);
    EXPECT_EQ(actual.Funzioni, expected.Funzioni);
    EXPECT_EQ(actual.BugFix, expected.BugFix);
    EXPECT_EQ(actual.Note, expected.Note);
    EXPECT_EQ(actual.Ext, expected.Ext);
    EXPECT_EQ(actual.Tipo, expected.Tipo);
}

struct InfoCase {
    const char* name;
    const char* fileName;
    QByteArray text;
    bool result;
    InfoFRW expected;
};

// Builds an expected record from the fresh one.
InfoFRW rec(std::initializer_list<std::pair<QString InfoFRW::*, QString>> fields,
            QStringList articoli = QStringList{QString()}) {
    InfoFRW record = freshRecord();
    for (const auto& [field, value] : fields)
        record.*field = value;
    record.Articoli = articoli;
    return record;
}

const QString kF = QStringLiteral("board.hex");

// Lines are ended by CR unless a case says otherwise.
const std::vector<InfoCase> kInfoCases = {
    {"usual_layout", "board.hex",
     "{board.hex}\r[NOME]\rMain board\r[ARTICOLO1]\rQ1234A\r[ARTICOLO2]\rQ1234B\r[FW_VER]\r"
     "4.02.17\r[FUNZIONI]\rfirst line of text\rsecond line of text\r[TIPO]\rFirmware\r{END}\r",
     true,
     rec({{&InfoFRW::FileName, kF},
          {&InfoFRW::Nome, "Main board"},
          {&InfoFRW::FwVer, "4.02.17"},
          {&InfoFRW::Funzioni, "first line of text\rsecond line of text"},
          {&InfoFRW::Tipo, "Firmware\r"}},
         {"", "Q1234A", "Q1234B"})},
    {"crlf_ends_lines_lone_lf_does_not", "board.hex",
     "{board.hex}\r\n[NOME]\nMain\r\n[FW_VER]\r\n4.0.1\r\n{END}\r\n", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "Main"}, {&InfoFRW::FwVer, "4.0.1\r"}})},
    {"last_line_without_terminator", "board.hex", "{board.hex}\r[FW_VER]\r4.0.1\r{END}", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4.0.1\r"}})},
    {"lower_case_tag_keeps_its_text", "board.hex",
     "{board.hex}\r[nome]\rMain\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "nome]\rMain"}, {&InfoFRW::FwVer, "4\r"}})},
    {"value_on_tag_line_loses_blank", "board.hex",
     "{board.hex}\r[NOME] Main board\r[FW_VER] 4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "Main board"}, {&InfoFRW::FwVer, "4\r"}})},
    {"value_on_tag_line_loses_first_letter", "board.hex",
     "{board.hex}\r[NOME]Main board\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "ain board"}, {&InfoFRW::FwVer, "4\r"}})},
    {"every_upper_case_tag_removed_from_value", "board.hex",
     "{board.hex}\r[NOME]\rA[NOME]B\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "AB"}, {&InfoFRW::FwVer, "4\r"}})},
    {"blank_lines_stay_in_value", "board.hex",
     "{board.hex}\r[FUNZIONI]\ra\r\rb\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Funzioni, "a\r\rb"}, {&InfoFRW::FwVer, "4\r"}})},
    {"smaller_article_index_shrinks_list", "board.hex",
     "{board.hex}\r[ARTICOLO3]\rC\r[ARTICOLO1]\rA\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"", "A"})},
    {"article_without_number_is_index_0", "board.hex",
     "{board.hex}\r[ARTICOLO]\rX\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"X"})},
    {"lower_case_article_tag_reads_as_index_0", "board.hex",
     "{board.hex}\r[articolo2]\rX\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"X"})},
    {"article_code_on_tag_line_loses_first_letter", "board.hex",
     "{board.hex}\r[ARTICOLO1]Q1\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"", "1"})},
    {"article_index_blanks_skipped_and_half_to_even", "board.hex",
     "{board.hex}\r[ARTICOLO 0 1]\rX\r[ARTICOLO2.5]\rY\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"", "X", "Y"})},
    {"article_negative_or_huge_index_ignored", "board.hex",
     "{board.hex}\r[ARTICOLO-1]\rX\r[ARTICOLO1000]\rY\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}})},
    {"article_without_bracket_ignored", "board.hex",
     "{board.hex}\r[ARTICOLO1\rX\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}})},
    {"hexadecimal_article_index", "board.hex",
     "{board.hex}\r[ARTICOLO&H2]\rX\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}}, {"", "", "X"})},
    {"last_entry_keeps_trailing_cr", "board.hex",
     "{board.hex}\r[FW_VER]\r4\r[TIPO]\rFirmware\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4"}, {&InfoFRW::Tipo, "Firmware\r"}})},
    {"type_after_tipo_wins", "board.hex",
     "{board.hex}\r[TIPO]\rA\r[TYPE]\rB\r[EXT]\rhex\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF},
          {&InfoFRW::Tipo, "B"},
          {&InfoFRW::Ext, "hex"},
          {&InfoFRW::FwVer, "4\r"}})},
    {"other_file_block_has_no_effect", "board.hex",
     "{other.bin}\r[NOME]\rOther\r[FW_VER]\r1\r{END}\r", false, freshRecord()},
    {"file_name_must_close_with_brace", "board.he", "{board.hex}\r[FW_VER]\r4\r{END}\r", false,
     freshRecord()},
    {"opening_line_any_case_with_trailing_text", "board.hex",
     "{BOARD.HEX} spare\r[FW_VER]\r4\r{end}\r", true,
     rec({{&InfoFRW::FileName, "BOARD.HEX spare"}, {&InfoFRW::FwVer, "4\r"}})},
    {"repeated_version_keeps_last", "board.hex",
     "{board.hex}\r[FW_VER]\r1.0.0\r[FW_VER]\r4.1.2\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4.1.2\r"}})},
    {"missing_end_returns_false", "board.hex", "{board.hex}\r[NOME]\rA\r[FW_VER]\r4\r", false,
     rec({{&InfoFRW::FileName, kF}})},
    {"block_without_version_returns_false", "board.hex", "{board.hex}\r[NOME]\rA\r{END}\r", false,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "A\r"}})},
    {"brace_line_inside_block_ends_entry", "board.hex",
     "{board.hex}\r[NOME]\rA\r{note}\rB\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "A"}, {&InfoFRW::FwVer, "4\r"}})},
    {"unknown_tag_ignored", "board.hex", "{board.hex}\r[FOO]\rbar\r[FW_VER]\r4\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4\r"}})},
    {"end_before_any_block_changes_nothing", "board.hex", "{END}\rtext\r", false, freshRecord()},
    // The collected text is never cleared: the second "{END}" parses both
    // blocks, and the first block's last entry has lost its final CR.
    {"second_block_parses_both_again", "board.hex",
     "{board.hex}\r[NOME]\rA\r[FW_VER]\r4\r{END}\r{board.hex}\r[NOME]\rB\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::Nome, "B\r"}, {&InfoFRW::FwVer, "4"}})},
    {"unclosed_second_block_keeps_first", "board.hex",
     "{board.hex}\r[FW_VER]\r4\r{END}\r{board.hex} again\r[FW_VER]\r5\r", true,
     rec({{&InfoFRW::FileName, "board.hex again"}, {&InfoFRW::FwVer, "4\r"}})},
    {"articles_across_two_blocks", "board.hex",
     "{board.hex}\r[ARTICOLO2]\rB\r[FW_VER]\r4\r{END}\r{board.hex}\r[ARTICOLO1]\rA\r{END}\r", true,
     rec({{&InfoFRW::FileName, kF}, {&InfoFRW::FwVer, "4"}}, {"", "A\r"})},
};

class InfoTextTable : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoTextTable, ReadsBlockAsWritten) {
    const InfoCase& c = GetParam();
    QTemporaryDir folder;
    const QString infoPath = folder.filePath(QStringLiteral("info.txt"));
    ASSERT_TRUE(writeAll(infoPath, c.text));
    InfoFRW record = freshRecord();
    EXPECT_EQ(ReadInfoFRW(QString::fromLatin1(c.fileName), record, infoPath), c.result);
    expectSameRecord(record, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Edges, InfoTextTable, ::testing::ValuesIn(kInfoCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadInfoFRW, FieldsTheBlockDoesNotMentionKeepTheirContents) {
    QTemporaryDir folder;
    const QString infoPath = folder.filePath(QStringLiteral("info.txt"));
    ASSERT_TRUE(writeAll(infoPath, "{a.hex}\r[FW_VER]\r4\r{END}\r"));
    InfoFRW record = freshRecord();
    record.Note = QStringLiteral("kept");
    record.Articoli = QStringList{QStringLiteral("x"), QStringLiteral("y")};
    EXPECT_TRUE(ReadInfoFRW(QStringLiteral("a.hex"), record, infoPath));
    EXPECT_EQ(record.Note, QStringLiteral("kept"));
    EXPECT_EQ(record.Articoli, (QStringList{"x", "y"}));
}

TEST(ReadInfoFRW, MissingFileReturnsFalse) {
    InfoFRW record = freshRecord();
    EXPECT_FALSE(
        ReadInfoFRW(QStringLiteral("a.hex"), record, QStringLiteral("/nonexistent/info.txt")));
    expectSameRecord(record, freshRecord());
}

TEST(DecodeInfoText, Utf8OnlyWhenTheWholeFileIsValid) {
    struct Row {
        const char* name;
        QByteArray bytes;
        QString text;
    };
    const std::vector<Row> rows = {
        {"plain_ascii", "abc", QStringLiteral("abc")},
        {"cp1252_accent", "perch\xe9 citt\xe0", QStringLiteral("perch\u00e9 citt\u00e0")},
        {"cp1252_high_table", "\x80\x85\x92\x99\x9f",
         QStringLiteral("\u20ac\u2026\u2019\u2122\u0178")},
        {"cp1252_unassigned_bytes", "\x81\x8d\x8f\x90\x9d",
         QStringLiteral("\u0081\u008d\u008f\u0090\u009d")},
        {"utf8_accent", "perch\xc3\xa9", QStringLiteral("perch\u00e9")},
        {"utf8_bom_skipped", "\xef\xbb\xbf{a}", QStringLiteral("{a}")},
        {"mixed_falls_back_to_cp1252", "\xc3\xa9 \xe9", QStringLiteral("\u00c3\u00a9 \u00e9")},
        {"truncated_utf8_sequence", "ab\xc3", QStringLiteral("ab\u00c3")},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(DecodeInfoText(row.bytes), row.text) << row.name;
    }
}

TEST(ReadInfoFRW, Cp1252NameMatchesAndDecodes) {
    QTemporaryDir folder;
    const QString infoPath = folder.filePath(QStringLiteral("info.txt"));
    ASSERT_TRUE(writeAll(infoPath,
                         "{sch\xe8"
                         "da.hex}\r\n[NOME]\r\nScheda unit\xe0\r\n[FW_VER]\r\n4\r\n{END}\r\n"));
    InfoFRW record = freshRecord();
    EXPECT_TRUE(ReadInfoFRW(QStringLiteral("SCH\u00c8DA.HEX"), record, infoPath));
    EXPECT_EQ(record.Nome, QStringLiteral("Scheda unit\u00e0"));
}

// The reader as first written: collect every line, parse all of them again at
// each "{END}" with a real list resize. Kept literal, slow on purpose.
bool literalReader(const QString& fileName, InfoFRW& record, const QString& text) {
    QStringList lines;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf(u'\r', start);
        if (end < 0)
            end = text.size();
        lines << text.mid(start, end - start);
        start = end + 1;
        if (end < text.size() && start < text.size() && text[start] == u'\n')
            ++start;
    }
    bool inside = false;
    bool result = false;
    QString collected;
    for (const QString& line : lines) {
        if (line.toUpper().startsWith(u'{' + fileName.toUpper() + u'}')) {
            inside = true;
            record.FileName = QString(line).remove(u'{').remove(u'}');
        }
        if (line.toUpper().startsWith(QStringLiteral("{END}"))) {
            inside = false;
            QStringList parts = collected.split(u'\r');
            qsizetype head = 0;
            for (qsizetype i = 0; i < parts.size(); ++i) {
                if (parts[i].startsWith(u'[') || parts[i].startsWith(u'{')) {
                    head = i;
                } else if (i > 0) {
                    parts[head] += u'\r' + parts[i];
                    parts[i].clear();
                }
            }
            if (collected.isEmpty())
                parts.clear();
            for (const QString& entry : parts) {
                if (entry.isEmpty())
                    continue;
                const QString upper = entry.toUpper();
                if (upper.startsWith(QStringLiteral("[ARTICOLO"))) {
                    const qsizetype close = entry.indexOf(u']');
                    if (close < 0)
                        continue;
                    QString head = entry.left(close + 1);
                    head.remove(QStringLiteral("[ARTICOLO")).remove(u']');
                    qsizetype digits = 0;
                    while (digits < head.size() && head[digits].isDigit())
                        ++digits;
                    const int n = digits == 0 ? 0 : head.left(digits).toInt();
                    record.Articoli.resize(n + 1);
                    record.Articoli[n] = entry.mid(close + 2);
                    continue;
                }
                const std::pair<const char*, QString InfoFRW::*> tags[] = {
                    {"[NOME]", &InfoFRW::Nome},         {"[FW_VER]", &InfoFRW::FwVer},
                    {"[FUNZIONI]", &InfoFRW::Funzioni}, {"[BUG_FIX]", &InfoFRW::BugFix},
                    {"[NOTE]", &InfoFRW::Note},         {"[EXT]", &InfoFRW::Ext},
                    {"[TIPO]", &InfoFRW::Tipo},         {"[TYPE]", &InfoFRW::Tipo}};
                for (const auto& [tag, field] : tags) {
                    const QString t = QString::fromLatin1(tag);
                    if (!upper.startsWith(t))
                        continue;
                    record.*field = QString(entry).remove(t).mid(1);
                    if (t == u"[FW_VER]")
                        result = true;
                    break;
                }
            }
        }
        if (inside)
            collected += line + u'\r';
    }
    return result;
}

TEST(ReadInfoFRW, AgreesWithTheLiteralReaderOnRandomTexts) {
    const char* const lines[] = {
        "{f.hex}",     "{F.HEX} x", "{g.hex}",  "{END}",       "{end} tail",   "[NOME]",
        "[nome]",      "[NOME]v",   "[FW_VER]", "[ARTICOLO1]", "[ARTICOLO3]",  "[ARTICOLO]",
        "[articolo2]", "[TIPO]",    "[TYPE]",   "[EXT]",       "[NOTE]",       "[FUNZIONI]",
        "[BUG_FIX]",   "value",     "",         "x]y",         "[ARTICOLO2]z", "{f.hex}}",
        "{f.he}",      "{f}x} a",   "{F}X}",    "{END}{f.hex}"};
    const char* const terminators[] = {"\r", "\r\n"};
    std::mt19937 random(20240611);
    QTemporaryDir folder;
    for (int round = 0; round < 1500; ++round) {
        // A new file each round: rewriting one file is slow on some file systems.
        const QString infoPath = folder.filePath(QStringLiteral("info%1.txt").arg(round));
        QString text;
        const int count = int(random() % 40);
        for (int i = 0; i < count; ++i) {
            text += QString::fromLatin1(lines[random() % std::size(lines)]);
            text += QString::fromLatin1(terminators[random() % 2]);
        }
        ASSERT_TRUE(writeAll(infoPath, text.toLatin1()));
        SCOPED_TRACE(QString(text)
                         .replace(u'\r', QStringLiteral("\\r"))
                         .replace(u'\n', QStringLiteral("\\n"))
                         .toStdString());
        // Names with a "}" and a name that makes "{END}" an opening line too.
        for (const char* name : {"f.hex", "f}x", "END"}) {
            InfoFRW fast = freshRecord();
            InfoFRW literal = freshRecord();
            const QString fileName = QString::fromLatin1(name);
            const bool fastResult = ReadInfoFRW(fileName, fast, infoPath);
            const bool literalResult = literalReader(fileName, literal, text);
            ASSERT_EQ(fastResult, literalResult) << name;
            expectSameRecord(fast, literal);
        }
        if (::testing::Test::HasFailure())
            return;
    }
}

// Thousands of blocks of the same file: each "{END}" parses everything again
// in the literal algorithm, which must not make the reading quadratic.
TEST(ReadInfoFRW, LargeFileWithManyBlocksReadsInLinearTime) {
    QTemporaryDir folder;
    const QString infoPath = folder.filePath(QStringLiteral("info.txt"));
    const QByteArray block =
        "{big.hex}\r\n[NOME]\r\nName\r\n[ARTICOLO999]\r\nA\r\n[ARTICOLO0]\r\nB\r\n"
        "[FUNZIONI]\r\nline one\r\nline two\r\n[FW_VER]\r\n4.0.1\r\n{END}\r\n";
    constexpr qsizetype kTargetBytes = 16LL * 1024 * 1024;
    QByteArray text;
    text.reserve(kTargetBytes + block.size());
    while (text.size() < kTargetBytes)
        text += block;
    ASSERT_TRUE(writeAll(infoPath, text));
    text.clear();

    QElapsedTimer clock;
    clock.start();
    InfoFRW record = freshRecord();
    EXPECT_TRUE(ReadInfoFRW(QStringLiteral("big.hex"), record, infoPath));
    const qint64 elapsedMs = clock.elapsed();
    EXPECT_EQ(record.Nome, QStringLiteral("Name"));
    EXPECT_EQ(record.FwVer, QStringLiteral("4.0.1\r"));
    EXPECT_EQ(record.Articoli, QStringList{QStringLiteral("B")});
    RecordProperty("elapsed_ms", int(elapsedMs));
    // Generous: linear reading takes seconds, a quadratic one hours.
    EXPECT_LT(elapsedMs, 60000);
}

}  // namespace
}  // namespace dwnfrw::testing
