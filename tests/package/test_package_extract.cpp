// Unpacking real archives: the three kinds of encryption, hostile member names
// and sizes, broken archives, and links already in the working folder.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFileInfo>

#include "package/package_extract.h"
#include "tests/package/package_fixtures.h"

namespace dwnfrw::testing {
namespace {

// Every file, link and folder below root except the archive, as paths
// relative to root: proves that nothing landed outside the working folder.
QStringList everythingBelow(const QString& root) {
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (path != u"pkg.fwz")
            found << path;
    }
    found.sort();
    return found;
}

class ExtractTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        work_ = root_.filePath(QStringLiteral("a/b/work"));
        ASSERT_TRUE(QDir().mkpath(work_));
        archive_ = root_.filePath(QStringLiteral("pkg.fwz"));
    }
    QString inWork(const QString& name) const { return QDir(work_).filePath(name); }

    QTemporaryDir root_;
    QString work_;
    QString archive_;
};

struct HostileCase {
    const char* name;
    std::vector<ZipMember> members;
    ExtractCode code;
    QStringList below;  // everything below the root afterwards
};

class HostileArchives : public ExtractTest, public ::testing::WithParamInterface<HostileCase> {};

const QStringList kWorkFolders = {"a", "a/b", "a/b/work"};

QStringList withWork(const QStringList& files) {
    QStringList all = kWorkFolders;
    for (const QString& file : files)
        all << QStringLiteral("a/b/work/") + file;
    all.sort();
    return all;
}

const std::vector<HostileCase> kHostileCases = {
    {"parent_folders_dropped", {{"../../evil.txt", "x"}}, ExtractCode::Ok, withWork({"evil.txt"})},
    {"absolute_path_dropped", {{"/tmp/abs.txt", "x"}}, ExtractCode::Ok, withWork({"abs.txt"})},
    {"backslash_is_a_separator",
     {{"..\\..\\win.txt", "x"}},
     ExtractCode::Ok,
     withWork({"win.txt"})},
    {"folders_flattened",
     {{"sub/dir/a.hex", "x"}, {"info.txt", "y"}},
     ExtractCode::Ok,
     withWork({"a.hex", "info.txt"})},
    {"symlink_member_creates_nothing",
     {{"link.hex", "../../../outside", MemberKind::Symlink}, {"info.txt", "y"}},
     ExtractCode::Ok,
     withWork({"info.txt"})},
    {"directory_entry_creates_nothing",
     {{"sub/", "", MemberKind::Directory}, {"../up/", "", MemberKind::Directory}},
     ExtractCode::Ok,
     withWork({})},
    {"same_name_other_case_clashes",
     {{"a/info.txt", "1"}, {"b/INFO.TXT", "2"}},
     ExtractCode::NameClash,
     withWork({})},
    {"same_name_other_folder_clashes",
     {{"x/fw.hex", "1"}, {"y/fw.hex", "2"}},
     ExtractCode::NameClash,
     withWork({})},
    {"dot_dot_name_refused",
     {{"info.txt", "1"}, {"sub/..", "2"}},
     ExtractCode::UnusableName,
     withWork({})},
};

TEST_P(HostileArchives, NothingOutsideTheWorkingFolder) {
    const HostileCase& c = GetParam();
    ASSERT_TRUE(buildZip(archive_, c.members, Encryption::None));
    EXPECT_EQ(ExtractPackage(archive_, work_), c.code);
    EXPECT_EQ(everythingBelow(root_.path()), c.below);
}

INSTANTIATE_TEST_SUITE_P(Names, HostileArchives, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExtractTest, ExistingLinkInTheFolderIsReplacedNotFollowed) {
    const QString victim = root_.filePath(QStringLiteral("victim"));
    ASSERT_TRUE(writeAll(victim, "original"));
    ASSERT_TRUE(QFile::link(victim, inWork(QStringLiteral("fw.hex"))));
    ASSERT_TRUE(buildZip(archive_, {{"fw.hex", "from the package"}}));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::Ok);
    EXPECT_EQ(readAll(victim), QByteArray("original"));
    EXPECT_FALSE(QFileInfo(inWork(QStringLiteral("fw.hex"))).isSymLink());
    EXPECT_EQ(readAll(inWork(QStringLiteral("fw.hex"))), QByteArray("from the package"));
}

TEST_F(ExtractTest, SubFolderOfTheMemberNameIsAWriteFailure) {
    ASSERT_TRUE(QDir().mkpath(inWork(QStringLiteral("fw.hex"))));
    ASSERT_TRUE(buildZip(archive_, {{"fw.hex", "data"}}));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::WriteFailed);
    EXPECT_EQ(folderNames(work_), QStringList{"fw.hex"});  // no temporary file left
}

TEST_F(ExtractTest, MemberCountLimit) {
    std::vector<ZipMember> members;
    for (int i = 0; i < kMaxPackageMembers; ++i) {
        members.push_back({QStringLiteral("f%1.bin").arg(i), "x"});
    }
    ASSERT_TRUE(buildZip(archive_, members));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::Ok);
    EXPECT_EQ(folderNames(work_).size(), kMaxPackageMembers);

    QDir(work_).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(work_));
    members.push_back({QStringLiteral("one-too-many.bin"), "x"});
    ASSERT_TRUE(buildZip(archive_, members));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::TooManyMembers);
    EXPECT_TRUE(folderNames(work_).isEmpty());
}

