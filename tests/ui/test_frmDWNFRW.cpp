#include <pty.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <cstdio>
#include <map>
#include <memory>

#include "package/modgestfrw.h"
#include "tests/support/scripted_frontend.h"
#include "tests/ui/ui_test_support.h"
#include "ui/artwork.h"
#include "ui/frmDWNFRW.h"
#include "ui/frmInfoFRW.h"

namespace dwnfrw {
namespace {

using testing::ScriptedDialogs;

const QStringList kToolKeys = {
    QStringLiteral("open"),  QStringLiteral("info"),  QStringLiteral("stop"),
    QStringLiteral("dwn"),   QStringLiteral("esci"),  QStringLiteral("comport"),
    QStringLiteral("Tool6"), QStringLiteral("Tool7"), QStringLiteral("Tool8")};

// Records the commands instead of running them.
class RecordingWindow : public frmDWNFRW {
  public:
    using frmDWNFRW::frmDWNFRW;
    void OpenFile() override { calls.append(QStringLiteral("OpenFile")); }
    void FireInfoFRW() override { calls.append(QStringLiteral("FireInfoFRW")); }
    void RunDownload() override { calls.append(QStringLiteral("RunDownload")); }
    QStringList calls;
};

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetGlobals();
        ASSERT_TRUE(data.isValid());
        globals().AppName = QStringLiteral("VelmorStudio");
        globals().DataFolder = data.path();
        globals().ComPort = 3;
        ASSERT_TRUE(testing::useLanguage("ITA")) << "the Italian text module is not built";
    }
    void TearDown() override {
        window.reset();
        QDir::setCurrent(QDir::tempPath());
    }

    RecordingWindow& open() {
        window = std::make_unique<RecordingWindow>(dialogs);
        window->show();
        return *window;
    }

    template <typename T>
    T* find(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }

    QString workFolder() const { return QDir(data.path()).filePath(QStringLiteral("tempfrw")); }

    void makeWorkFile(const char* name, bool readOnly = false) {
        QDir().mkpath(workFolder());
        QFile file(QDir(workFolder()).filePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        if (readOnly) {
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup);
        }
    }

    QTemporaryDir data;
    ScriptedDialogs dialogs;
    std::unique_ptr<RecordingWindow> window;
};

TEST_F(MainWindowTest, ControlsByNameAtTheirPlaces) {
    open();
    EXPECT_EQ(window->objectName(), QStringLiteral("frmDWNFRW"));
    // The designed size at least; the window may grow, never below its contents.
    EXPECT_GE(window->width(), 618);
    EXPECT_GE(window->height(), 191);
    EXPECT_LT(window->minimumSize().width(), window->maximumSize().width());
    EXPECT_EQ(window->minimumSize(), window->layout()->minimumSize());

    for (const char* name :
         {"lblOpe", "lblPercent", "pbr1", "pbrOverall", "Image2", "lblRunNote"}) {
        ASSERT_NE(find<QWidget>(name), nullptr) << name;
        EXPECT_EQ(find<QWidget>(name)->parent(), find<QWidget>("Picture1")) << name;
    }
    // Operation above the clock, the logo at the right, the bars below, the
    // note last (shown here, as a run shows them).
    window->setBarVisible(true);
    window->setOverallProgress(OverallProgress{});
    find<QLabel>("lblRunNote")->show();
    QApplication::processEvents();
    const auto place = [this](const char* name) { return find<QWidget>(name)->geometry(); };
    EXPECT_LT(place("lblOpe").top(), place("lblPercent").top());
    EXPECT_GT(place("Image2").left(), place("lblPercent").right());
    EXPECT_LT(place("lblPercent").bottom(), place("pbr1").top());
    EXPECT_LT(place("pbr1").bottom(), place("pbrOverall").top());
    EXPECT_LT(place("pbrOverall").bottom(), place("lblRunNote").top());
    EXPECT_EQ(find<QWidget>("Image2")->size(), QSize(127, 23));
    EXPECT_LT(find<QWidget>("ActiveBar21")->geometry().bottom(), place("Picture1").top() + 1);

    window->setBarVisible(false);
    auto* bar = find<QProgressBar>("pbr1");
    EXPECT_TRUE(bar->isHidden());
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_FALSE(find<QLabel>("Image2")->pixmap().isNull());

    auto* clock = find<QTimer>("tmrtime");
    ASSERT_NE(clock, nullptr);
    EXPECT_EQ(clock->interval(), 1000);
    EXPECT_FALSE(clock->isActive());
}

