// Hostile packages and files through the program's own paths: the "open"
// command for packages and HEX images, the download run for the log. Each
// must end in one clear message, leave the program in a usable state, and
// write nothing outside the program's folders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <functional>

#include "bootloader/modcomm.h"
#include "download/run_download.h"
#include "package/modgestfrw.h"
#include "package/package_opening.h"
#include "startup/runlog.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"
#include "tests/support/vboard_fixture.h"

namespace dwnfrw::testing {
namespace {

constexpr qsizetype kMiB = 1024 * 1024;
// The sizes the task of a hostile file calls for; both stay inside the
// package's 64 MiB unpacked limit.
constexpr qsizetype kHugeInfoBytes = 50 * kMiB;
constexpr qsizetype kEndlessLineBytes = 20 * kMiB;
// A Debug build finishes each large case in far less; a slower one is a fault.
constexpr qint64 kLargeCaseBudgetMs = 30000;

const QStringList kRegionNames = {"progmem", "eedata", "userid", "config"};

// Every entry below folder, relative and sorted (links are not followed).
QStringList treeOf(const QString& folder) {
    QStringList names;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext())
        names << base.relativeFilePath(it.next());
    names.sort();
    return names;
}

// The folder tree of one test: the user's folder with the packages, and the
// program's data folder with its temp, logs and working folders.
class HostileFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        resetGlobals();
        resetBootloaderSettings();
        ResetInfoFRWTable();
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        root = QDir(root_.path());
        for (const char* folder : {"in", "docs", "data/temp", "data/logs"})
            ASSERT_TRUE(root.mkpath(QString::fromLatin1(folder)));
        globals().DocumentsFolder = path("docs");
        globals().DataFolder = path("data");
        globals().TempFolder = path("data/temp");
        globals().LogsFolder = path("data/logs");
        session.WorkFolder = path("data/tempfrw");
        ui.toolbar.port = 3;
    }
    void TearDown() override { resetGlobals(); }

    QString path(const QString& relative) const { return root.filePath(relative); }

    // Runs "open" on the package and returns the one message it showed.
    ShownMessage open(const QString& package) {
        before_ = treeOf(root.path());
        ui.dialogs.queueFile(package);
        Frontend frontend = ui.frontend();
        EXPECT_FALSE(OpenFile(session, frontend));
        EXPECT_EQ(ui.dialogs.messages.size(), 1u);
        return ui.dialogs.messages.empty() ? ShownMessage{} : ui.dialogs.messages.back();
    }

    // What "open" leaves after a refused package: the state "No package", no
    // region files, no partial member, nothing new outside the program's
    // folders.
    void expectRefusedCleanly() {
        EXPECT_EQ(ui.toolbar.status, u' ' + GetText(1010));
        EXPECT_FALSE(ui.toolbar.isToolEnabled(QStringLiteral("dwn")));
        EXPECT_FALSE(ui.toolbar.isToolEnabled(QStringLiteral("info")));
        for (const QString& name : kRegionNames)
            EXPECT_FALSE(QFile::exists(regionFilePath(name))) << name.toStdString();
        for (const QString& name : QDir(session.WorkFolder).entryList(QDir::Files | QDir::Hidden))
            EXPECT_FALSE(name.endsWith(QStringLiteral(".part"))) << name.toStdString();
        expectNothingStray();
    }

    // New entries may only lie in the program's temp, logs and working folders.
    void expectNothingStray() {
        const QString temp = root.relativeFilePath(globals().TempFolder) + u'/';
        for (const QString& entry : treeOf(root.path())) {
            if (before_.contains(entry) || entry.startsWith(temp) ||
                entry.startsWith(QStringLiteral("data/logs/")) ||
                entry.startsWith(QStringLiteral("data/tempfrw/")) || entry == u"data/tempfrw")
                continue;
            ADD_FAILURE() << "written outside the program's folders: " << entry.toStdString();
        }
    }

    QString refusedPackageText(int code) const {
        return GetText(1011) + u'\r' + GetText(1016) + QStringLiteral(" (code:%1)").arg(code);
    }

    QTemporaryDir root_;
    QDir root;
    PackageSession session;
    ScriptedFrontend ui;
    QStringList before_;
};

