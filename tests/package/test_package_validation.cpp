// Package validation over real packages: the failures in the order the user
// meets them, the version rule, the listing order and the working folder.
#include <gtest/gtest.h>

#include <QFileInfo>

#include "package/modgestfrw.h"
#include "package/package_validation.h"
#include "startup/work_folder.h"
#include "tests/package/package_fixtures.h"

namespace dwnfrw::testing {
namespace {

class ValidationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        resetGlobals();
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        session_.WorkFolder = root_.filePath(QStringLiteral("tempfrw"));
        archive_ = root_.filePath(QStringLiteral("pkg.fwz"));
    }
    void TearDown() override { resetGlobals(); }

    bool validate() {
        fileOut_.clear();
        pointer_ = -1;
        error_.clear();
        return ValidateFileFRW(session_, archive_, fileOut_, pointer_, error_);
    }
    QString inWork(const QString& name) const { return QDir(session_.WorkFolder).filePath(name); }
    std::vector<int32_t> versions() const {
        return {session_.FwVersionMajor, session_.FwVersionMinor, session_.FwVersionBuild};
    }

    QTemporaryDir root_;
    PackageSession session_;
    QString archive_;
    QString fileOut_;
    int32_t pointer_ = -1;
    QString error_;
};

struct PackageCase {
    const char* name;
    std::vector<ZipMember> members;
    bool noCheck;
    int errorText;  // 0: accepted
    std::vector<int32_t> versions;
    const char* fileOut;  // name in the working folder; "" when unassigned
    int32_t pointer;
    qsizetype tableSize;
};

QByteArray info(std::initializer_list<QByteArray> blocks) {
    QByteArray text;
    for (const QByteArray& block : blocks)
        text += block;
    return text;
}

const std::vector<PackageCase> kPackageCases = {
    {"accepted",
     {{"info.txt", info({infoBlock("fw.hex", "4.02.17", "Main")})}, {"fw.hex", kTinyHex}},
     false,
     0,
     {4, 2, 17},
     "fw.hex",
     1,
     2},
    {"no_description_file", {{"fw.hex", kTinyHex}}, false, 1014, {0, 0, 0}, "", -1, 1},
    {"description_file_in_capitals",
     {{"INFO.TXT", info({infoBlock("fw.hex", "4.0.0")})}, {"fw.hex", kTinyHex}},
     false,
     0,
     {4, 0, 0},
     "fw.hex",
     1,
     2},
    {"undescribed_file_of_any_extension",
     {{"info.txt", info({infoBlock("fw.hex", "4.0.0")})}, {"fw.hex", kTinyHex}, {"zz.bin", "x"}},
     false,
     1014,
     {4, 0, 0},
     "fw.hex",
     1,
     3},
    {"block_without_version",
     {{"info.txt", "{fw.hex}\r\n[NOME]\r\nMain\r\n{END}\r\n"}, {"fw.hex", kTinyHex}},
     false,
     1014,
     {0, 0, 0},
     "",
     -1,
     2},
    {"major_below_4_refused",
     {{"info.txt", info({infoBlock("fw.hex", "3.9.9")})}, {"fw.hex", kTinyHex}},
     false,
     1015,
     {3, 9, 9},
     "fw.hex",
     1,
     2},
    {"major_below_4_under_nocheck",
     {{"info.txt", info({infoBlock("fw.hex", "3.9.9")})}, {"fw.hex", kTinyHex}},
     true,
     0,
     {3, 9, 9},
     "fw.hex",
     1,
     2},
    {"old_2_0_0_under_nocheck",
     {{"info.txt", info({infoBlock("fw.hex", "2.0.0")})}, {"fw.hex", kTinyHex}},
     true,
     0,
     {2, 0, 0},
     "fw.hex",
     1,
     2},
    {"underscores_separate_parts",
     {{"info.txt", info({infoBlock("fw.hex", "4_1_7")})}, {"fw.hex", kTinyHex}},
     false,
     0,
     {4, 1, 7},
     "fw.hex",
     1,
     2},
    {"blanks_around_parts",
     {{"info.txt", info({infoBlock("fw.hex", " 5 . 3 .2 ")})}, {"fw.hex", kTinyHex}},
     false,
     0,
     {5, 3, 2},
     "fw.hex",
     1,
     2},
    {"unreadable_parts_stay_0",
     {{"info.txt", info({infoBlock("fw.hex", "6.x")})}, {"fw.hex", kTinyHex}},
     false,
     0,
     {6, 0, 0},
     "fw.hex",
     1,
     2},
    {"txt_and_tmp_need_no_block",
     {{"info.txt", info({infoBlock("fw.hex", "4.0.0")})},
      {"fw.hex", kTinyHex},
      {"readme.txt", "r"},
      {"log.tmp", "l"},
      {"NOTES.TXT", "n"}},
     false,
     0,
     {4, 0, 0},
     "fw.hex",
     1,
     2},
    {"no_hex_image_passes",
     {{"info.txt", info({infoBlock("ee.bin", "1.0.0")})}, {"ee.bin", "e"}},
     false,
     0,
     {0, 0, 0},
     "",
     -1,
     2},
    {"only_description_file", {{"info.txt", "nothing\r\n"}}, false, 0, {0, 0, 0}, "", -1, 0},
    {"two_hex_images_last_counts",
     {{"info.txt", info({infoBlock("a.hex", "4.0.1"), infoBlock("B.hex", "5.2.3")})},
      {"B.hex", kTinyHex},
      {"a.hex", kTinyHex}},
     false,
     0,
     {5, 2, 3},
     "B.hex",
     2,
     3},
    {"two_hex_images_each_checked",
     {{"info.txt", info({infoBlock("a.hex", "3.0.1"), infoBlock("b.hex", "5.2.3")})},
      {"a.hex", kTinyHex},
      {"b.hex", kTinyHex}},
     false,
     1015,
     {3, 0, 1},
     "a.hex",
     1,
     2},
};

