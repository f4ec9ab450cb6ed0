// Test doubles of the person-facing interfaces: they record what the program
// showed and answer questions from a script.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "startup/frontend.h"

namespace dwnfrw::testing {

struct ShownMessage {
    QString prompt;
    QString title;
    MsgButtons buttons;
    MsgIcon icon;
    QString details;
};

class ScriptedDialogs : public UserDialogs {
  public:
    // Answers given in order; when the script runs out, the first button
    // (Ok or Yes) is the answer.
    void queueAnswer(MsgAnswer answer) { answers_.push_back(answer); }
    // File dialog results in order; no value means "cancelled".
    void queueFile(std::optional<QString> file) { files_.push_back(std::move(file)); }
    // Called when a message box opens, before it is answered (to press stop, say).
    std::function<void(const ShownMessage&)> onMessage;

    MsgAnswer message(const QString& prompt, const QString& title, MsgButtons buttons,
                      MsgIcon icon) override;
    MsgAnswer messageWithDetails(const QString& prompt, const QString& title, MsgButtons buttons,
                                 MsgIcon icon, const QString& details) override;
    std::optional<QString> openFile(const OpenFileRequest& request) override;

    std::vector<ShownMessage> messages;
    std::vector<OpenFileRequest> fileRequests;

  private:
    std::deque<MsgAnswer> answers_;
    std::deque<std::optional<QString>> files_;
};

class RecordingProgress : public ProgressView {
  public:
    void setOperationText(const QString& text) override;
    void setPercentText(const QString& text) override;
    void setPercentVisible(bool visible) override { percentVisible = visible; }
    void setBarVisible(bool visible) override { barVisible = visible; }
    void setBarMaximum(int maximum) override { barMaximum = maximum; }
    void setBarValue(int value) override { barValue = value; }

    QString operationText;
    QString percentText;
    QStringList operationHistory;
    bool percentVisible = true;
    bool barVisible = false;
    int barMaximum = 100;
    int barValue = 0;
};

// Counts the yields; an optional hook runs at each (to press "stop", say).
class CountingPump : public EventPump {
  public:
    void processEvents() override;
    int count = 0;
    std::function<void(int)> onYield;
};

class FakeToolbar : public ToolbarControl {
  public:
    FakeToolbar();
    void setToolEnabled(const QString& key, bool enabled) override;
    bool isToolEnabled(const QString& key) const override { return enabled.value(key, false); }
    void setStatusCaption(const QString& caption) override { status = caption; }
    QString statusCaption() const override { return status; }
    int selectedPort() const override { return port; }
    void setBusyCursor(bool isBusy) override { busy = isBusy; }

    QMap<QString, bool> enabled;
    QStringList changes;  // "key=on" / "key=off" in order
    QString status;
    int port = 1;
    bool busy = false;
};

// All four together, as an operation takes them.
struct ScriptedFrontend {
    ScriptedDialogs dialogs;
    RecordingProgress progress;
    CountingPump events;
    FakeToolbar toolbar;
    Frontend frontend() { return Frontend{dialogs, progress, events, toolbar}; }
};

}  // namespace dwnfrw::testing
