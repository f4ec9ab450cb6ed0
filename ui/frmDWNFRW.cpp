#include "ui/frmDWNFRW.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWidgetAction>
#include <functional>

#include "download/run_download.h"
#include "package/package_opening.h"
#include "platform/port_discovery.h"
#include "startup/command_states.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/work_folder.h"
#include "ui/artwork.h"
#include "ui/frmInfoFRW.h"
#include "ui/translate_form.h"

namespace dwnfrw {

namespace {

// The window was designed in twips; at the usual 96 dots per inch 15 twips
// make one pixel. The designed sizes are where the layout starts: the window
// and its labels grow to fit their words in every language.
constexpr int kTwipsPerPixel = 15;

constexpr int px(int twips) {
    return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

const QSize kClientArea(px(9270), px(2865));
const QSize kImage2Size(px(1905), px(345));
const int kLblOpeWidth = px(4530);
const int kLblPercentWidth = px(465);
const int kPanelMarginPx = px(150) - 2;
const int kPanelOffsetPx = px(60);

constexpr int kToolIconPx = 16;
// Below the text's height, so a marked list is no taller than an unmarked one.
constexpr int kPortMarkPx = 10;
constexpr qreal kWindowFontPt = 8.25;
constexpr int kStatusBandPaddingPx = 6;
constexpr int kLabelGapPx = 4;
constexpr int kPortCount = 64;
constexpr int kRunClockTickMs = 1000;
constexpr int kRunNoteText = 1167;
constexpr int kTextCloseAfterErase = 1226;
constexpr int kTextPortAbsent = 1227;
constexpr int kTextHelpMenu = 1228;
constexpr int kTextAbout = 1229;
constexpr int kTextVersion = 1230;
constexpr int kTextQtVersion = 1231;
constexpr int kTextLogFolder = 1232;
constexpr int kTextWorkFolders = 1233;
constexpr int kTextLogOff = 1234;
// Presence marks are looked at again this often while the window is idle, so
// a device that went away loses its mark within two seconds.
constexpr int kPortRefreshMs = 1000;

const char* const kTag = "Tag";
const char* const kMenuTag = "MenuTag";

// Design captions: the Italian texts, shown until translation replaces them.
struct CommandDesign {
    const char* key;
    const char* caption;
    int toolbarNumber;
    int menuNumber;                         // 0: not in a menu
    QKeySequence::StandardKey standardKey;  // the platform's key for the command
    int otherKey;                           // else this key; 0 for none
};

constexpr CommandDesign kCommands[] = {
    {"open", "Seleziona file. . .", 1086, 1032, QKeySequence::Open, 0},
    {"info", "INFO", 1087, 0, QKeySequence::UnknownKey, 0},
    // No key of its own: a stray key press must not leave the board erased.
    {"stop", "Ferma", 1088, 1084, QKeySequence::UnknownKey, 0},
    {"dwn", "Aggiorna", 1089, 1085, QKeySequence::Refresh, 0},
    {"esci", "Esci", 1090, 1033, QKeySequence::Quit, 0},
};

// The port list, refreshed each time it opens: ports come and go with the
// adapters plugged in.
class PortList : public QComboBox {
  public:
    PortList(QWidget* parent, std::function<void()> beforeOpening)
        : QComboBox(parent), beforeOpening_(std::move(beforeOpening)) {}
    void showPopup() override {
        beforeOpening_();
        QComboBox::showPopup();
    }

  private:
    std::function<void()> beforeOpening_;
};

// Tells the busy guard that a command runs until the end of its scope.
class CommandScope {
  public:
    explicit CommandScope(bool& running) : running_(running) { running_ = true; }
    ~CommandScope() { running_ = false; }

  private:
    bool& running_;
};

QFont windowFont() {
    QFont font = QApplication::font();
    const QString tahoma = QStringLiteral("Tahoma");
    if (QFontDatabase::families().contains(tahoma, Qt::CaseInsensitive)) {
        font.setFamily(tahoma);
    } else {
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPointSizeF(kWindowFontPt);
    return font;
}

}  // namespace

frmDWNFRW::frmDWNFRW(UserDialogs& dialogs, QWidget* parent) : QWidget(parent), dialogs_(dialogs) {
    buildWindow();
    formLoad();
}

frmDWNFRW::~frmDWNFRW() {
    setBusyCursor(false);
}

void frmDWNFRW::buildWindow() {
    setObjectName(QStringLiteral("frmDWNFRW"));
    setProperty(kTag, 1019);
    // Menus are windows of their own; let them take the window's font too.
    setAttribute(Qt::WA_WindowPropagation);
    setFont(windowFont());
    setWindowIcon(toolIcon(QStringLiteral("dwn")));

    for (const CommandDesign& design : kCommands) {
        auto* action = new QAction(toolIcon(QLatin1String(design.key)),
                                   QString::fromUtf8(design.caption), this);
        action->setObjectName(QLatin1String(design.key));
        action->setProperty(kTag, design.toolbarNumber);
        if (design.standardKey != QKeySequence::UnknownKey) {
            action->setShortcuts(design.standardKey);
        } else if (design.otherKey != 0) {
            action->setShortcut(QKeySequence(design.otherKey));
        }
        if (design.menuNumber != 0) {
            // The toolbar and the menu caption of the command may differ.
            action->setIconText(action->text());
            action->setProperty(kMenuTag, design.menuNumber);
        }
        const QString key = action->objectName();
        connect(action, &QAction::triggered, this, [this, key] { toolClick(key); });
        commands_.insert(key, action);
    }

    // Menu bar, toolbar and status band stack at the top; the panel below.
    activeBar_ = new QWidget(this);
    activeBar_->setObjectName(QStringLiteral("ActiveBar21"));
    activeBar_->setProperty(kTag, QString());
    auto* bands = new QVBoxLayout(activeBar_);
    bands->setContentsMargins(0, 0, 0, 0);
    bands->setSpacing(0);

    band3_ = new QMenuBar(activeBar_);
    band3_->setObjectName(QStringLiteral("Band3"));
    band3_->setProperty(kTag, QString());
    band4_ = band3_->addMenu(QStringLiteral("&File"));
    band4_->setObjectName(QStringLiteral("Band4"));
    band4_->setProperty(kTag, QString());
    band4_->menuAction()->setObjectName(QStringLiteral("Tool7"));
    band4_->menuAction()->setProperty(kTag, 1030);
    band4_->addAction(commands_.value(QStringLiteral("open")));
    band4_->addAction(commands_.value(QStringLiteral("esci")));
    band5_ = band3_->addMenu(QStringLiteral("&Strumenti"));
    band5_->setObjectName(QStringLiteral("Band5"));
    band5_->setProperty(kTag, QString());
    band5_->menuAction()->setObjectName(QStringLiteral("Tool8"));
    band5_->menuAction()->setProperty(kTag, 1031);
    band5_->addAction(commands_.value(QStringLiteral("stop")));
    band5_->addAction(commands_.value(QStringLiteral("dwn")));
    // Help: the program, its version and where it keeps its files.
    helpMenu_ = band3_->addMenu(QStringLiteral("&Aiuto"));
    helpMenu_->setObjectName(QStringLiteral("mnuHelp"));
    helpMenu_->setProperty(kTag, QString());
    helpMenu_->menuAction()->setObjectName(QStringLiteral("mnuHelpHeader"));
    helpMenu_->menuAction()->setProperty(kTag, kTextHelpMenu);
    auto* about = helpMenu_->addAction(QStringLiteral("Informazioni su..."));
    about->setObjectName(QStringLiteral("about"));
    about->setProperty(kTag, kTextAbout);
    about->setMenuRole(QAction::AboutRole);
    connect(about, &QAction::triggered, this, &frmDWNFRW::showAbout);
    bands->addWidget(band3_);

    buildToolbar(activeBar_);
    bands->addWidget(band1_);

    band2_ = new QFrame(activeBar_);
    band2_->setObjectName(QStringLiteral("Band2"));
    band2_->setProperty(kTag, QString());
    band2_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* statusLayout = new QHBoxLayout(band2_);
    statusLayout->setContentsMargins(2, kStatusBandPaddingPx / 2, 2, kStatusBandPaddingPx / 2);
    tool6_ = new QLabel(band2_);
    tool6_->setObjectName(QStringLiteral("Tool6"));
    tool6_->setProperty(kTag, QString());
    statusLayout->addWidget(tool6_, 1);
    // The run as a whole: phase, percent and the time left.
    lblOverall_ = new QLabel(band2_);
    lblOverall_->setObjectName(QStringLiteral("lblOverall"));
    lblOverall_->setProperty(kTag, QString());
    statusLayout->addWidget(lblOverall_);
    bands->addWidget(band2_);

    picture1_ = new QFrame(this);
    picture1_->setObjectName(QStringLiteral("Picture1"));
    picture1_->setProperty(kTag, QString());
    picture1_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    auto* panel = new QGridLayout(picture1_);
    panel->setContentsMargins(kPanelMarginPx, kPanelMarginPx, kPanelMarginPx, kPanelMarginPx);
    panel->setColumnStretch(1, 1);

    lblOpe_ = new QLabel(picture1_);
    lblOpe_->setObjectName(QStringLiteral("lblOpe"));
    lblOpe_->setProperty(kTag, QString());
    lblOpe_->setMinimumWidth(kLblOpeWidth);
    panel->addWidget(lblOpe_, 0, 0, 1, 2);

    lblPercent_ = new QLabel(picture1_);
    lblPercent_->setObjectName(QStringLiteral("lblPercent"));
    lblPercent_->setProperty(kTag, QString());
    lblPercent_->setMinimumWidth(kLblPercentWidth);
    panel->addWidget(lblPercent_, 1, 0);

    image2_ = new QLabel(picture1_);
    image2_->setObjectName(QStringLiteral("Image2"));
    image2_->setProperty(kTag, QString());
    image2_->setFixedSize(kImage2Size);
    image2_->setAlignment(Qt::AlignCenter);
    image2_->setPixmap(builtInLogo(kImage2Size));
    panel->addWidget(image2_, 0, 2, 2, 1, Qt::AlignRight | Qt::AlignBottom);

    // The pass at hand: the erase's bytes; hidden while it has nothing to show.
    pbr1_ = new QProgressBar(picture1_);
    pbr1_->setObjectName(QStringLiteral("pbr1"));
    pbr1_->setProperty(kTag, QString());
    pbr1_->setRange(0, 100);
    pbr1_->setValue(0);
    pbr1_->setTextVisible(false);
    pbr1_->hide();
    panel->addWidget(pbr1_, 2, 0, 1, 3);

    // The whole run, as a bar through every phase, from the first step to
    // the end; its text is the overall percent.
    pbrOverall_ = new QProgressBar(picture1_);
    pbrOverall_->setObjectName(QStringLiteral("pbrOverall"));
    pbrOverall_->setProperty(kTag, QString());
    pbrOverall_->setRange(0, 100);
    pbrOverall_->setValue(0);
    pbrOverall_->setFormat(QStringLiteral("%p %"));
    pbrOverall_->hide();
    panel->addWidget(pbrOverall_, 3, 0, 1, 3);

    // After a run that erased the board and did not finish: until an update
    // succeeds the board holds no complete program. A line of its own, whole
    // in every language; the window widens for it.
    lblRunNote_ = new QLabel(picture1_);
    lblRunNote_->setObjectName(QStringLiteral("lblRunNote"));
    lblRunNote_->setProperty(kTag, QString());
    lblRunNote_->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold"));
    lblRunNote_->hide();
    panel->addWidget(lblRunNote_, 4, 0, 1, 3);

    auto* window = new QVBoxLayout(this);
    window->setContentsMargins(0, 0, 0, 0);
    window->setSpacing(0);
    window->addWidget(activeBar_);
    auto* panelRow = new QHBoxLayout;
    panelRow->setContentsMargins(kPanelOffsetPx, 0, kPanelOffsetPx, kPanelOffsetPx);
    panelRow->addWidget(picture1_);
    window->addLayout(panelRow, 1);
    // The window is never smaller than its contents, and may grow.
    window->setSizeConstraint(QLayout::SetMinimumSize);

    tmrtime = new QTimer(this);
    tmrtime->setObjectName(QStringLiteral("tmrtime"));
    tmrtime->setProperty(kTag, QString());
    tmrtime->setInterval(kRunClockTickMs);
    runClock_ = std::make_unique<RunClock>(*this, *this);
    connect(tmrtime, &QTimer::timeout, this, [this] { runClock_->tick(); });

    // Ports come and go with the adapters plugged in; while the window is
    // idle their marks follow. A run has its port and touches no other.
    tmrPorts_ = new QTimer(this);
    tmrPorts_->setObjectName(QStringLiteral("tmrPorts"));
    tmrPorts_->setProperty(kTag, QString());
    tmrPorts_->setInterval(kPortRefreshMs);
    connect(tmrPorts_, &QTimer::timeout, this, [this] {
        if (!commandRunning_)
            markPresentPorts();
    });
    tmrPorts_->start();
}

void frmDWNFRW::buildToolbar(QWidget* host) {
    band1_ = new QToolBar(host);
    band1_->setObjectName(QStringLiteral("Band1"));
    band1_->setProperty(kTag, QString());
    band1_->setMovable(false);
    band1_->setFloatable(false);
    band1_->setIconSize(QSize(kToolIconPx, kToolIconPx));
    band1_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    for (const CommandDesign& design : kCommands) {
        band1_->addAction(commands_.value(QLatin1String(design.key)));
    }

    auto* separator = new QAction(this);
    separator->setObjectName(QStringLiteral("Tool5"));
    separator->setSeparator(true);
    separator->setProperty(kTag, 0);
    band1_->addAction(separator);

    // The port list shows its caption in front of the list; both are disabled
    // with the tool.
    auto* portTool = new QWidgetAction(this);
    portTool->setObjectName(QStringLiteral("comport"));
    portTool->setText(QStringLiteral("Porta seriale"));
    portTool->setProperty(kTag, 1091);
    auto* portBox = new QWidget;
    auto* portLayout = new QHBoxLayout(portBox);
    portLayout->setContentsMargins(kLabelGapPx, 0, kLabelGapPx, 0);
    portLayout->setSpacing(kLabelGapPx);
    auto* portCaption = new QLabel(portTool->text(), portBox);
    portCaption->setObjectName(QStringLiteral("comportCaption"));
    comport_ = new PortList(portBox, [this] { markPresentPorts(); });
    comport_->setObjectName(QStringLiteral("comport"));
    comport_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    comport_->setIconSize(QSize(kPortMarkPx, kPortMarkPx));
    portLayout->addWidget(portCaption);
    portLayout->addWidget(comport_);
    portTool->setDefaultWidget(portBox);
    connect(portTool, &QAction::changed, portCaption,
            [portTool, portCaption] { portCaption->setText(portTool->text()); });
    band1_->addAction(portTool);
    commands_.insert(portTool->objectName(), portTool);
}

void frmDWNFRW::formLoad() {
    TranslateForm(this);
    session.WorkFolder = joinPath(globals().DataFolder, QStringLiteral("tempfrw"));
    setOperationText(QString());
    setPercentText(QString());
    fillPortList();
    loadBrandLogo();
    applyWindowOpened(*this);
    // The designed size, or more when the words need it.
    resize(kClientArea.expandedTo(minimumSizeHint()));
}

void frmDWNFRW::fillPortList() {
    comport_->clear();
    for (int port = 1; port <= kPortCount; ++port) {
        comport_->addItem(QStringLiteral("COM%1").arg(port), port);
    }
    // The list selects its first entry by itself; an unknown port selects none.
    const int port = globals().ComPort;
    comport_->setCurrentIndex(port >= 1 && port <= kPortCount ? port - 1 : -1);
    markPresentPorts();
}

void frmDWNFRW::markPresentPorts() {
    // One look at the machine for the whole list.
    QHash<QString, serial::PortPresence> byName;
    for (const serial::PortPresence& port : serial::discoverPorts())
        byName.insert(port.name, port);
    const QIcon present = presentPortIcon();
    for (int index = 0; index < comport_->count(); ++index) {
        const serial::PortPresence port = byName.value(comport_->itemText(index));
        QString tip;
        if (port.present) {
            tip = port.devicePath;
            if (port.usb && !port.description.isEmpty())
                tip += QLatin1Char('\n') + port.description;
        } else {
            tip = GetText(kTextPortAbsent).arg(comport_->itemText(index));
        }
        comport_->setItemIcon(index, port.present ? present : QIcon());
        comport_->setItemData(index, tip, Qt::ToolTipRole);
    }
}

void frmDWNFRW::loadBrandLogo() {
    if (!isSecondBrand(globals().Brand)) {
        return;
    }
    const QString path = joinPath(joinPath(globals().DataFolder, QStringLiteral("system")),
                                  QStringLiteral("ksvLogo.gif"));
    QPixmap logo(path);
    if (logo.isNull()) {
        return;  // a missing or unreadable file keeps the built-in logo
    }
    if (logo.width() > image2_->width() || logo.height() > image2_->height()) {
        logo = logo.scaled(image2_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    image2_->setPixmap(logo);
}

void frmDWNFRW::toolClick(const QString& key) {
    // A run and an opening let window events through: whatever the enabled
    // states say, only "stop" may act inside them.
    if (commandRunning_ && key != QLatin1String("stop"))
        return;
    if (key == QLatin1String("open")) {
        OpenFile();
    } else if (key == QLatin1String("dwn")) {
        RunDownload();
    } else if (key == QLatin1String("stop")) {
        globals().StopRequested = true;
    } else if (key == QLatin1String("esci")) {
        close();
    } else if (key == QLatin1String("info")) {
        FireInfoFRW();
    }
}

void frmDWNFRW::OpenFile() {
    CommandScope scope(commandRunning_);
    Frontend front = frontend();
    ::dwnfrw::OpenFile(session, front);
}

void frmDWNFRW::FireInfoFRW() {
    ::dwnfrw::FireInfoFRW(this);
}

void frmDWNFRW::RunDownload() {
    CommandScope scope(commandRunning_);
    Frontend fe = frontend();
    const RunReport report = ::dwnfrw::RunDownload(session, fe, *runClock_);
    lblOverall_->clear();
    pbrOverall_->hide();
    pbrOverall_->setValue(0);
    if (report.end == RunReport::End::Succeeded) {
        boardLeftErased_ = false;
        lblRunNote_->hide();
    } else if (report.boardTouched) {
        boardLeftErased_ = true;
        lblRunNote_->setText(GetText(kRunNoteText));
        lblRunNote_->setToolTip(lblRunNote_->text());
        lblRunNote_->show();
    }
}

void frmDWNFRW::showAbout() {
    if (commandRunning_)
        return;
    const GlobalSettings& g = globals();
    QStringList lines{QStringLiteral("dwnfrw"),
                      GetText(kTextVersion).arg(QStringLiteral(DWNFRW_VERSION)),
                      GetText(kTextQtVersion).arg(QLatin1String(qVersion())), QString(),
                      GetText(kTextLogFolder).arg(QDir::toNativeSeparators(g.LogsFolder))};
    if (!g.LogEnabled)
        lines << GetText(kTextLogOff);
    lines << GetText(kTextWorkFolders)
                 .arg(QDir::toNativeSeparators(session.WorkFolder) + QStringLiteral(", ") +
                      QDir::toNativeSeparators(g.TempFolder));
    dialogs_.message(lines.join(QLatin1Char('\r')), GetText(1002), MsgButtons::Ok,
                     MsgIcon::Information);
}

void frmDWNFRW::setTimerEnabled(bool enabled) {
    if (enabled) {
        tmrtime->start();
    } else {
        tmrtime->stop();
    }
}

void frmDWNFRW::packageOpening() {
    applyNoPackage(*this);
}

void frmDWNFRW::packageAccepted() {
    applyPackageAccepted(*this);
}

void frmDWNFRW::packageRefused() {
    applyNoPackage(*this);
}

void frmDWNFRW::runStarts() {
    applyRunStarts(*this);
}

void frmDWNFRW::runEnds() {
    applyRunEnds(*this);
}

Frontend frmDWNFRW::frontend() {
    return Frontend{dialogs_, *this, *this, *this};
}

QObject* frmDWNFRW::tool(const QString& key) const {
    if (QAction* command = commands_.value(key)) {
        return command;
    }
    if (key == QLatin1String("Tool6")) {
        return tool6_;
    }
    if (key == QLatin1String("Tool7")) {
        return band4_->menuAction();
    }
    if (key == QLatin1String("Tool8")) {
        return band5_->menuAction();
    }
    return nullptr;
}

void frmDWNFRW::setToolEnabled(const QString& key, bool enabled) {
    // Help's header goes with the other menu headers: an About box opened
    // inside a run would hold the run until it is closed.
    if (key == QLatin1String("Tool8"))
        helpMenu_->menuAction()->setEnabled(enabled);
    QObject* target = tool(key);
    if (auto* action = qobject_cast<QAction*>(target)) {
        action->setEnabled(enabled);
    } else if (auto* widget = qobject_cast<QWidget*>(target)) {
        widget->setEnabled(enabled);
    }
}

bool frmDWNFRW::isToolEnabled(const QString& key) const {
    QObject* target = tool(key);
    if (auto* action = qobject_cast<QAction*>(target)) {
        return action->isEnabled();
    }
    if (auto* widget = qobject_cast<QWidget*>(target)) {
        return widget->isEnabled();
    }
    return false;
}

void frmDWNFRW::setStatusCaption(const QString& caption) {
    tool6_->setText(caption);
}

QString frmDWNFRW::statusCaption() const {
    return tool6_->text();
}

int frmDWNFRW::selectedPort() const {
    return comport_->currentIndex() < 0 ? 0 : comport_->currentData().toInt();
}

void frmDWNFRW::setBusyCursor(bool busy) {
    if (busy == busy_) {
        return;
    }
    busy_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void frmDWNFRW::setOperationText(const QString& text) {
    lblOpe_->setText(text);
}

void frmDWNFRW::setPercentText(const QString& text) {
    lblPercent_->setText(text);
}

void frmDWNFRW::setPercentVisible(bool visible) {
    lblPercent_->setVisible(visible);
}

void frmDWNFRW::setBarVisible(bool visible) {
    pbr1_->setVisible(visible);
}

void frmDWNFRW::setBarMaximum(int maximum) {
    pbr1_->setMaximum(maximum);
}

void frmDWNFRW::setBarValue(int value) {
    pbr1_->setValue(value);
}

void frmDWNFRW::setOverallProgress(const OverallProgress& overall) {
    lblOverall_->setText(overallProgressText(overall));
    pbrOverall_->setValue(overall.percent);
    pbrOverall_->show();
}

void frmDWNFRW::processEvents() {
    QCoreApplication::processEvents();
}

void frmDWNFRW::closeEvent(QCloseEvent* event) {
    // A running download disables "esci"; closing is refused without a word.
    if (!isToolEnabled(QStringLiteral("esci"))) {
        event->ignore();
        return;
    }
    // A board the last run erased holds incomplete firmware: closing is
    // then the less likely wish, and No the answer a stray Enter gives.
    const MsgAnswer answer =
        boardLeftErased_
            ? dialogs_.message(GetText(kTextCloseAfterErase), GetText(1002),
                               MsgButtons::YesNoDefaultNo, MsgIcon::Exclamation)
            : dialogs_.message(GetText(1092), GetText(1002), MsgButtons::YesNo, MsgIcon::Question);
    if (answer != MsgAnswer::Yes) {
        event->ignore();
        return;
    }
    removeWorkFolder();
    event->accept();
}

void frmDWNFRW::removeWorkFolder() {
    // Leave the folder first, or it could not be removed while current.
    enterProgramFolder();
    ::dwnfrw::removeWorkFolder(session.WorkFolder);
}

}  // namespace dwnfrw