TEST_F(MainWindowTest, BandsFitAboveThePanelAndShowEveryTool) {
    open();
    auto* menuBar = find<QMenuBar>("Band3");
    auto* toolbar = find<QToolBar>("Band1");
    auto* status = find<QWidget>("Band2");
    ASSERT_TRUE(menuBar && toolbar && status);
    EXPECT_EQ(menuBar->geometry().bottom() + 1, toolbar->geometry().top());
    EXPECT_EQ(toolbar->geometry().bottom() + 1, status->geometry().top());
    EXPECT_LE(status->geometry().bottom() + 1, find<QWidget>("Picture1")->geometry().top());
    EXPECT_GE(toolbar->height(), toolbar->sizeHint().height());
    EXPECT_GE(menuBar->height(), menuBar->sizeHint().height());
    EXPECT_TRUE(status->isAncestorOf(find<QLabel>("Tool6")));

    // Nothing is pushed into the toolbar's overflow menu.
    QApplication::processEvents();
    for (QAction* action : toolbar->actions()) {
        if (action->isSeparator())
            continue;
        QWidget* shown = toolbar->widgetForAction(action);
        ASSERT_NE(shown, nullptr) << action->objectName().toStdString();
        EXPECT_TRUE(shown->isVisible()) << action->objectName().toStdString();
    }
    QStringList order;
    for (QAction* action : toolbar->actions())
        order.append(action->objectName());
    EXPECT_EQ(order, QStringList({"open", "info", "stop", "dwn", "esci", "Tool5", "comport"}));
}

class MainWindowLanguageTest : public MainWindowTest,
                               public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        ASSERT_TRUE(testing::useLanguage(GetParam()));
    }
};

TEST_P(MainWindowLanguageTest, CaptionsComeFromTheTextModule) {
    open();
    EXPECT_EQ(window->windowTitle(), GetText(1019));
    EXPECT_TRUE(window->windowTitle().contains(QStringLiteral("VelmorStudio")));

    auto* toolbar = find<QToolBar>("Band1");
    const std::map<std::string, std::pair<int, int>> numbers = {
        {"open", {1086, 1032}}, {"info", {1087, 0}},    {"stop", {1088, 1084}},
        {"dwn", {1089, 1085}},  {"esci", {1090, 1033}},
    };
    for (const auto& [key, pair] : numbers) {
        auto* action = find<QAction>(key.c_str());
        ASSERT_NE(action, nullptr) << key;
        auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action));
        ASSERT_NE(button, nullptr) << key;
        EXPECT_EQ(button->text(), GetText(pair.first)) << key;
        if (pair.second != 0) {
            EXPECT_EQ(action->text(), GetText(pair.second)) << key;
        }
    }
    EXPECT_EQ(find<QMenu>("Band4")->title(), GetText(1030));
    EXPECT_EQ(find<QMenu>("Band5")->title(), GetText(1031));
    EXPECT_EQ(find<QLabel>("comportCaption")->text(), GetText(1091));
    // The separator has no number and the status pane starts empty.
    EXPECT_TRUE(find<QAction>("Tool5")->isSeparator());
    EXPECT_TRUE(find<QLabel>("Tool6")->text().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Languages, MainWindowLanguageTest, ::testing::Values("ITA", "ENG"));