QByteArray repeated(const QByteArray& piece, qsizetype bytes) {
    QByteArray out;
    out.reserve(bytes + piece.size());
    while (out.size() < bytes)
        out += piece;
    return out;
}

// Sets the uncompressed size of the first member in its local header and in
// its central directory entry, as an archive that lies about its size does.
bool claimSize(QByteArray& zip, uint32_t size) {
    const qsizetype central = zip.indexOf(QByteArray("PK\x01\x02", 4));
    if (!zip.startsWith(QByteArray("PK\x03\x04", 4)) || central < 0)
        return false;
    for (const qsizetype at : {qsizetype(22), central + 24}) {
        for (int i = 0; i < 4; ++i)
            zip[at + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    }
    return true;
}

// --- Hostile packages: each is refused with text 1011 and the reason --------

struct HostilePackage {
    const char* name;
    // Builds the package at path; false when the machine cannot make it.
    std::function<::testing::AssertionResult(const QString& path)> build;
    // The reason after text 1011 and CR; several when the archive may fail
    // either way.
    std::function<QStringList()> reasons;
};

QStringList extractionFailure(std::initializer_list<ExtractCode> codes) {
    QStringList texts;
    for (ExtractCode code : codes) {
        texts << GetText(1016) + QStringLiteral(" (code:%1)").arg(static_cast<int16_t>(code));
    }
    return texts;
}

::testing::AssertionResult validPackage(const QString& path) {
    return buildZip(path,
                    {{"info.txt", infoBlock("fw.hex", "4.1.0", "Main")}, {"fw.hex", kTinyHex}},
                    Encryption::Aes256);
}

const std::vector<HostilePackage>& hostilePackages() {
    static const std::vector<HostilePackage> cases = {
        {"zip_slip",
         [](const QString& path) {
             // Names that climb out of the working folder, an absolute one,
             // backslashes, and a link that points outside; no description.
             return buildZip(path, {{"../../evil.hex", kTinyHex},
                                    {"..\\..\\evil.txt", "x"},
                                    {"/tmp/dwnfrw-evil.bin", "x"},
                                    {"sub/../../up.bin", "x"},
                                    {"outside", "../../..", MemberKind::Symlink}});
         },
         [] { return QStringList{GetText(1014)}; }},
        {"bomb_declared_over_64MiB",
         [](const QString& path) {
             return buildZip(path, {{"info.txt", infoBlock("fw.hex", "4.1.0")},
                                    {"fw.hex", QByteArray(65 * kMiB, '0')}});
         },
         [] { return extractionFailure({ExtractCode::TooLarge}); }},
        {"bomb_lying_about_its_size",
         [](const QString& path) {
             // 4 MiB that the directory declares as 1 KiB.
             const auto built = buildZip(path, {{"fw.hex", QByteArray(4 * kMiB, '0')}});
             if (!built)
                 return built;
             QByteArray zip = readAll(path);
             if (!claimSize(zip, 1024) || !writeAll(path, zip))
                 return ::testing::AssertionFailure() << "cannot patch the sizes";
             return ::testing::AssertionSuccess();
         },
         [] { return extractionFailure({ExtractCode::DamagedArchive}); }},
        {"over_1000_members",
         [](const QString& path) {
             std::vector<ZipMember> members;
             for (int i = 0; i <= kMaxPackageMembers; ++i)
                 members.push_back({QStringLiteral("m%1.bin").arg(i), "x"});
             return buildZip(path, members);
         },
         [] { return extractionFailure({ExtractCode::TooManyMembers}); }},
        {"wrong_password_aes",
         [](const QString& path) {
             return buildZip(path,
                             {{"info.txt", infoBlock("fw.hex", "4.1.0")}, {"fw.hex", kTinyHex}},
                             Encryption::Aes256, "Z9999Z");
         },
         [] { return extractionFailure({ExtractCode::WrongPassword}); }},
        {"wrong_password_traditional",
         [](const QString& path) {
             if (!zipToolAvailable())
                 return ::testing::AssertionFailure() << "the zip tool is not installed";
             return buildZipTraditional(
                 path, {{"info.txt", infoBlock("fw.hex", "4.1.0")}, {"fw.hex", kTinyHex}},
                 QStringLiteral("Z9999Z"));
         },
         // One wrong password in 256 passes the header check and then fails
         // on the data.
         [] {
             return extractionFailure({ExtractCode::WrongPassword, ExtractCode::DamagedArchive});
         }},
        {"truncated_half",
         [](const QString& path) {
             const auto built = validPackage(path);
             const QByteArray zip = readAll(path);
             return built && writeAll(path, zip.left(zip.size() / 2))
                        ? ::testing::AssertionSuccess()
                        : ::testing::AssertionFailure() << "cannot truncate";
         },
         [] { return extractionFailure({ExtractCode::DamagedArchive}); }},
        {"truncated_in_first_header",
         [](const QString& path) {
             const auto built = validPackage(path);
             const QByteArray zip = readAll(path);
             return built && writeAll(path, zip.left(20)) ? ::testing::AssertionSuccess()
                                                          : ::testing::AssertionFailure();
         },
         [] { return extractionFailure({ExtractCode::DamagedArchive}); }},
        {"info_50MiB_never_closed",
         [](const QString& path) {
             // The block's notes run on for 50 MiB and "{END}" never comes.
             QByteArray info = "{fw.hex}\r\n[FW_VER]\r\n4.1.0\r\n[NOTE]\r\n";
             info += repeated("a note line that goes on and on\r\n", kHugeInfoBytes - info.size());
             return buildZip(path, {{"info.txt", info}, {"fw.hex", kTinyHex}});
         },
         [] { return QStringList{GetText(1014)}; }},
    };
    return cases;
}

class HostilePackageTest : public HostileFileTest,
                           public ::testing::WithParamInterface<HostilePackage> {};

TEST_P(HostilePackageTest, RefusedWithItsReason) {
    const HostilePackage& c = GetParam();
    const QString package = path(QStringLiteral("in/%1.fwz").arg(QString::fromLatin1(c.name)));
    const ::testing::AssertionResult built = c.build(package);
    if (!built)
        GTEST_SKIP() << "cannot build the package: " << built.message();

    QElapsedTimer clock;
    clock.start();
    const ShownMessage shown = open(package);
    const qint64 elapsedMs = clock.elapsed();
    RecordProperty("elapsed_ms", static_cast<int>(elapsedMs));
    EXPECT_LT(elapsedMs, kLargeCaseBudgetMs);

    QStringList expected;
    for (const QString& reason : c.reasons())
        expected << GetText(1011) + u'\r' + reason;
    EXPECT_TRUE(expected.contains(shown.prompt)) << shown.prompt.toStdString();
    EXPECT_EQ(shown.title, GetText(1002));
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    expectRefusedCleanly();
    // Members that name other folders land flat in the working folder; links
    // are not made at all.
    for (const QString& entry : treeOf(root.path())) {
        if (!entry.startsWith(QStringLiteral("data/tempfrw/"))) {
            EXPECT_FALSE(entry.contains(QStringLiteral("evil"))) << entry.toStdString();
        }
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("/tmp/dwnfrw-evil.bin")));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("data/tempfrw/outside"))));
}

