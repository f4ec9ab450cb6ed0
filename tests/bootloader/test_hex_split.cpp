#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <array>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bootloader/modcomm.h"
#include "bootloader/text_lines.h"
#include "startup/localtext.h"
#include "tests/bootloader/bootloader_test_support.h"

namespace dwnfrw {
namespace {

using testing::readFileBytes;
using testing::TempFolderTest;
using testing::writeFileBytes;

// One Intel HEX record with its checksum; data is written as hex digits.
QByteArray rec(uint16_t address, uint8_t type, const QByteArray& dataHex) {
    return testing::hexRecord(address, type, QByteArray::fromHex(dataHex));
}

QByteArray ela(uint16_t upper) {
    return rec(0, 4, QByteArray::number(upper, 16).rightJustified(4, '0'));
}

const QByteArray kEnd = ":00000001FF\r\n";
const QByteArray kStale = "stale\r\n";

// n padding cells of a region line.
QByteArray ff(int n) {
    return QByteArray("FF ").repeated(n);
}

// Refused: by the record check, with `text`; Unplaced: by the split itself, a
// record in none of the device's memories, with `text`.
enum class Outcome { Ok, Invalid, NoEndRecord, PastWindow, Refused, Unplaced };

struct SplitCase {
    const char* name;
    QByteArray hex;
    Outcome outcome;
    // progmem, eedata, userid, config after the split; nullopt = no file.
    std::array<std::optional<QByteArray>, 4> files;
    std::function<QString()> text = nullptr;
};

void PrintTo(const SplitCase& c, std::ostream* out) {
    *out << c.name;
}

const char* const kRegionNames[4] = {"progmem", "eedata", "userid", "config"};

const std::array<std::optional<QByteArray>, 4> kUntouched = {kStale, kStale, kStale, kStale};
// A failure after the files were made anew removes them all.
const std::array<std::optional<QByteArray>, 4> kNoFiles = {};

// Text n with the line and the further arguments.
template <typename... Args>
std::function<QString()> lineText(int n, int line, Args... args) {
    return [=] {
        QString text = GetText(n).arg(line);
        ((text = text.arg(args)), ...);
        return text;
    };
}

std::vector<SplitCase> splitCases() {
    const QByteArray sixteen = "000102030405060708090A0B0C0D0E0F";
    const QByteArray eightAtOffset8 = ela(0) + rec(0x0008, 0, "0102030405060708") + kEnd;
    const QByteArray eightAtOffset8Line = "000000 " + ff(8) + "01 02 03 04 05 06 07 08 \r\n";
    QByteArray lfOnly = eightAtOffset8;
    lfOnly.replace("\r\n", "\n");
    QByteArray crOnly = eightAtOffset8;
    crOnly.replace("\r\n", "\r");

    return {
        {"eight_bytes_at_offset_8",
         eightAtOffset8,
         Outcome::Ok,
         {eightAtOffset8Line, std::nullopt, std::nullopt, std::nullopt}},
        {"sixteen_bytes_at_offset_8",
         ela(0) + rec(0x0008, 0, sixteen) + kEnd,
         Outcome::Ok,
         {"000000 " + ff(8) + "00 01 02 03 04 05 06 07 \r\n" + "000010 08 09 0A 0B 0C 0D 0E 0F " +
              ff(8) + "\r\n",
          std::nullopt, std::nullopt, std::nullopt}},
        // Order of first appearance; a later byte wins, a later FF never does.
        {"merge_in_order_of_first_appearance",
         rec(0x0010, 0, "A0A1") + rec(0x0000, 0, "11223344") + rec(0x0012, 0, "B2") +
             rec(0x0002, 0, "FFAA") + rec(0x0001, 0, "99") + kEnd,
         Outcome::Ok,
         {"000010 A0 A1 B2 " + ff(13) + "\r\n" + "000000 11 99 33 AA " + ff(12) + "\r\n",
          std::nullopt, std::nullopt, std::nullopt}},
        {"upper_program_memory",
         ela(0x0001) + rec(0x7FF0, 0, "55") + ela(0x001F) + rec(0xFFFF, 0, "88") + kEnd,
         Outcome::Ok,
         {"017FF0 55 " + ff(15) + "\r\n" + "1FFFF0 " + ff(15) + "88 \r\n", std::nullopt,
          std::nullopt, std::nullopt}},
        {"eeprom_at_F00000_counts_from_zero",
         ela(0x00F0) + rec(0x0010, 0, "0A0B") + kEnd,
         Outcome::Ok,
         {std::nullopt, "000010 0A 0B " + ff(14) + "\r\n", std::nullopt, std::nullopt}},
        {"user_id_and_configuration",
         ela(0x0020) + rec(0x0000, 0, "0102") + ela(0x0030) + rec(0x0001, 0, "CF") + kEnd,
         Outcome::Ok,
         {std::nullopt, std::nullopt, "200000 01 02 " + ff(14) + "\r\n",
          "300000 FF CF " + ff(14) + "\r\n"}},
        {"all_four_regions",
         rec(0x0200, 0, "EF") + ela(0x0020) + rec(0x0000, 0, "01") + ela(0x0030) +
             rec(0x0000, 0, "22") + ela(0x00F0) + rec(0x0000, 0, "E0") + kEnd,
         Outcome::Ok,
         {"000200 EF " + ff(15) + "\r\n", "000000 E0 " + ff(15) + "\r\n",
          "200000 01 " + ff(15) + "\r\n", "300000 22 " + ff(15) + "\r\n"}},
        {"blank_lines_and_text_after_end",
         "\r\n \r\n\t \r\n" + rec(0x0000, 0, "01") + kEnd + "not read\r\n" + rec(0x0010, 0, "02"),
         Outcome::Ok,
         {"000000 01 " + ff(15) + "\r\n", std::nullopt, std::nullopt, std::nullopt}},
        {"types_02_03_05_pass_and_are_ignored",
         rec(0, 2, "1000") + rec(0, 3, "00001234") + rec(0, 5, "00000000") + rec(0x0000, 0, "42") +
             kEnd,
         Outcome::Ok,
         {"000000 42 " + ff(15) + "\r\n", std::nullopt, std::nullopt, std::nullopt}},
        {"lf_line_ends",
         lfOnly,
         Outcome::Ok,
         {eightAtOffset8Line, std::nullopt, std::nullopt, std::nullopt}},
        {"cr_line_ends",
         crOnly,
         Outcome::Ok,
         {eightAtOffset8Line, std::nullopt, std::nullopt, std::nullopt}},
        {"lower_case_digits",
         rec(0x0000, 0, "ab").toLower() + kEnd,
         Outcome::Ok,
         {"000000 AB " + ff(15) + "\r\n", std::nullopt, std::nullopt, std::nullopt}},
        {"end_record_without_line_end",
         rec(0x0000, 0, "01") + ":00000001FF",
         Outcome::Ok,
         {"000000 01 " + ff(15) + "\r\n", std::nullopt, std::nullopt, std::nullopt}},
        {"empty_record_writes_no_line",
         rec(0x0000, 0, "") + kEnd,
         Outcome::Ok,
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt}},

        // Failures found by the check leave the earlier region files alone.
        {"missing_end_record", rec(0x0000, 0, "01"), Outcome::NoEndRecord, kUntouched},
        {"only_blank_lines", "\r\n\t\r\n", Outcome::NoEndRecord, kUntouched},
        {"empty_file", "", Outcome::Invalid, kUntouched},
        {"bad_checksum", ":0100000042BE\r\n" + kEnd, Outcome::Invalid, kUntouched},
        {"line_with_another_first_character", "X\r\n" + kEnd, Outcome::Invalid, kUntouched},
        {"bad_line_after_good_ones", rec(0, 0, "01") + "#\r\n" + kEnd, Outcome::Invalid,
         kUntouched},
        // Each would pass if missing or bad digits counted as 0.
        {"line_ends_before_its_count",
         ":04000000"
         "0102"
         "F9\r\n" +
             kEnd,
         Outcome::Refused, kUntouched, lineText(1152, 1, 15, 4, 19)},
        {"non_hex_character_in_a_byte", ":0200000001G0FD\r\n" + kEnd, Outcome::Invalid, kUntouched},
        {"record_without_checksum", ":00000000\r\n" + kEnd, Outcome::Refused, kUntouched,
         lineText(1152, 1, 9, 0, 11)},

        // The record window ends at 255: 15 + 242 bytes overflow it. The files
        // were already made anew: none is left, not even the line before.
        {"record_past_the_window",
         rec(0x0000, 0, "11") + rec(0x000F, 0, QByteArray("AB").repeated(242)) + kEnd,
         Outcome::PastWindow, kNoFiles},

        // Nothing is dropped silently: each names its line (and address).
        {"record_after_a_blank", "\r\n " + rec(0x0000, 0, "EE") + kEnd, Outcome::Refused,
         kUntouched, lineText(1150, 2)},
        {"record_after_a_tab", rec(0x0000, 0, "01") + "\t" + rec(0x0010, 0, "EE") + kEnd,
         Outcome::Refused, kUntouched, lineText(1150, 2)},
        {"blanks_before_junk", "  junk\r\n" + kEnd, Outcome::Refused, kUntouched,
         lineText(1150, 1)},
        {"linear_address_with_one_byte", ":0100000400FB\r\n" + rec(0, 0, "01") + kEnd,
         Outcome::Refused, kUntouched, lineText(1151, 1, QStringLiteral("04"), 1)},
        {"segment_address_with_three_bytes", rec(0, 2, "000000") + kEnd, Outcome::Refused,
         kUntouched, lineText(1151, 1, QStringLiteral("02"), 3)},
        {"bytes_after_the_checksum", ":0100000042BD00\r\n" + kEnd, Outcome::Refused, kUntouched,
         lineText(1152, 1, 15, 1, 13)},
        {"blank_after_the_checksum", ":0100000042BD \r\n" + kEnd, Outcome::Refused, kUntouched,
         lineText(1152, 1, 14, 1, 13)},
        {"record_type_06", rec(0, 6, "") + kEnd, Outcome::Refused, kUntouched,
         lineText(1155, 1, QStringLiteral("06"))},
        {"data_at_400000", rec(0x0200, 0, "01") + ela(0x0040) + rec(0, 0, "66") + kEnd,
         Outcome::Unplaced, kNoFiles, lineText(1153, 3, QStringLiteral("400000"))},
        {"data_at_210000", ela(0x0021) + rec(0x0010, 0, "77") + kEnd, Outcome::Unplaced, kNoFiles,
         lineText(1153, 2, QStringLiteral("210010"))},
        {"data_at_310000", ela(0x0031) + rec(0, 0, "77") + kEnd, Outcome::Unplaced, kNoFiles,
         lineText(1153, 2, QStringLiteral("310000"))},
        {"data_at_F10000", ela(0x00F1) + rec(0, 0, "77") + kEnd, Outcome::Unplaced, kNoFiles,
         lineText(1153, 2, QStringLiteral("F10000"))},
        {"data_at_the_4_GB_wrap",
         ela(0xFFFF) + rec(0xFFF8, 0, "0102030405060708090A0B0C0D0E0F10") + kEnd, Outcome::Unplaced,
         kNoFiles, lineText(1153, 2, QStringLiteral("FFFFFFF8"))},
    };
}

class SplitHexTable : public TempFolderTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitHexTable, RegionFilesAsExpected) {
    const SplitCase& c = GetParam();
    for (const char* name : kRegionNames)
        writeFileBytes(regionFilePath(name), kStale);
    const QString hexPath = path(QStringLiteral("image.hex"));
    writeFileBytes(hexPath, c.hex);

