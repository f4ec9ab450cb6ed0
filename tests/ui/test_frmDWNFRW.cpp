#include <pty.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <map>
#include <memory>

#include "tests/support/scripted_frontend.h"
#include "tests/ui/ui_test_support.h"
#include "ui/artwork.h"
#include "ui/frmDWNFRW.h"

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
    EXPECT_EQ(window->size(), QSize(618, 191));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());  // fixed layout

    const std::map<std::string, QRect> places = {
        {"ActiveBar21", QRect(0, 0, 618, 189)}, {"Picture1", QRect(4, 68, 609, 89)},
        {"lblOpe", QRect(10, 8, 302, 13)},      {"lblPercent", QRect(10, 32, 31, 13)},
        {"pbr1", QRect(10, 54, 589, 19)},       {"Image2", QRect(476, 26, 127, 23)},
    };
    for (const auto& [name, place] : places) {
        QWidget* widget = find<QWidget>(name.c_str());
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->geometry(), place) << name;
    }
    for (const char* name : {"lblOpe", "lblPercent", "pbr1", "Image2"}) {
        EXPECT_EQ(find<QWidget>(name)->parent(), find<QWidget>("Picture1")) << name;
    }

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
    EXPECT_FALSE(list->itemData(5, Qt::ToolTipRole).isValid());
    EXPECT_EQ(list->itemText(4), QStringLiteral("COM5"));
    ::close(slave);
    ::close(master);
    list->showPopup();
    EXPECT_TRUE(list->itemIcon(4).isNull()) << "the pseudo-terminal is gone";
    list->hidePopup();
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
    EXPECT_EQ(percent->width(), 31);  // never below its designed width, back to it when empty
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

}  // namespace
}  // namespace dwnfrw