TEST_F(MainWindowTest, LoadEmptiesTheTextsAndSetsTheWorkFolder) {
    open();
    EXPECT_TRUE(find<QLabel>("lblOpe")->text().isEmpty());
    EXPECT_TRUE(find<QLabel>("lblPercent")->text().isEmpty());
    EXPECT_EQ(window->session.WorkFolder, workFolder());
    EXPECT_FALSE(QDir(workFolder()).exists());  // made only when a package opens
}

TEST_F(MainWindowTest, PortListSelectsComPortWhenInRange) {
    struct {
        int comPort;
        int index;
        int selected;
    } cases[] = {{1, 0, 1}, {3, 2, 3}, {64, 63, 64}, {65, -1, 0}, {0, -1, 0}, {-1, -1, 0}};
    for (const auto& row : cases) {
        globals().ComPort = row.comPort;
        open();
        auto* list = find<QComboBox>("comport");
        ASSERT_EQ(list->count(), 64);
        EXPECT_EQ(list->itemText(0), QStringLiteral("COM1"));
        EXPECT_EQ(list->itemText(63), QStringLiteral("COM64"));
        EXPECT_EQ(list->itemData(41).toInt(), 42);
        EXPECT_EQ(list->currentIndex(), row.index) << row.comPort;
        EXPECT_EQ(window->selectedPort(), row.selected) << row.comPort;
    }
    // The user's choice is what the commands read.
    find<QComboBox>("comport")->setCurrentIndex(9);
    EXPECT_EQ(window->selectedPort(), 10);
}