    QString message;
    const bool ok = SplitHexFile(hexPath, message);
    switch (c.outcome) {
        case Outcome::Ok:
            EXPECT_TRUE(ok) << message.toStdString();
            EXPECT_TRUE(message.isEmpty());
            break;
        case Outcome::Invalid:
            EXPECT_FALSE(ok);
            EXPECT_EQ(message, QStringLiteral("File selzionato non valido"));
            break;
        case Outcome::NoEndRecord:
            EXPECT_FALSE(ok);
            EXPECT_EQ(message, GetText(1105));
            break;
        case Outcome::PastWindow:
            EXPECT_FALSE(ok);
            EXPECT_TRUE(message.contains(QStringLiteral("line 2"))) << message.toStdString();
            EXPECT_TRUE(message.contains(hexPath)) << message.toStdString();
            break;
        case Outcome::Refused:
        case Outcome::Unplaced:
            EXPECT_FALSE(ok);
            EXPECT_EQ(message, c.text());
            break;
    }
    // The record holds exactly the files a run may write.
    for (int r = 0; r < 4; ++r) {
        const RegionRecord& record = bootloaderSettings().regions[size_t(r)];
        EXPECT_EQ(record.made, ok && c.files[r].has_value()) << kRegionNames[r];
        if (record.made) {
            EXPECT_EQ(record.lines, c.files[r]->count('\n')) << kRegionNames[r];
        }
    }
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(readFileBytes(regionFilePath(kRegionNames[r])), c.files[r]) << kRegionNames[r];
    }

    // The check alone gives the same verdict (the window overflow is the
    // split's own finding).
    QString checkMessage;
    const bool valid = ValidateHexFile(hexPath, checkMessage);
    EXPECT_EQ(valid, c.outcome == Outcome::Ok || c.outcome == Outcome::PastWindow ||
                         c.outcome == Outcome::Unplaced);
    if (!valid) {
        EXPECT_EQ(checkMessage, message);
    }
}