INSTANTIATE_TEST_SUITE_P(Packages, HostilePackageTest, ::testing::ValuesIn(hostilePackages()),
                         [](const auto& info) { return std::string(info.param.name); });

// A description of 50 MiB that is well formed: the package opens, and the
// block after the bulk is found.
TEST_F(HostileFileTest, InfoOf50MiBWithTheBlockAtTheEndOpens) {
    QByteArray info;
    info.reserve(kHugeInfoBytes + 256);
    const QByteArray other =
        "{other.bin}\r\n[NOME]\r\nspare part\r\n[FW_VER]\r\n1.0.0\r\n[NOTE]\r\nline one\r\n"
        "line two\r\n{END}\r\n";
    info = repeated(other, kHugeInfoBytes - 128);
    info += infoBlock("fw.hex", "4.7.9", "Main");
    const QString package = path(QStringLiteral("in/huge-info.fwz"));
    ASSERT_TRUE(buildZip(package, {{"info.txt", info}, {"fw.hex", kTinyHex}}));

    QElapsedTimer clock;
    clock.start();
    ui.dialogs.queueFile(package);
    before_ = treeOf(root.path());
    Frontend frontend = ui.frontend();
    EXPECT_TRUE(OpenFile(session, frontend));
    const qint64 elapsedMs = clock.elapsed();
    RecordProperty("elapsed_ms", static_cast<int>(elapsedMs));
    EXPECT_LT(elapsedMs, kLargeCaseBudgetMs);

    EXPECT_TRUE(ui.dialogs.messages.empty());
    EXPECT_EQ(session.FwVersionMajor, 4);
    EXPECT_EQ(session.FwVersionBuild, 9);
    ASSERT_EQ(InfoFRWTable().size(), 2);
    EXPECT_EQ(InfoFRWTable()[1].Nome, QStringLiteral("Main"));
    expectNothingStray();
}