// COM5 is a link to a pseudo-terminal, COM6 a link whose device is gone; the
// list is looked at again each time it opens.
TEST_F(MainWindowTest, PortListMarksThePortsPresentNow) {
    QTemporaryDir ports;
    qputenv("DWNFRW_PORTS", QFile::encodeName(ports.path()));
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const QString device = QString::fromLocal8Bit(::ttyname(slave));
    ASSERT_TRUE(QFile::link(device, QDir(ports.path()).filePath(QStringLiteral("COM5"))));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/dwnfrw-gone"),
                            QDir(ports.path()).filePath(QStringLiteral("COM6"))));
    open();
    auto* list = find<QComboBox>("comport");
    EXPECT_FALSE(list->itemIcon(4).isNull());
    EXPECT_EQ(list->itemData(4, Qt::ToolTipRole).toString(), device);
    EXPECT_TRUE(list->itemIcon(5).isNull());
    EXPECT_EQ(list->itemData(5, Qt::ToolTipRole).toString(),
              GetText(1227).arg(QStringLiteral("COM6")));
    EXPECT_EQ(list->itemText(4), QStringLiteral("COM5"));
    // The device goes away. Its node name may be taken again at once by
    // another program's terminal, so the link is turned to a node that stays gone.
    ::close(slave);
    ::close(master);
    const QString gone = QDir(ports.path()).filePath(QStringLiteral("COM5.gone"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/dwnfrw-gone-too"), gone));
    ASSERT_EQ(
        ::rename(
            QFile::encodeName(gone).constData(),
            QFile::encodeName(QDir(ports.path()).filePath(QStringLiteral("COM5"))).constData()),
        0);
    // Idle, the list closed: the mark goes within two seconds all the same.
    QElapsedTimer waited;
    waited.start();
    EXPECT_TRUE(QTest::qWaitFor([list] { return list->itemIcon(4).isNull(); }, 2000))
        << "the pseudo-terminal is gone";
    EXPECT_LE(waited.elapsed(), 2000);
    EXPECT_EQ(list->itemData(4, Qt::ToolTipRole).toString(),
              GetText(1227).arg(QStringLiteral("COM5")));
    qunsetenv("DWNFRW_PORTS");
}

// A 1 x 1 GIF whose only pixel is pure red.
const QByteArray kRedGif = QByteArray::fromHex(
    "47494638396101000100800000ff000000000021f90400000000002c00000000010001000002024401003b");

TEST_F(MainWindowTest, SecondBrandShowsItsLogoFileWhenPresent) {
    const QImage builtIn = builtInLogo(QSize(127, 23)).toImage();
    auto logo = [this] { return find<QLabel>("Image2")->pixmap().toImage(); };

    open();  // first brand
    EXPECT_EQ(logo(), builtIn);

    globals().Brand = 1;
    open();  // no file
    EXPECT_EQ(logo(), builtIn);

    QDir(data.path()).mkpath(QStringLiteral("system"));
    QFile gif(QDir(data.path()).filePath(QStringLiteral("system/ksvLogo.gif")));
    ASSERT_TRUE(gif.open(QIODevice::WriteOnly));
    gif.write(kRedGif);
    gif.close();
    open();
    ASSERT_EQ(logo().size(), QSize(1, 1));
    EXPECT_EQ(logo().pixelColor(0, 0), QColor(Qt::red));

    globals().Brand = 0;  // the first brand ignores the file
    open();
    EXPECT_EQ(logo(), builtIn);
}

// Expected state of every tool after each phase, in the order of kToolKeys:
// open, info, stop, dwn, esci, comport, Tool6, Tool7, Tool8.
struct PhaseStep {
    const char* phase;
    void (frmDWNFRW::*apply)();
    const char* states;  // '1' on, '0' off
};

TEST_F(MainWindowTest, EnabledStatesFollowThePhases) {
    const PhaseStep steps[] = {
        {"window opened", nullptr, "100011111"},
        {"package being opened", &frmDWNFRW::packageOpening, "100011111"},
        {"package accepted", &frmDWNFRW::packageAccepted, "110111111"},
        {"run starts", &frmDWNFRW::runStarts, "001000000"},
        {"run ends", &frmDWNFRW::runEnds, "100111111"},  // info stays off
        {"package accepted again", &frmDWNFRW::packageAccepted, "110111111"},
        {"package refused", &frmDWNFRW::packageRefused, "100011111"},
    };
    open();
    auto* toolbar = find<QToolBar>("Band1");
    for (const PhaseStep& step : steps) {
        if (step.apply)
            (window.get()->*step.apply)();
        for (int i = 0; i < kToolKeys.size(); ++i) {
            const QString& key = kToolKeys.at(i);
            const bool expected = step.states[i] == '1';
            EXPECT_EQ(window->isToolEnabled(key), expected)
                << step.phase << ": " << key.toStdString();
            // What the person sees agrees with the state.
            if (auto* action = find<QAction>(key.toLatin1().constData())) {
                if (QWidget* shown = toolbar->widgetForAction(action)) {
                    EXPECT_EQ(shown->isEnabled(), expected)
                        << step.phase << ": button " << key.toStdString();
                }
            }
        }
        EXPECT_EQ(find<QComboBox>("comport")->isEnabled(), step.states[5] == '1') << step.phase;
        EXPECT_EQ(find<QLabel>("Tool6")->isEnabled(), step.states[6] == '1') << step.phase;
        EXPECT_EQ(find<QMenu>("Band4")->menuAction()->isEnabled(), step.states[7] == '1');
        EXPECT_EQ(find<QMenu>("Band5")->menuAction()->isEnabled(), step.states[8] == '1');
    }
}

TEST_F(MainWindowTest, MenuEntriesAreTheToolbarCommands) {
    open();
    auto actionsOf = [this](const char* menu) {
        QStringList names;
        for (QAction* action : find<QMenu>(menu)->actions())
            names.append(action->objectName());
        return names;
    };
    EXPECT_EQ(actionsOf("Band4"), QStringList({"open", "esci"}));
    EXPECT_EQ(actionsOf("Band5"), QStringList({"stop", "dwn"}));
    // One object per command: switching it off switches off both views.
    for (const char* key : {"open", "esci", "stop", "dwn"}) {
        auto* command = find<QAction>(key);
        const QList<QAction*> menuActions =
            find<QMenu>("Band4")->actions() + find<QMenu>("Band5")->actions();
        EXPECT_TRUE(menuActions.contains(command)) << key;
        EXPECT_TRUE(find<QToolBar>("Band1")->actions().contains(command)) << key;
        EXPECT_EQ(window->findChildren<QAction*>(QString::fromLatin1(key)).size(), 1) << key;
    }
}

// Asked from a shell, the program names its version and ends, with no window.
TEST(ProgramVersion, VersionOptionPrintsTheVersion) {
    QProcess program;
    program.start(QDir(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR)).filePath(QStringLiteral("dwnfrw")),
                  {QStringLiteral("--version")});
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(program.readAllStandardOutput(),
              QByteArrayLiteral("dwnfrw ") + QByteArrayLiteral(DWNFRW_TEST_VERSION) + '\n');
}