INSTANTIATE_TEST_SUITE_P(Hex, SplitHexTable, ::testing::ValuesIn(splitCases()),
                         [](const ::testing::TestParamInfo<SplitCase>& info) {
                             return std::string(info.param.name);
                         });

using HexFiles = TempFolderTest;

TEST_F(HexFiles, TextsComeFromTheLoadedModule) {
    if (!testing::loadEnglishTexts())
        GTEST_SKIP() << "text modules not built";
    EXPECT_FALSE(GetText(1105).isEmpty());
}

// 15 + 241 bytes fill the window exactly: sixteen lines, nothing lost.
TEST_F(HexFiles, RecordFillingTheWholeWindow) {
    const QString hexPath = path(QStringLiteral("full.hex"));
    writeFileBytes(hexPath, rec(0x100F, 0, QByteArray("5A").repeated(241)) + kEnd);
    QString message;
    ASSERT_TRUE(SplitHexFile(hexPath, message)) << message.toStdString();
    const QByteArray progmem = readFileBytes(regionFilePath("progmem")).value_or("");
    const QList<QByteArray> lines = progmem.split('\n');
    ASSERT_EQ(lines.size(), 17);  // sixteen lines and the empty rest after the last end
    EXPECT_EQ(lines[0], "001000 " + ff(15) + "5A \r");
    EXPECT_EQ(lines[1], "001010 " + QByteArray("5A ").repeated(16) + "\r");
    EXPECT_EQ(lines[15], "0010F0 " + QByteArray("5A ").repeated(16) + "\r");
}

