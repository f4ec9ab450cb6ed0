// The "open" command through scripted dialogs: dialog settings, the package
// test, the three messages, toolbar states and the status caption.
#include <gtest/gtest.h>

#include "bootloader/modcomm.h"
#include "package/modgestfrw.h"
#include "package/package_opening.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"

namespace dwnfrw::testing {
namespace {

const QStringList kRegionNames = {"progmem", "eedata", "userid", "config"};

class OpenFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        resetGlobals();
        resetBootloaderSettings();
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
        globals().DocumentsFolder = root_.filePath(QStringLiteral("docs"));
        globals().DataFolder = root_.filePath(QStringLiteral("data"));
        globals().TempFolder = root_.filePath(QStringLiteral("temp"));
        ASSERT_TRUE(QDir().mkpath(globals().TempFolder));
        session_.WorkFolder = root_.filePath(QStringLiteral("data/tempfrw"));
        ui_.toolbar.port = 3;
    }
    void TearDown() override { resetGlobals(); }

    QString package(const QString& name, const QByteArray& hex = kTinyHex,
                    const QString& version = QStringLiteral("4.1.0")) {
        const QString path = root_.filePath(name);
        EXPECT_TRUE(buildZip(path,
                             {{"info.txt", infoBlock("fw.hex", version, "Main")}, {"fw.hex", hex}},
                             Encryption::Aes256));
        return path;
    }
    // The state "package loaded" left by an earlier command.
    void loadedBefore() {
        ui_.toolbar.setToolEnabled(QStringLiteral("dwn"), true);
        ui_.toolbar.setToolEnabled(QStringLiteral("info"), true);
        ui_.toolbar.status = QStringLiteral(" earlier");
        ui_.toolbar.changes.clear();
        for (const QString& name : kRegionNames) {
            ASSERT_TRUE(writeAll(regionFilePath(name), "old"));
        }
    }
    bool run(std::optional<QString> chosen) {
        ui_.dialogs.queueFile(std::move(chosen));
        Frontend frontend = ui_.frontend();
        return OpenFile(session_, frontend);
    }
    int regionFilesPresent() const {
        int count = 0;
        for (const QString& name : kRegionNames)
            count += QFile::exists(regionFilePath(name));
        return count;
    }
    QString noPackageCaption() const { return u' ' + GetText(1010); }
    QString loadedCaption(const QString& name) const {
        return u' ' + GetText(1012) + QStringLiteral(": ") + name;
    }

    QTemporaryDir root_;
    PackageSession session_;
    ScriptedFrontend ui_;
};

TEST_F(OpenFileTest, DialogSettings) {
    // The dialog starts in "dat" when it exists, else in the documents folder.
    const struct {
        const char* makeFolder;
        const char* startFolder;
    } rows[] = {{"docs", "docs"}, {"docs/dat", "docs/dat"}};
    for (const auto& row : rows) {
        ASSERT_TRUE(QDir().mkpath(root_.filePath(QLatin1String(row.makeFolder))));
        run(std::nullopt);
        EXPECT_EQ(ui_.dialogs.fileRequests.back().initialFolder,
                  root_.filePath(QLatin1String(row.startFolder)));
    }
    const OpenFileRequest& request = ui_.dialogs.fileRequests[0];
    EXPECT_EQ(request.title, GetText(1008));
    EXPECT_EQ(request.filter, GetText(1009) + QStringLiteral("  (*.Fwz) |*.fwz"));
    EXPECT_TRUE(request.fileName.isEmpty());
    EXPECT_TRUE(request.pathMustExist);
}

TEST_F(OpenFileTest, CancelAndEmptyNameChangeNothing) {
    loadedBefore();
    EXPECT_FALSE(run(std::nullopt));
    EXPECT_EQ(ui_.events.count, 0);
    EXPECT_FALSE(run(QString()));
    EXPECT_EQ(ui_.events.count, 1);
    EXPECT_TRUE(ui_.toolbar.changes.isEmpty());
    EXPECT_EQ(ui_.toolbar.status, QStringLiteral(" earlier"));
    EXPECT_TRUE(ui_.dialogs.messages.empty());
    EXPECT_EQ(regionFilesPresent(), 4);
}

