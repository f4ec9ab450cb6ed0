#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>

#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/modgen.h"
#include "startup/single_instance.h"

namespace dwnfrw {
namespace {

class RecordingHost : public StartupHost {
  public:
    bool running = false;
    bool anotherCopyRunning() override { return running; }
    void prepareGui() override { ++guiPrepared; }
    void showMessage(const QString& text) override { messages.append(text); }
    void showMainWindow() override { ++windows; }

    int guiPrepared = 0;
    int windows = 0;
    QStringList messages;
};

class MainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(home_.isValid());
        saved_ = qgetenv("XDG_DATA_HOME");
        savedHome_ = qgetenv("HOME");
        qputenv("XDG_DATA_HOME", (home_.path() + "/data").toLocal8Bit());
        qputenv("HOME", home_.path().toLocal8Bit());
        resetGlobals();
        UnloadLanguage();
        setProgramFolder(QStringLiteral(PROGRAM_DIR));
    }
    void TearDown() override {
        qputenv("XDG_DATA_HOME", saved_);
        qputenv("HOME", savedHome_);
        UnloadLanguage();
        setProgramFolder(QString());
    }
    QTemporaryDir home_;
    QByteArray saved_, savedHome_;
};

TEST_F(MainTest, SilentEnds) {
    struct {
        const char* name;
        bool running;
        const char* line;
        StartupEnd end;
    } cases[] = {
        {"another copy", true, "/COM=3 /L=ENG", StartupEnd::AnotherCopy},
        {"empty line", false, "", StartupEnd::EmptyCommandLine},
        {"no language", false, "/COM=3", StartupEnd::MissingSetting},
        {"empty language", false, "/COM=3 /L=", StartupEnd::MissingSetting},
        {"no port", false, "/L=ITA", StartupEnd::MissingSetting},
        {"port written as name", false, "/COM=COM3 /L=ITA", StartupEnd::MissingSetting},
        {"only spaces", false, "   ", StartupEnd::MissingSetting},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetGlobals();
        RecordingHost host;
        host.running = c.running;
        EXPECT_EQ(Main(QString::fromLatin1(c.line), host), c.end);
        EXPECT_EQ(host.guiPrepared, 0);
        EXPECT_EQ(host.windows, 0);
        EXPECT_TRUE(host.messages.isEmpty());
    }
}

TEST_F(MainTest, MissingModulesShowTheOneMessage) {
    QTemporaryDir empty;
    setProgramFolder(empty.path());
    RecordingHost host;
    EXPECT_EQ(Main(QStringLiteral("/COM=3 /L=ENG /BRAND=KESTOVA"), host),
              StartupEnd::LanguageFailed);
    ASSERT_EQ(host.messages.size(), 1);
    EXPECT_EQ(host.messages[0],
              QStringLiteral("File Locale Language KSV006_0100Ita.dll not found"));
    EXPECT_EQ(host.windows, 0);
}

// Without a home folder the data folders would land under "/".
TEST_F(MainTest, NoHomeFolderShowsItsMessageAndCreatesNothing) {
    for (const char* home : {"", "/"}) {
        SCOPED_TRACE(home);
        qputenv("HOME", home);
        qunsetenv("XDG_DATA_HOME");
        RecordingHost host;
        EXPECT_EQ(Main(QStringLiteral("/COM=3 /L=ENG"), host), StartupEnd::NoHomeFolder);
        EXPECT_EQ(host.messages, QStringList{GetText(1140)});
        EXPECT_EQ(host.windows, 0);
        EXPECT_TRUE(globals().DataFolder.isEmpty());
    }
}