class PackageTable : public ValidationTest, public ::testing::WithParamInterface<PackageCase> {};

TEST_P(PackageTable, OutcomeAndResults) {
    const PackageCase& c = GetParam();
    globals().NoCheck = c.noCheck;
    ASSERT_TRUE(buildZip(archive_, c.members, Encryption::Aes256));
    EXPECT_EQ(validate(), c.errorText == 0);
    EXPECT_EQ(error_, c.errorText == 0 ? QString() : GetText(c.errorText));
    EXPECT_EQ(versions(), c.versions);
    const QString expectedOut =
        *c.fileOut == '\0' ? QString() : inWork(QString::fromLatin1(c.fileOut));
    EXPECT_EQ(fileOut_, expectedOut);
    EXPECT_EQ(pointer_, c.pointer);
    EXPECT_EQ(InfoFRWTable().size(), c.tableSize);
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageTable, ::testing::ValuesIn(kPackageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ValidationTest, RecordsFollowTheListingWithoutRegardToCase) {
    ASSERT_TRUE(buildZip(archive_, {{"info.txt", info({infoBlock("b.HEX", "4.0.0", "Board"),
                                                       infoBlock("A.bin", "1.2.3", "Eeprom")})},
                                    {"b.HEX", kTinyHex},
                                    {"A.bin", "e"}}));
    ASSERT_TRUE(validate()) << error_.toStdString();
    const QList<InfoFRW>& table = InfoFRWTable();
    ASSERT_EQ(table.size(), 3);
    EXPECT_TRUE(table[0].Nome.isEmpty());
    EXPECT_TRUE(table[0].FileName.isEmpty());
    EXPECT_EQ(table[1].Nome, QStringLiteral("Eeprom"));
    EXPECT_EQ(table[2].Nome, QStringLiteral("Board"));
    EXPECT_EQ(table[2].FwVer, QStringLiteral("4.0.0\r"));
    EXPECT_EQ(table[1].Articoli, QStringList{QString()});
    EXPECT_EQ(pointer_, 2);
}

TEST_F(ValidationTest, WorkingFolderThatCannotBeMade) {
    ASSERT_TRUE(buildZip(archive_, {{"info.txt", info({infoBlock("fw.hex", "4.0.0")})}}));
    ASSERT_TRUE(writeAll(root_.filePath(QStringLiteral("plainfile")), "x"));
    for (const QString& folder : {root_.filePath(QStringLiteral("plainfile/tempfrw")), QString()}) {
        session_.WorkFolder = folder;
        EXPECT_FALSE(validate());
        EXPECT_EQ(error_, GetText(1013)) << folder.toStdString();
        EXPECT_EQ(InfoFRWTable().size(), 1);
    }
}

TEST_F(ValidationTest, ExtractionFailureShowsItsCode) {
    ASSERT_TRUE(writeAll(archive_, "not an archive"));
    EXPECT_FALSE(validate());
    EXPECT_EQ(error_, GetText(1016) + QStringLiteral(" (code:2)"));

    ASSERT_TRUE(buildZip(archive_, {{"fw.hex", kTinyHex}}, Encryption::Aes256, "OTHER1"));
    EXPECT_FALSE(validate());
    EXPECT_EQ(error_, GetText(1016) + QStringLiteral(" (code:4)"));
}

TEST_F(ValidationTest, MaliciousArchiveFailsWithItsCode) {
    ASSERT_TRUE(buildZip(archive_, {{"x/info.txt", "a"}, {"y/Info.Txt", "b"}}));
    EXPECT_FALSE(validate());
    EXPECT_EQ(error_, GetText(1016) + QStringLiteral(" (code:9)"));
    EXPECT_TRUE(folderNames(session_.WorkFolder).isEmpty());
}

TEST_F(ValidationTest, LeftoverFilesGoSubFoldersStay) {
    ASSERT_TRUE(QDir().mkpath(inWork(QStringLiteral("keep"))));
    // Left open by an older run: made private again.
    QFile::setPermissions(session_.WorkFolder, QFileDevice::Permissions(0x7755));
    ASSERT_TRUE(writeAll(inWork(QStringLiteral("unpacked.fwz")), "a member of the last package"));
    ASSERT_TRUE(writeAll(inWork(QStringLiteral("keep/inner.hex")), kTinyHex));
    ASSERT_TRUE(writeAll(inWork(QStringLiteral("old.hex")), kTinyHex));
    ASSERT_TRUE(writeAll(inWork(QStringLiteral("readonly.bin")), "r"));
    QFile::setPermissions(inWork(QStringLiteral("readonly.bin")), QFileDevice::ReadOwner);
    ASSERT_TRUE(QFile::link(root_.filePath(QStringLiteral("nowhere")),
                            inWork(QStringLiteral("dangling.bin"))));
    ASSERT_TRUE(buildZip(
        archive_, {{"info.txt", info({infoBlock("fw.hex", "4.0.0")})}, {"fw.hex", kTinyHex}}));
    ASSERT_TRUE(validate()) << error_.toStdString();
    EXPECT_EQ(folderNames(session_.WorkFolder), (QStringList{"fw.hex", "info.txt", "keep"}));
    EXPECT_TRUE(QFile::exists(inWork(QStringLiteral("keep/inner.hex"))));
    EXPECT_EQ(InfoFRWTable().size(), 2);  // the sub-folder's file is never examined
    // Decrypted members are no one else's to read, also after a crash.
    EXPECT_EQ(QFileInfo(session_.WorkFolder).permissions() & QFileDevice::Permissions(0x0077),
              QFileDevice::Permissions());
    EXPECT_EQ(QFileInfo(inWork(QStringLiteral("fw.hex"))).permissions() &
                  QFileDevice::Permissions(0x0077),
              QFileDevice::Permissions());
}

// The window's closing and the batch's end clean the folder by the same rule
// as the opening: whatever the program put there goes, packages it unpacked
// and read-only members included, and then the folder.
TEST_F(ValidationTest, RemovingTheWorkFolderLeavesNothingOfTheProgram) {
    ASSERT_TRUE(buildZip(
        archive_,
        {{"info.txt", info({infoBlock("fw.hex", "4.0.0"), infoBlock("inner.fwz", "1.0.0")})},
         {"fw.hex", kTinyHex},
         {"inner.fwz", "a package inside the package"}}));
    ASSERT_TRUE(validate()) << error_.toStdString();
    QFile::setPermissions(inWork(QStringLiteral("fw.hex")), QFileDevice::ReadOwner);
    ASSERT_TRUE(QFile::link(inWork(QStringLiteral("info.txt")), inWork(QStringLiteral("link"))));
    removeWorkFolder(session_.WorkFolder);
    EXPECT_FALSE(QFileInfo::exists(session_.WorkFolder))
        << folderNames(session_.WorkFolder).join(u' ').toStdString();
    removeWorkFolder(session_.WorkFolder);  // gone already: no complaint
}

// The version numbers start from 0 in every validation: an unreadable version
// never borrows the numbers of the package opened before.
TEST_F(ValidationTest, UnreadableVersionDoesNotInheritThePreviousPackage) {
    ASSERT_TRUE(buildZip(
        archive_, {{"info.txt", info({infoBlock("fw.hex", "5.1.2")})}, {"fw.hex", kTinyHex}}));
    ASSERT_TRUE(validate());
    ASSERT_EQ(versions(), (std::vector<int32_t>{5, 1, 2}));

    ASSERT_TRUE(buildZip(archive_,
                         {{"info.txt", info({infoBlock("fw.hex", "v5")})}, {"fw.hex", kTinyHex}}));
    EXPECT_FALSE(validate());
    EXPECT_EQ(error_, GetText(1015));
    EXPECT_EQ(versions(), (std::vector<int32_t>{0, 0, 0}));

    ASSERT_TRUE(buildZip(
        archive_, {{"info.txt", info({infoBlock("fw.hex", "5.1.2")})}, {"fw.hex", kTinyHex}}));
    ASSERT_TRUE(validate());
    ASSERT_TRUE(writeAll(archive_, "broken"));
    EXPECT_FALSE(validate());
    EXPECT_EQ(versions(), (std::vector<int32_t>{0, 0, 0}));
}

}  // namespace
}  // namespace dwnfrw::testing