TEST_F(OpenFileTest, NamesThatAreNoPackageResetSilently) {
    for (const char* name : {"pkg.zip", "pkg.fwzab", "fwz", "pkgfwz"}) {
        loadedBefore();
        ui_.events.count = 0;
        const QString path = package(QString::fromLatin1(name));
        EXPECT_FALSE(run(path)) << name;
        EXPECT_EQ(ui_.toolbar.changes, (QStringList{"dwn=off", "info=off"})) << name;
        EXPECT_EQ(ui_.toolbar.status, noPackageCaption()) << name;
        EXPECT_EQ(regionFilesPresent(), 0) << name;
        EXPECT_EQ(ui_.events.count, 1) << name;
    }
    EXPECT_TRUE(ui_.dialogs.messages.empty());
    EXPECT_FALSE(QFileInfo::exists(session_.WorkFolder));  // never validated
}

TEST_F(OpenFileTest, PackageNamesInAnyCaseAreAccepted) {
    for (const char* name : {"pkg.fwz", "PKG.FWZ", "Firmware.Fwz", "one.FWZx"}) {
        ui_.toolbar.changes.clear();
        ui_.events.count = 0;
        EXPECT_TRUE(run(package(QString::fromLatin1(name)))) << name;
        EXPECT_EQ(ui_.toolbar.status, loadedCaption(QString::fromLatin1(name)));
        EXPECT_EQ(ui_.toolbar.changes, (QStringList{"dwn=on", "info=on"})) << name;
        EXPECT_EQ(ui_.events.count, 1) << name;
        EXPECT_TRUE(QFile::exists(regionFilePath(QStringLiteral("progmem")))) << name;
    }
    EXPECT_TRUE(ui_.dialogs.messages.empty());
    EXPECT_EQ(session_.FwVersionMajor, 4);
    EXPECT_EQ(session_.FwVersionMinor, 1);
    EXPECT_EQ(InfoFRWTable().size(), 2);
    EXPECT_EQ(bootloaderSettings().PortName, QStringLiteral("COM3"));
}

TEST_F(OpenFileTest, RefusedPackageShowsTheValidationText) {
    loadedBefore();
    EXPECT_FALSE(run(package(QStringLiteral("old.fwz"), kTinyHex, QStringLiteral("3.0.0"))));
    ASSERT_EQ(ui_.dialogs.messages.size(), 1u);
    const ShownMessage& shown = ui_.dialogs.messages[0];
    EXPECT_EQ(shown.prompt, GetText(1011) + u'\r' + GetText(1015));
    EXPECT_EQ(shown.title, GetText(1002));
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    EXPECT_EQ(shown.buttons, MsgButtons::Ok);
    EXPECT_EQ(ui_.toolbar.changes, (QStringList{"dwn=off", "info=off"}));
    EXPECT_EQ(ui_.toolbar.status, noPackageCaption());
    EXPECT_EQ(regionFilesPresent(), 0);
    EXPECT_EQ(ui_.events.count, 1);
}

TEST_F(OpenFileTest, UnreadableHexShowsOnlyItsOwnText) {
    loadedBefore();
    EXPECT_FALSE(
        run(package(QStringLiteral("bad.fwz"), QByteArray(":0100000042BE\r\n:00000001FF\r\n"))));
    ASSERT_EQ(ui_.dialogs.messages.size(), 1u);
    const ShownMessage& shown = ui_.dialogs.messages[0];
    EXPECT_FALSE(shown.prompt.isEmpty());
    EXPECT_FALSE(shown.prompt.startsWith(GetText(1011)));
    EXPECT_EQ(shown.title, GetText(1002));
    EXPECT_EQ(shown.icon, MsgIcon::Critical);
    EXPECT_EQ(ui_.toolbar.changes, (QStringList{"dwn=off", "info=off"}));
    EXPECT_EQ(ui_.toolbar.status, noPackageCaption());
    EXPECT_EQ(regionFilesPresent(), 0);
    EXPECT_EQ(ui_.events.count, 0);  // this ending does not yield
}