// The platform's keys for open, update and exit; none for stop, so a stray
// key never leaves a board erased.
TEST_F(MainWindowTest, StopHasNoKeyAndEscapeStopsNothing) {
    const struct {
        const char* key;
        QKeySequence::StandardKey standard;  // UnknownKey: no key at all
    } cases[] = {
        {"open", QKeySequence::Open},       {"info", QKeySequence::UnknownKey},
        {"stop", QKeySequence::UnknownKey}, {"dwn", QKeySequence::Refresh},
        {"esci", QKeySequence::Quit},
    };
    open();
    for (const auto& row : cases) {
        const QList<QKeySequence> expected = row.standard == QKeySequence::UnknownKey
                                                 ? QList<QKeySequence>{}
                                                 : QKeySequence::keyBindings(row.standard);
        EXPECT_EQ(find<QAction>(row.key)->shortcuts(), expected) << row.key;
    }
    window->activateWindow();
    window->packageAccepted();
    window->runStarts();
    globals().StopRequested = false;
    QTest::keyClick(window.get(), Qt::Key_Escape);
    EXPECT_FALSE(globals().StopRequested);
    window->runEnds();
}

// About: name, version, Qt's version and the folders, in the session's language.
TEST_P(MainWindowLanguageTest, HelpMenuShowsAbout) {
    globals().LogsFolder = QDir(data.path()).filePath(QStringLiteral("logs"));
    globals().TempFolder = QDir(data.path()).filePath(QStringLiteral("temp"));
    open();
    QMenu* help = find<QMenu>("mnuHelp");
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->title(), GetText(1228));
    EXPECT_TRUE(find<QMenuBar>("Band3")->actions().contains(help->menuAction()));
    QAction* about = find<QAction>("about");
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->text(), GetText(1229));
    window->runStarts();  // closed during a run, with the other menus
    EXPECT_FALSE(help->menuAction()->isEnabled());
    window->runEnds();
    EXPECT_TRUE(help->menuAction()->isEnabled());
    about->trigger();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const testing::ShownMessage& shown = dialogs.messages.front();
    EXPECT_EQ(shown.icon, MsgIcon::Information);
    const QStringList lines = shown.prompt.split(u'\r');
    EXPECT_EQ(lines.value(0), QStringLiteral("dwnfrw"));
    EXPECT_TRUE(lines.contains(GetText(1230).arg(QStringLiteral(DWNFRW_TEST_VERSION))));
    EXPECT_TRUE(lines.contains(GetText(1231).arg(QLatin1String(qVersion()))));
    EXPECT_TRUE(lines.contains(GetText(1232).arg(globals().LogsFolder)));
    EXPECT_TRUE(lines.contains(GetText(1234))) << "the log is off";
    EXPECT_TRUE(shown.prompt.contains(workFolder()));
    EXPECT_TRUE(shown.prompt.contains(globals().TempFolder));
}

