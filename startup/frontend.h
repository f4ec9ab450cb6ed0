// The program's two small interfaces to the person (questions and progress),
// plus the toolbar state and the message-loop yield. The window implements them
// with widgets, the batch front end with a terminal, the tests with scripts.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace dwnfrw {

// YesNoDefaultNo: a Yes/No question whose safe answer is No, so a stray Enter
// does not say Yes.
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoDefaultNo };
enum class MsgIcon { None, Critical, Question, Exclamation, Information };
enum class MsgAnswer { Ok, Cancel, Yes, No };

struct OpenFileRequest {
    QString title;
    QString initialFolder;
    QString filter;  // "Description (*.Fwz) |*.fwz" as the user sees it
    QString fileName;
    bool pathMustExist = true;
};

class UserDialogs {
  public:
    virtual ~UserDialogs() = default;
    // A message box: prompt (CR between lines), title, buttons and icon.
    virtual MsgAnswer message(const QString& prompt, const QString& title, MsgButtons buttons,
                              MsgIcon icon) = 0;
    // The same with a details area for what a technician needs to look into
    // a failure; a front end without one shows the prompt alone.
    virtual MsgAnswer messageWithDetails(const QString& prompt, const QString& title,
                                         MsgButtons buttons, MsgIcon icon, const QString&) {
        return message(prompt, title, buttons, icon);
    }
    // The open-file dialog; no value when the user cancelled.
    virtual std::optional<QString> openFile(const OpenFileRequest& request) = 0;
};

// The steps of a run, in the order it takes them.
enum class RunPhase {
    Identifying,
    EnteringLoader,
    Connecting,
    ErasingProgram,
    ErasingUserId,
    WritingProgram,
    WritingEeprom,
    WritingUserId,
    Disconnecting,
};

// Where a run stands, as numbers: reported by the run and its passes.
struct PassStep {
    RunPhase phase = RunPhase::Identifying;
    int64_t done = 0;          // bytes erased, or region lines written and verified, in this phase
    int line = 0;              // the region line being written (from 1); 0 outside the write passes
    int64_t address = -1;      // the byte address being erased or written; -1 when none
    int32_t failedResult = 0;  // the bootloader library's negative result when this step failed
};

// The whole run at a glance, computed in one place for every front end.
struct OverallProgress {
    RunPhase phase = RunPhase::Identifying;
    int percent = 0;            // 0 to 100 across every phase
    int secondsLeft = -1;       // estimate from the measured rate; -1 while unknown
    int64_t linesVerified = 0;  // region lines written and verified so far, all passes
};

// lblOpe, lblPercent and pbr1 of the main window, and the run's overall progress.
class ProgressView {
  public:
    virtual ~ProgressView() = default;
    // A step of the run, as numbers; the run's progress calculation listens.
    virtual void setPassStep(const PassStep&) {}
    // The run as a whole; front ends that show it override this.
    virtual void setOverallProgress(const OverallProgress&) {}
    virtual void setOperationText(const QString& text) = 0;
    virtual void setPercentText(const QString& text) = 0;
    virtual void setPercentVisible(bool visible) = 0;
    virtual void setBarVisible(bool visible) = 0;
    virtual void setBarMaximum(int maximum) = 0;
    virtual void setBarValue(int value) = 0;
};

// Lets pending window events run (paint, the "stop" command, clock ticks).
class EventPump {
  public:
    virtual ~EventPump() = default;
    virtual void processEvents() = 0;
    // True when the person asked to end the program itself (Ctrl-C in a
    // terminal), which also ends a run before the board is switched to its
    // bootloader. The window's stop has no such meaning.
    virtual bool quitRequested() const { return false; }
};

// Tool keys: "open", "info", "stop", "dwn", "esci", "comport" (Band1),
// "Tool6" (status pane), "Tool7", "Tool8" (menu headers).
class ToolbarControl {
  public:
    virtual ~ToolbarControl() = default;
    virtual void setToolEnabled(const QString& key, bool enabled) = 0;
    virtual bool isToolEnabled(const QString& key) const = 0;
    virtual void setStatusCaption(const QString& caption) = 0;  // Tool6
    virtual QString statusCaption() const = 0;
    // Item data of the selected entry of the port list; 0 when none is selected.
    virtual int selectedPort() const = 0;
    virtual void setBusyCursor(bool busy) = 0;
};

// Everything an operation started from the window may show or touch.
struct Frontend {
    UserDialogs& dialogs;
    ProgressView& progress;
    EventPump& events;
    ToolbarControl& toolbar;
};

}  // namespace dwnfrw