// Without a home folder, the data folder actually used decides: one that
// XDG_DATA_HOME names and that can be made serves; "/" or the default under
// it does not.
TEST_F(MainTest, WithoutAHomeTheDataFolderUsedDecides) {
    const QString file = home_.path() + "/a-file";
    QFile(file).open(QIODevice::WriteOnly);
    const struct {
        const char* home;
        QString data;
        StartupEnd end;
    } cases[] = {
        {"/", home_.path() + "/xdg", StartupEnd::WindowShown},
        {"", home_.path() + "/xdg", StartupEnd::WindowShown},
        {"/", QStringLiteral("/"), StartupEnd::NoHomeFolder},
        {"/", QStringLiteral("/.local/share"), StartupEnd::NoHomeFolder},
        {"/", file + "/below", StartupEnd::NoHomeFolder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.home + (" " + c.data.toStdString()));
        resetGlobals();
        UnloadLanguage();
        qputenv("HOME", c.home);
        qputenv("XDG_DATA_HOME", c.data.toLocal8Bit());
        RecordingHost host;
        EXPECT_EQ(Main(QStringLiteral("/COM=3 /L=ENG"), host), c.end);
        if (c.end != StartupEnd::WindowShown) {
            EXPECT_EQ(host.messages, QStringList{GetText(1140)});
            continue;
        }
        EXPECT_TRUE(globals().DataFolder.startsWith(c.data)) << globals().DataFolder.toStdString();
        EXPECT_TRUE(globals().DocumentsFolder.startsWith(c.data))
            << globals().DocumentsFolder.toStdString();
        // The working folder for region files is private.
        EXPECT_EQ(QFileInfo(globals().TempFolder).permissions() & QFileDevice::Permissions(0x0077),
                  QFileDevice::Permissions());
    }
}

TEST_F(MainTest, PreparesFoldersAndShowsTheWindow) {
    RecordingHost host;
    EXPECT_EQ(Main(QStringLiteral("/com=3 /l=eng /log"), host), StartupEnd::WindowShown);
    const GlobalSettings& g = globals();
    EXPECT_EQ(host.windows, 1);
    EXPECT_EQ(g.ComPort, 3);
    EXPECT_EQ(g.LanguageCode, QStringLiteral("ENG"));
    EXPECT_EQ(g.AppName, QStringLiteral("VelmorStudio"));
    EXPECT_EQ(g.DataFolder, home_.path() + "/data/Norvexa/VelmorStudio_0200");
    EXPECT_EQ(g.TempFolder, g.DataFolder + "/temp");
    EXPECT_EQ(g.LogsFolder, g.DataFolder + "/logs");
    EXPECT_TRUE(QFileInfo(g.TempFolder).isDir());
    EXPECT_TRUE(QFileInfo(g.LogsFolder).isDir());
    EXPECT_EQ(GetText(1033), QStringLiteral("Exit"));
    // Without "/D" no profile file is written.
    EXPECT_FALSE(QFileInfo::exists(g.LogsFolder + "/PICCFG.INI"));
}

TEST_F(MainTest, UnknownLanguageRunsInItalianWithTheSecondBrand) {
    RecordingHost host;
    EXPECT_EQ(Main(QStringLiteral("/COM=3 /L=XYZ /BRAND=KESTOVA /D"), host),
              StartupEnd::WindowShown);
    EXPECT_TRUE(globals().LanguageCode.isEmpty());
    EXPECT_EQ(globals().AppName, QStringLiteral("VelmorControlConfig"));
    EXPECT_EQ(globals().DataFolder, home_.path() + "/data/Kestova/VelmorControlConfig_0100");
    EXPECT_EQ(GetText(1033), QStringLiteral("Esci"));
    EXPECT_TRUE(QFileInfo::exists(globals().LogsFolder + "/PICCFG.INI"));
}

TEST(SingleInstanceTest, SecondCopyRefusedAndCrashedOwnerNeverBlocks) {
    QTemporaryDir dir;
    const QString lockPath = dir.filePath(QStringLiteral("dwnfrw.lock"));
    {
        SingleInstance first(lockPath);
        ASSERT_TRUE(first.acquire());
        SingleInstance second(lockPath);
        EXPECT_FALSE(second.acquire());
    }
    // A lock left by a process that no longer runs.
    QFile stale(lockPath);
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("2147480000\ndwnfrw\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    stale.close();
    SingleInstance next(lockPath);
    EXPECT_TRUE(next.acquire());
}

}  // namespace
}  // namespace dwnfrw