TEST_F(MainWindowTest, ToolsDispatchOnTheirExactKey) {
    struct {
        const char* key;
        const char* call;  // nullptr: nothing happens
        bool stops;
    } cases[] = {
        {"open", "OpenFile", false}, {"info", "FireInfoFRW", false}, {"dwn", "RunDownload", false},
        {"stop", nullptr, true},     {"comport", nullptr, false},    {"Tool5", nullptr, false},
        {"Tool6", nullptr, false},   {"Tool7", nullptr, false},      {"Tool8", nullptr, false},
        {"Open", nullptr, false},    {"DWN", nullptr, false},        {"esci ", nullptr, false},
        {"", nullptr, false},
    };
    open();
    for (const auto& row : cases) {
        window->calls.clear();
        globals().StopRequested = false;
        window->toolClick(QString::fromLatin1(row.key));
        const QStringList expected =
            row.call ? QStringList{QString::fromLatin1(row.call)} : QStringList{};
        EXPECT_EQ(window->calls, expected) << row.key;
        EXPECT_EQ(globals().StopRequested, row.stops) << row.key;
        EXPECT_TRUE(dialogs.messages.empty()) << row.key;
        EXPECT_TRUE(window->isVisible()) << row.key;
    }
}

TEST_F(MainWindowTest, ToolbarAndMenuClicksReachTheDispatch) {
    open();
    window->packageAccepted();
    window->runStarts();  // only "stop" on
    find<QAction>("stop")->trigger();
    EXPECT_TRUE(globals().StopRequested);
    window->runEnds();
    window->packageAccepted();
    for (const auto& [key, call] : std::map<const char*, const char*>{
             {"open", "OpenFile"}, {"info", "FireInfoFRW"}, {"dwn", "RunDownload"}}) {
        window->calls.clear();
        find<QAction>(key)->trigger();
        EXPECT_EQ(window->calls, QStringList{QString::fromLatin1(call)}) << key;
    }
    // A disabled command does not run.
    window->packageRefused();
    window->calls.clear();
    find<QAction>("dwn")->trigger();
    EXPECT_TRUE(window->calls.isEmpty());
}