TEST_F(HexFiles, MissingHexFileNamesTheFile) {
    const QString hexPath = path(QStringLiteral("absent.hex"));
    for (const char* name : kRegionNames)
        writeFileBytes(regionFilePath(name), kStale);
    QString message;
    EXPECT_FALSE(ValidateHexFile(hexPath, message));
    EXPECT_TRUE(message.contains(hexPath)) << message.toStdString();
    message.clear();
    EXPECT_FALSE(SplitHexFile(hexPath, message));
    EXPECT_TRUE(message.contains(hexPath)) << message.toStdString();
    EXPECT_EQ(readFileBytes(regionFilePath("progmem")), kStale);
}

// A disk that fills up during the split ends it with the file and the cause,
// and leaves no region file cut short for a run to take for the image.
TEST_F(HexFiles, FullDiskFailsTheSplitAndLeavesNoRegionFile) {
    QByteArray hex;
    for (uint16_t address = 0x0200; address < 0x0200 + 64 * 16; address += 16)
        hex += rec(address, 0, "000102030405060708090A0B0C0D0E0F");
    const QString hexPath = path(QStringLiteral("image.hex"));
    writeFileBytes(hexPath, hex + kEnd);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    for (const rlim_t limit : {rlim_t(0), rlim_t(1000), rlim_t(64 * 57 - 1)}) {
        SCOPED_TRACE(limit);
        rlimit small = saved;
        small.rlim_cur = limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        QString message;
        const bool ok = SplitHexFile(hexPath, message);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_FALSE(ok);
        EXPECT_EQ(message, GetText(1156).arg(regionFilePath("progmem"), GetText(1121)));
        for (const char* name : kRegionNames)
            EXPECT_FALSE(QFile::exists(regionFilePath(name))) << name;
        EXPECT_FALSE(bootloaderSettings().regions[kProgMemRegion].made);
    }
}