TEST_F(ExtractTest, TotalSizeLimitCheckedBeforeWriting) {
    // Zeros pack to a few kilobytes; together the members unpack to one byte
    // more than the limit. The small member comes first, so a check made while
    // writing would already have written it.
    const QByteArray half(kMaxUnpackedBytes / 2, '\0');
    ASSERT_TRUE(
        buildZip(archive_, {{"info.txt", "small"}, {"a.bin", half}, {"b.bin", half + '\0'}}));
    EXPECT_LT(QFileInfo(archive_).size(), 1024 * 1024);
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::TooLarge);
    EXPECT_TRUE(folderNames(work_).isEmpty());
}

enum class Maker { LibzipPlain, LibzipAes, ZipToolTraditional };

class EncryptionKinds : public ExtractTest, public ::testing::WithParamInterface<Maker> {};

TEST_P(EncryptionKinds, MembersUnpackWithThePackagePassword) {
    const std::vector<ZipMember> members = {{"info.txt", "{a.hex}\r\n"}, {"a.hex", kTinyHex}};
    switch (GetParam()) {
        case Maker::LibzipPlain:
            ASSERT_TRUE(buildZip(archive_, members, Encryption::None));
            break;
        case Maker::LibzipAes:
            ASSERT_TRUE(buildZip(archive_, members, Encryption::Aes256));
            break;
        case Maker::ZipToolTraditional:
            if (!zipToolAvailable())
                GTEST_SKIP() << "the zip tool is not installed";
            ASSERT_TRUE(buildZipTraditional(archive_, members));
            break;
    }
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::Ok);
    EXPECT_EQ(readAll(inWork(QStringLiteral("a.hex"))), kTinyHex);
    EXPECT_EQ(readAll(inWork(QStringLiteral("info.txt"))), QByteArray("{a.hex}\r\n"));
    EXPECT_EQ(folderNames(work_), (QStringList{"a.hex", "info.txt"}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, EncryptionKinds,
                         ::testing::Values(Maker::LibzipPlain, Maker::LibzipAes,
                                           Maker::ZipToolTraditional),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Maker::LibzipPlain:
                                     return std::string("unencrypted");
                                 case Maker::LibzipAes:
                                     return std::string("aes256");
                                 default:
                                     return std::string("traditional");
                             }
                         });

TEST_F(ExtractTest, WrongAesPassword) {
    ASSERT_TRUE(buildZip(archive_, {{"a.hex", kTinyHex}}, Encryption::Aes256, "OTHER1"));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::WrongPassword);
    EXPECT_TRUE(folderNames(work_).isEmpty());
}

// Traditional encryption checks only one byte of the password at the open, so
// about one wrong password in 256 gets through it; the data then fails to
// inflate or fails its CRC. Each new archive has a new random header, so
// building a few hundred finds such a case.
TEST_F(ExtractTest, WrongTraditionalPasswordFailsEvenWhenTheOpenPasses) {
    if (!zipToolAvailable())
        GTEST_SKIP() << "the zip tool is not installed";
    const QByteArray content = QByteArray("firmware image line\r\n").repeated(40);
    bool sawLateFailure = false;
    for (int attempt = 0; attempt < 3000 && !sawLateFailure; ++attempt) {
        ASSERT_TRUE(buildZipTraditional(archive_, {{"a.hex", content}}, QStringLiteral("WRONG9")));
        const ExtractCode code = ExtractPackage(archive_, work_);
        ASSERT_TRUE(code == ExtractCode::WrongPassword || code == ExtractCode::DamagedArchive)
            << int(code);
        sawLateFailure = code == ExtractCode::DamagedArchive;
        ASSERT_FALSE(QFile::exists(inWork(QStringLiteral("a.hex"))));
    }
    EXPECT_TRUE(sawLateFailure);
    EXPECT_TRUE(folderNames(work_).isEmpty());  // the partial file went with its failure
}

TEST_F(ExtractTest, BrokenArchives) {
    ASSERT_TRUE(buildZip(
        archive_, {{"info.txt", QByteArray("description ").repeated(50)}, {"a.hex", kTinyHex}}));
    const QByteArray whole = readAll(archive_);

    ASSERT_TRUE(writeAll(archive_, whole.left(whole.size() / 2)));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::DamagedArchive) << "truncated";

    ASSERT_TRUE(writeAll(archive_, "plain text, not an archive\r\n"));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::NotAnArchive) << "not a zip";

    EXPECT_EQ(ExtractPackage(root_.filePath(QStringLiteral("missing.fwz")), work_),
              ExtractCode::FileUnreadable);
}

TEST_F(ExtractTest, CorruptedMemberDataFailsItsCrc) {
    const QByteArray payload = QByteArray("ABCDEFGH").repeated(16);
    ASSERT_TRUE(buildZip(archive_, {{"a.bin", payload}}, Encryption::None, kPackagePassword, true));
    QByteArray bytes = readAll(archive_);
    const qsizetype at = bytes.indexOf(payload);
    ASSERT_GE(at, 0);
    bytes[at + 10] = 'z';
    ASSERT_TRUE(writeAll(archive_, bytes));
    EXPECT_EQ(ExtractPackage(archive_, work_), ExtractCode::DamagedArchive);
    EXPECT_TRUE(folderNames(work_).isEmpty());
}

}  // namespace
}  // namespace dwnfrw::testing