TEST_F(MainWindowTest, OpenAsksForAPackage) {
    frmDWNFRW plain(dialogs);
    plain.toolClick(QStringLiteral("open"));  // cancelled: nothing changes
    EXPECT_EQ(dialogs.fileRequests.size(), 1u);
    EXPECT_FALSE(plain.isToolEnabled(QStringLiteral("dwn")));
    EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(MainWindowTest, CloseRefusedSilentlyWhileARunIsActive) {
    open();
    makeWorkFile("a.hex");
    window->runStarts();
    EXPECT_FALSE(window->close());
    window->toolClick(QStringLiteral("esci"));
    window->windowHandle()->close();  // the window's own close button
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(dialogs.messages.empty());
    EXPECT_TRUE(QFile::exists(QDir(workFolder()).filePath(QStringLiteral("a.hex"))));
}

TEST_F(MainWindowTest, CloseAnsweredNoKeepsWindowAndFolder) {
    open();
    makeWorkFile("a.hex");
    dialogs.queueAnswer(MsgAnswer::No);
    window->toolClick(QStringLiteral("esci"));
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(dialogs.messages.size(), 1u);
    const testing::ShownMessage& asked = dialogs.messages.front();
    EXPECT_EQ(asked.prompt, GetText(1092));
    EXPECT_EQ(asked.title, GetText(1002));
    EXPECT_EQ(asked.buttons, MsgButtons::YesNo);
    EXPECT_EQ(asked.icon, MsgIcon::Question);
    EXPECT_TRUE(QFile::exists(QDir(workFolder()).filePath(QStringLiteral("a.hex"))));
}

TEST_F(MainWindowTest, CloseAnsweredYesRemovesTheWorkFolder) {
    struct {
        const char* name;
        bool folder;
        bool readOnlyFile;
        bool folderRemains;
        bool unpackedPackage = false;  // a package inside the package
    } cases[] = {
        // Everything in the private folder is what the program put there.
        {"package files", true, false, false},
        {"a read-only member goes too, and the folder with it", true, true, false},
        {"an unpacked package goes too, and the folder with it", true, false, false, true},
        {"no package ever opened", false, false, false},
    };
    for (const auto& row : cases) {
        QDir(workFolder()).removeRecursively();
        if (row.folder) {
            makeWorkFile("info.txt");
            makeWorkFile("fw.hex");
            makeWorkFile(".hidden");
        }
        if (row.readOnlyFile)
            makeWorkFile("locked.hex", true);
        if (row.unpackedPackage)
            makeWorkFile("kept.fwz");
        open();
        QDir::setCurrent(row.folder ? workFolder() : data.path());
        dialogs.messages.clear();
        dialogs.queueAnswer(MsgAnswer::Yes);
        window->windowHandle()->close();
        EXPECT_FALSE(window->isVisible()) << row.name;
        EXPECT_EQ(dialogs.messages.size(), 1u) << row.name;
        EXPECT_EQ(QDir(workFolder()).exists(), row.folderRemains) << row.name;
        const QDir folder(workFolder());
        EXPECT_FALSE(folder.exists(QStringLiteral("fw.hex"))) << row.name;
        EXPECT_FALSE(folder.exists(QStringLiteral("kept.fwz"))) << row.name;
        EXPECT_FALSE(folder.exists(QStringLiteral("info.txt"))) << row.name;
        EXPECT_FALSE(folder.exists(QStringLiteral("locked.hex"))) << row.name;
        EXPECT_EQ(QDir::current().canonicalPath(),
                  QDir(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR)).canonicalPath())
            << row.name;
    }
    QFile::setPermissions(QDir(workFolder()).filePath(QStringLiteral("locked.hex")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

TEST_F(MainWindowTest, ProgressAndStatusShowWhatTheCommandsSet) {
    open();
    window->setOperationText(QStringLiteral("Scrittura memoria programma"));
    window->setPercentText(QStringLiteral("Tempo trascorso: 123 secondi"));
    window->setBarVisible(true);
    window->setBarMaximum(250);
    window->setBarValue(125);
    window->setStatusCaption(QStringLiteral(" Pacchetto: fw.fwz"));

    EXPECT_EQ(find<QLabel>("lblOpe")->text(), QStringLiteral("Scrittura memoria programma"));
    auto* percent = find<QLabel>("lblPercent");
    EXPECT_EQ(percent->text(), QStringLiteral("Tempo trascorso: 123 secondi"));
    // The clock text is wider than the designed label: it grows, short of the logo.
    EXPECT_GE(percent->width(), percent->sizeHint().width());
    EXPECT_LT(percent->geometry().right(), find<QWidget>("Image2")->geometry().left());
    auto* bar = find<QProgressBar>("pbr1");
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->maximum(), 250);
    EXPECT_EQ(bar->value(), 125);
    EXPECT_EQ(window->statusCaption(), QStringLiteral(" Pacchetto: fw.fwz"));

    window->setPercentVisible(false);
    EXPECT_FALSE(percent->isVisible());
    window->setPercentText(QString());
    EXPECT_GE(percent->width(), 31);  // never below its designed width

    // The whole run's bar shows from its first step, whatever the phase.
    auto* overall = find<QProgressBar>("pbrOverall");
    EXPECT_FALSE(overall->isVisible());
    for (RunPhase phase : {RunPhase::Identifying, RunPhase::ErasingProgram,
                           RunPhase::WritingProgram, RunPhase::Disconnecting}) {
        const int percent = 10 * (int(phase) + 1);
        window->setOverallProgress(OverallProgress{phase, percent, -1, 0});
        EXPECT_TRUE(overall->isVisible()) << int(phase);
        EXPECT_EQ(overall->value(), percent) << int(phase);
    }
}

// The texts decide the window's size: with the longest note and operation of
// either language, every word shows.
TEST_P(MainWindowLanguageTest, WindowGrowsToFitItsWords) {
    open();
    window->setOperationText(GetText(1102).arg(QStringLiteral("65535")));
    window->setPercentText(RunClock::clockText(3599000));
    window->setOverallProgress(OverallProgress{RunPhase::ErasingUserId, 100, 3599, 0});
    auto* note = find<QLabel>("lblRunNote");
    note->setText(GetText(1167));
    note->show();
    QApplication::processEvents();
    for (const char* name : {"lblOpe", "lblPercent", "lblRunNote", "lblOverall"}) {
        auto* label = find<QLabel>(name);
        EXPECT_GE(label->width(), label->sizeHint().width()) << name;
        EXPECT_TRUE(
            window->rect().contains(QRect(label->mapTo(window.get(), QPoint(0, 0)), label->size())))
            << name;
    }
}

TEST_F(MainWindowTest, BusyCursorCoversTheApplicationOnce) {
    open();
    window->setBusyCursor(true);
    window->setBusyCursor(true);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    window->setBusyCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    window->setBusyCursor(true);
    window.reset();  // a window going away gives the cursor back
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// Every text of the program by number, in one language.
QMap<int, QString> everyText(const char* language) {
    EXPECT_TRUE(testing::useLanguage(language)) << language;
    QMap<int, QString> texts;
    for (int number = 1001; number < 1300; ++number) {
        const QString text = GetText(number);
        if (text != QLatin1String("NOSTRING"))
            texts.insert(number, text);
    }
    return texts;
}

// Every caption, title and tool tip a window and its menus show.
QStringList shownTexts(QWidget* root) {
    QStringList texts{root->windowTitle(), root->toolTip()};
    for (QObject* child : root->findChildren<QObject*>()) {
        if (auto* action = qobject_cast<QAction*>(child)) {
            texts << action->text() << action->iconText() << action->toolTip();
        } else if (auto* label = qobject_cast<QLabel*>(child)) {
            texts << label->text() << label->toolTip();
        } else if (auto* button = qobject_cast<QAbstractButton*>(child)) {
            texts << button->text();
        } else if (auto* group = qobject_cast<QGroupBox*>(child)) {
            texts << group->title();
        } else if (auto* menu = qobject_cast<QMenu*>(child)) {
            texts << menu->title();
        } else if (auto* list = qobject_cast<QComboBox*>(child)) {
            for (int i = 0; i < list->count(); ++i)
                texts << list->itemData(i, Qt::ToolTipRole).toString();
        }
        if (auto* widget = qobject_cast<QWidget*>(child))
            texts << widget->toolTip();
    }
    texts.removeAll(QString());
    return texts;
}

// The texts the same in both languages on purpose: a word both share.
const QList<int> kSameByDesign = {1029, 1030, 1087, 1177};

// Each text exists in both languages and differs between them, and neither
// the main window nor the information window shows a text of the other
// language: a text missing from one module falls back to Italian unseen.
TEST_F(MainWindowTest, EveryTextInTheChosenLanguageOnly) {
    const QMap<int, QString> italian = everyText("ITA");
    const QMap<int, QString> english = everyText("ENG");
    EXPECT_EQ(italian.keys(), english.keys());
    for (auto it = italian.begin(); it != italian.end(); ++it) {
        if (english.value(it.key()) == it.value()) {
            EXPECT_TRUE(kSameByDesign.contains(it.key())) << it.key() << " is the same in both";
        }
    }

    InfoFRW record;
    record.Nome = QStringLiteral("fw.hex");
    ResetInfoFRWTable();
    InfoFRWTable().append(InfoFRW{});
    InfoFRWTable().append(record);
    for (const char* language : {"ITA", "ENG"}) {
        const bool isItalian = qstrcmp(language, "ITA") == 0;
        const QMap<int, QString>& own = isItalian ? italian : english;
        const QMap<int, QString>& other = isItalian ? english : italian;
        ASSERT_TRUE(testing::useLanguage(language));
        open();
        auto* note = find<QLabel>("lblRunNote");
        note->setText(GetText(1167));
        frmInfoFRW info(window.get());
        const QStringList shown = shownTexts(window.get()) + shownTexts(&info);
        for (auto it = other.begin(); it != other.end(); ++it) {
            if (own.value(it.key()) == it.value())
                continue;
            EXPECT_FALSE(shown.contains(it.value()))
                << language << " shows text " << it.key()
                << " of the other language: " << it.value().toStdString();
        }
    }
}

}  // namespace
}  // namespace dwnfrw