TEST_F(HexFiles, MergeJoinsKeysWithoutRegardToCaseAndKeepsOddLines) {
    const QString regionPath = path(QStringLiteral("region"));
    writeFileBytes(regionPath,
                   "00000a 01 FF \r\n"
                   "000010 AA BB \r\n"
                   "00000A FF 02 \r\n"
                   "000010 CC \r\n"
                   "\r\n");
    QString message;
    ASSERT_TRUE(MergeRegionFile(regionPath, message)) << message.toStdString();
    // The empty line is a row without a key: written back as a single space.
    EXPECT_EQ(readFileBytes(regionPath), QByteArray("00000a 01 02 \r\n"
                                                    "000010 CC BB \r\n"
                                                    " \r\n"));
}

TEST_F(HexFiles, MergeFailuresNameTheFileAndLine) {
    QString message;
    const QString absent = path(QStringLiteral("absent"));
    EXPECT_FALSE(MergeRegionFile(absent, message));
    EXPECT_TRUE(message.contains(absent)) << message.toStdString();

    const QString regionPath = path(QStringLiteral("region"));
    writeFileBytes(regionPath, "000000 01\r\n000000 FF 02\r\n");
    message.clear();
    EXPECT_FALSE(MergeRegionFile(regionPath, message));
    EXPECT_TRUE(message.contains(QStringLiteral("line 2"))) << message.toStdString();
    EXPECT_TRUE(message.contains(regionPath)) << message.toStdString();
}

TEST_F(HexFiles, DeleteRegionFilesRemovesWhateverStands) {
    writeFileBytes(regionFilePath("progmem"), kStale);
    writeFileBytes(regionFilePath("config"), kStale);
    writeFileBytes(path(QStringLiteral("other")), kStale);
    DeleteRegionFiles();
    for (const char* name : kRegionNames)
        EXPECT_FALSE(QFile::exists(regionFilePath(name)));
    EXPECT_TRUE(QFile::exists(path(QStringLiteral("other"))));
    DeleteRegionFiles();  // nothing left to delete: no complaint
}

// The file is read in pieces: a CR LF split between two pieces is one line
// end, and a line longer than a piece comes out whole.
TEST_F(HexFiles, LinesAcrossReadPieces) {
    std::mt19937 random(5);
    QByteArray text;
    std::vector<std::string> expected;
    const char* const ends[] = {"\r", "\n", "\r\n"};
    while (text.size() < 5 * FileLineReader::kPieceBytes) {
        std::string line(random() % 90, 'x');
        if (expected.size() == 2000)
            line.assign(FileLineReader::kPieceBytes * 2 + 3, 'L');
        for (char& c : line)
            c = char('a' + random() % 26);
        expected.push_back(line);
        const char* end = ends[random() % 3];
        // An empty line ended by LF right after a CR would read as CR LF.
        if (line.empty() && text.endsWith('\r') && end[0] == '\n')
            end = ends[0];
        text += QByteArray::fromStdString(line) + end;
        // Force a CR LF across the first piece boundary.
        if (text.size() > FileLineReader::kPieceBytes - 100 &&
            text.size() < FileLineReader::kPieceBytes) {
            const qsizetype pad = FileLineReader::kPieceBytes - 1 - text.size();
            expected.push_back(std::string(size_t(pad), 'p'));
            text += QByteArray(pad, 'p') + "\r\n";
        }
    }
    expected.push_back("last line without an end");
    text += "last line without an end";
    ASSERT_EQ(text.at(FileLineReader::kPieceBytes - 1), '\r');

    const QString file = path(QStringLiteral("lines.txt"));
    writeFileBytes(file, text);
    QFile input(file);
    ASSERT_TRUE(input.open(QIODevice::ReadOnly));
    FileLineReader reader(input);
    std::string_view line;
    size_t count = 0;
    while (reader.read(line)) {
        ASSERT_LT(count, expected.size());
        ASSERT_EQ(std::string(line), expected[count]) << "line " << count + 1;
        ++count;
        EXPECT_EQ(reader.number(), int(count));
    }
    EXPECT_EQ(count, expected.size());
    EXPECT_FALSE(reader.failed());
}

TEST(HexPadTest, Widths) {
    struct Case {
        int64_t value;
        int width;
        const char* text;
    };
    const Case cases[] = {
        {0, 6, "000000"}, {0x7FC0, 6, "007FC0"}, {0x300000, 6, "300000"},   {255, 2, "FF"},
        {10, 2, "0A"},    {0xABC, 2, "ABC"},     {0x1234567, 6, "1234567"}, {-1, 2, "FFFFFFFF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HexPad(c.value, c.width), QString::fromLatin1(c.text)) << c.value;
    }
}

}  // namespace
}  // namespace dwnfrw