// --- HEX images that the region split refuses: only the reader's text -------

struct HostileHex {
    const char* name;
    QByteArray image;
    std::function<QString()> text;
};

class HostileHexTest : public HostileFileTest, public ::testing::WithParamInterface<HostileHex> {};

TEST_P(HostileHexTest, RefusedWithTheReadersText) {
    const HostileHex& c = GetParam();
    const QString package = path(QStringLiteral("in/%1.fwz").arg(QString::fromLatin1(c.name)));
    ASSERT_TRUE(
        buildZip(package, {{"info.txt", infoBlock("fw.hex", "4.1.0")}, {"fw.hex", c.image}}));

    QElapsedTimer clock;
    clock.start();
    const ShownMessage shown = open(package);
    RecordProperty("elapsed_ms", static_cast<int>(clock.elapsed()));
    EXPECT_LT(clock.elapsed(), kLargeCaseBudgetMs);
    EXPECT_EQ(shown.prompt, c.text());
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    expectRefusedCleanly();

    // The reader on its own gives the same text for the unpacked image.
    QString message;
    EXPECT_FALSE(SplitHexFile(path(QStringLiteral("data/tempfrw/fw.hex")), message));
    EXPECT_EQ(message, c.text());
}

INSTANTIATE_TEST_SUITE_P(
    Images, HostileHexTest,
    ::testing::Values(
        // One record header with a right checksum, then zeros without end:
        // a line far longer than its byte count of 0 allows.
        HostileHex{"endless_line_of_zeros", ':' + QByteArray(kEndlessLineBytes, '0'),
                   [] { return GetText(1152).arg(1).arg(kEndlessLineBytes + 1).arg(0).arg(11); }},
        HostileHex{"endless_line_of_letters", QByteArray(kEndlessLineBytes, 'x'),
                   [] { return QStringLiteral("File selzionato non valido"); }},
        HostileHex{
            "endless_record_after_a_good_one",
            ":020000000102FB\r\n:" + QByteArray(kEndlessLineBytes, 'F'),
            [] { return GetText(1152).arg(2).arg(kEndlessLineBytes + 1).arg(255).arg(521); }}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Region folder that cannot be written -------------------------------------

// A folder without write permission stops everyone but the superuser; tests in
// CI run as root, where the permission bits stop nothing. There the region
// folder is given a path whose parent is a regular file, which no one can
// create files in.
TEST_F(HostileFileTest, RegionFolderThatCannotBeWrittenRefusesThePackage) {
    const QString readOnly = path(QStringLiteral("data/readonly-temp"));
    ASSERT_TRUE(root.mkpath(readOnly));
    ASSERT_TRUE(QFile::setPermissions(readOnly, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    QFile probe(QDir(readOnly).filePath(QStringLiteral("probe")));
    const bool bitsHold = !probe.open(QIODevice::WriteOnly);
    if (bitsHold) {
        globals().TempFolder = readOnly;
    } else {
        probe.close();
        probe.remove();
        ASSERT_TRUE(writeAll(path(QStringLiteral("data/not-a-folder")), "a file"));
        globals().TempFolder = path(QStringLiteral("data/not-a-folder/temp"));
    }
    SCOPED_TRACE(bitsHold ? "read-only folder" : "folder under a regular file (running as root)");

    const QString package = path(QStringLiteral("in/good.fwz"));
    ASSERT_TRUE(validPackage(package));
    const ShownMessage shown = open(package);
    QFile::setPermissions(readOnly,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    // The split's own text: which file it could not write, and why.
    EXPECT_EQ(shown.prompt,
              GetText(1156).arg(regionFilePath(kProgMemRegion), GetText(bitsHold ? 1122 : 1124)));
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    expectRefusedCleanly();
    EXPECT_TRUE(QDir(readOnly).isEmpty());
}

// --- Run log that cannot be written -------------------------------------------

class RecordingTimer : public RunClockTimer {
  public:
    void setTimerEnabled(bool on) override { enabled = on; }
    bool enabled = false;
};

struct BrokenLog {
    const char* name;
    // Breaks the log at logs (a folder path to use as LogsFolder); false with
    // a reason when the machine cannot.
    std::function<bool(QDir& root, QString& logs, QString& why)> breakIt;
    int failureText;  // with the file and the cause
    int cause;
};

class BrokenLogTest : public HostileFileTest, public ::testing::WithParamInterface<BrokenLog> {};

// A log that cannot be opened stops the run before anything is sent; one that
// takes the open but no line ends it at the first line, written while the
// link asks the application who it is. Either way with the log's own text.
TEST_P(BrokenLogTest, RunEndsWithTheLogsText) {
    QString logs;
    QString why;
    if (!GetParam().breakIt(root, logs, why))
        GTEST_SKIP() << why.toStdString();
    const QString package = path(QStringLiteral("in/good.fwz"));
    ASSERT_TRUE(validPackage(package));
    ui.dialogs.queueFile(package);
    Frontend opening = ui.frontend();
    ASSERT_TRUE(OpenFile(session, opening));
    ui.dialogs.messages.clear();
    globals().LogsFolder = logs;
    globals().LogEnabled = true;

    vboard::BoardOptions options;
    options.startMode = vboard::BoardMode::Application;
    VirtualBoardOnPort board(options);
    ASSERT_TRUE(board.ok()) << board.error().toStdString();
    ui.toolbar.port = board.portNumber();

    before_ = treeOf(root.path());
    RecordingTimer timer;
    RunClock clock(timer, ui.progress);
    Frontend frontend = ui.frontend();
    const RunReport report = RunDownload(session, frontend, clock);

    EXPECT_EQ(report.end, RunReport::End::Failed);
    EXPECT_FALSE(report.loaderEntrySent);
    ASSERT_EQ(ui.dialogs.messages.size(), 2u);  // the confirmation, then the failure
    const ShownMessage& shown = ui.dialogs.messages.back();
    const QString log = joinPath(logs, logFileName(QDate::currentDate()));
    const QString logText = GetText(GetParam().failureText).arg(log, GetText(GetParam().cause));
    EXPECT_EQ(shown.prompt,
              GetText(1018) + u'\r' +
                  (GetParam().failureText == 1118 ? GetText(1129).arg(logText) : logText));
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    EXPECT_FALSE(timer.enabled);
    EXPECT_FALSE(ui.toolbar.busy);
    expectNothingStray();
}

INSTANTIATE_TEST_SUITE_P(
    Logs, BrokenLogTest,
    ::testing::Values(
        // A full disk: the day's file is a link to /dev/full, which takes the
        // open and refuses every write.
        BrokenLog{"full_disk",
                  [](QDir& root, QString& logs, QString& why) {
                      if (!QFileInfo(QStringLiteral("/dev/full")).isWritable()) {
                          why = QStringLiteral("no writable /dev/full on this machine");
                          return false;
                      }
                      logs = root.filePath(QStringLiteral("data/logs"));
                      const QDate today = QDate::currentDate();
                      // Tomorrow's too, for a run that crosses midnight.
                      for (const QDate& day : {today, today.addDays(1)}) {
                          if (!QFile::link(QStringLiteral("/dev/full"),
                                           joinPath(logs, logFileName(day)))) {
                              why = QStringLiteral("cannot make the link");
                              return false;
                          }
                      }
                      return true;
                  },
                  1119, 1120},
        // A log folder that cannot exist: its parent is a regular file.
        BrokenLog{"folder_under_a_file",
                  [](QDir& root, QString& logs, QString&) {
                      const QString file = root.filePath(QStringLiteral("data/logs-file"));
                      logs = file + QStringLiteral("/logs");
                      return writeAll(file, "a file");
                  },
                  1118, 1124}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dwnfrw::testing