// A HEX member that is missing or unusable is named with its package.
TEST_F(OpenFileTest, PackageWithoutUsableHexImageNamesTheMember) {
    const struct {
        ZipMember hex;
        QString reason;
    } cases[] = {
        {{"ee.bin", "e"}, GetText(1136)},
        {{"fw.hex/", "", MemberKind::Directory}, GetText(1137).arg("fw.hex/")},
        {{"fw.hex", "elsewhere.hex", MemberKind::Symlink}, GetText(1137).arg("fw.hex")},
        {{"fw.hex ", kTinyHex}, GetText(1137).arg("fw.hex ")},
    };
    for (const auto& c : cases) {
        const QString path = root_.filePath(QStringLiteral("nohex.fwz"));
        QFile::remove(path);
        ASSERT_TRUE(buildZip(path, {{"info.txt", infoBlock(c.hex.name, "4.1.0", "Main")}, c.hex}));
        ui_.dialogs.messages.clear();
        EXPECT_FALSE(run(path));
        ASSERT_EQ(ui_.dialogs.messages.size(), 1u);
        EXPECT_EQ(ui_.dialogs.messages[0].prompt, GetText(1135).arg(path, c.reason));
        EXPECT_EQ(ui_.toolbar.status, noPackageCaption());
    }
}

// The working folder is emptied by every opening: a package kept there is
// refused before anything is deleted.
TEST_F(OpenFileTest, PackageInsideTheWorkingFolderIsRefusedAndKept) {
    ASSERT_TRUE(QDir().mkpath(session_.WorkFolder));
    const QString inside = QDir(session_.WorkFolder).filePath(QStringLiteral("kept.fwz"));
    ASSERT_TRUE(QFile::copy(package(QStringLiteral("pkg.fwz")), inside));
    EXPECT_FALSE(run(inside));
    ASSERT_EQ(ui_.dialogs.messages.size(), 1u);
    EXPECT_EQ(ui_.dialogs.messages[0].prompt,
              GetText(1011) + u'\r' + GetText(1138).arg(inside, session_.WorkFolder));
    EXPECT_TRUE(QFile::exists(inside));
}

// The bootloader set-up fails while a folder stands where a region file goes;
// the person reads the message, the folder goes, and the HEX reading succeeds.
TEST_F(OpenFileTest, FailedBootloaderSetUpIsShownAndTheOpeningGoesOn) {
    const QString blocker = regionFilePath(QStringLiteral("progmem"));
    ASSERT_TRUE(QDir().mkpath(blocker + QStringLiteral("/inside")));
    ui_.dialogs.onMessage = [&](const ShownMessage&) { QDir(blocker).removeRecursively(); };
    EXPECT_TRUE(run(package(QStringLiteral("pkg.fwz"))));
    ASSERT_EQ(ui_.dialogs.messages.size(), 1u);
    EXPECT_TRUE(ui_.dialogs.messages[0].prompt.startsWith(GetText(1011) + u'\r'));
    EXPECT_GT(ui_.dialogs.messages[0].prompt.size(), GetText(1011).size() + 1);
    EXPECT_EQ(ui_.dialogs.messages[0].icon, MsgIcon::Critical);
    EXPECT_EQ(ui_.toolbar.status, loadedCaption(QStringLiteral("pkg.fwz")));
    EXPECT_EQ(ui_.toolbar.changes, (QStringList{"dwn=on", "info=on"}));
}

TEST_F(OpenFileTest, PathWithoutSeparatorGivesAnEmptyName) {
    package(QStringLiteral("rel.fwz"));
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(root_.path()));
    const bool loaded = run(QStringLiteral("rel.fwz"));
    QDir::setCurrent(before);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(ui_.toolbar.status, loadedCaption(QString()));
}

TEST(ExtractFileName, AfterTheLastSeparator) {
    EXPECT_EQ(ExtractFileName(QStringLiteral("/home/u/dat/pkg.fwz")), QStringLiteral("pkg.fwz"));
    EXPECT_EQ(ExtractFileName(QStringLiteral("pkg.fwz")), QString());
    EXPECT_EQ(ExtractFileName(QStringLiteral("/home/u/dat/")), QString());
    EXPECT_EQ(ExtractFileName(QString()), QString());
    EXPECT_EQ(ExtractFileName(QStringLiteral("C:\\dat\\pkg.fwz")), QString());
}

}  // namespace
}  // namespace dwnfrw::testing
