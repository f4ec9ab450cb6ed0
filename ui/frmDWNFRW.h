// The program's working window: toolbar and menus with the five commands, the
// port list, the status pane, the operation and percentage texts, the progress
// bar and the brand logo. Each command hands over to the code that implements
// it; the window only shows, dispatches and guards its own closing.
#pragma once

#include <QHash>
#include <QWidget>
#include <memory>

#include "download/loader_entry.h"
#include "package/package_session.h"
#include "startup/frontend.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QMenuBar;
class QProgressBar;
class QTimer;
class QToolBar;

namespace dwnfrw {

class frmDWNFRW : public QWidget,
                  public ToolbarControl,
                  public ProgressView,
                  public EventPump,
                  public RunClockTimer {
    Q_OBJECT

  public:
    // Builds and loads the window (translation, working folder, port list,
    // logo, command states); start-up shows it afterwards.
    explicit frmDWNFRW(UserDialogs& dialogs, QWidget* parent = nullptr);
    ~frmDWNFRW() override;

    // A click on a tool, by its key. Only the five commands do something.
    void toolClick(const QString& key);

    // The commands behind "open", "info" and "dwn".
    virtual void OpenFile();
    virtual void FireInfoFRW();
    virtual void RunDownload();

    // Phases that switch the commands on and off.
    void packageOpening();
    void packageAccepted();
    void packageRefused();
    void runStarts();
    void runEnds();

    // The window as the operations it starts see it.
    Frontend frontend();
    UserDialogs& dialogs() { return dialogs_; }

    // ToolbarControl: keys "open", "info", "stop", "dwn", "esci", "comport",
    // "Tool6", "Tool7", "Tool8"; other keys are ignored.
    void setToolEnabled(const QString& key, bool enabled) override;
    bool isToolEnabled(const QString& key) const override;
    void setStatusCaption(const QString& caption) override;
    QString statusCaption() const override;
    int selectedPort() const override;
    void setBusyCursor(bool busy) override;

    // ProgressView: lblOpe, lblPercent, pbr1.
    void setOperationText(const QString& text) override;
    void setPercentText(const QString& text) override;
    void setPercentVisible(bool visible) override;
    void setBarVisible(bool visible) override;
    void setBarMaximum(int maximum) override;
    void setBarValue(int value) override;
    void setOverallProgress(const OverallProgress& overall) override;

    // EventPump.
    void processEvents() override;

    // RunClockTimer: tmrtime.
    void setTimerEnabled(bool enabled) override;

    // The loaded package: working folder and firmware version.
    PackageSession session;
    // The run clock; ticks every second while a run enables it.
    QTimer* tmrtime = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildWindow();
    void buildToolbar(QWidget* host);
    void showAbout();
    void formLoad();
    void fillPortList();
    void markPresentPorts();
    void loadBrandLogo();
    void removeWorkFolder();
    QObject* tool(const QString& key) const;

    UserDialogs& dialogs_;
    QHash<QString, QAction*> commands_;  // by key, including "comport"
    QWidget* activeBar_ = nullptr;
    QMenuBar* band3_ = nullptr;
    QMenu* band4_ = nullptr;
    QMenu* band5_ = nullptr;
    QToolBar* band1_ = nullptr;
    QFrame* band2_ = nullptr;
    QLabel* tool6_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QLabel* lblRunNote_ = nullptr;
    QProgressBar* pbrOverall_ = nullptr;
    QTimer* tmrPorts_ = nullptr;
    bool boardLeftErased_ = false;  // the last run erased the board and did not finish
    QLabel* lblOverall_ = nullptr;
    QComboBox* comport_ = nullptr;
    QFrame* picture1_ = nullptr;
    QLabel* lblOpe_ = nullptr;
    QLabel* lblPercent_ = nullptr;
    QProgressBar* pbr1_ = nullptr;
    QLabel* image2_ = nullptr;
    std::unique_ptr<RunClock> runClock_;
    bool busy_ = false;
    bool commandRunning_ = false;  // an opening or a run is under way
};

}  // namespace dwnfrw
