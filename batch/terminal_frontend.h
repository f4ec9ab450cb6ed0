// The person-facing interfaces for a terminal: questions answered from the
// command line's --yes, messages and progress printed.
#pragma once

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <optional>

#include "download/loader_entry.h"
#include "startup/frontend.h"

namespace dwnfrw::batch {

// Turns the program's CR line breaks into the terminal's.
QString terminalText(const QString& text);

// The bar line's times: "00:12 elapsed  ~00:30 left" in the session's language.
QString barTimesText(const QString& elapsed, const QString& left);

// An answer as the terminal and the report name it: "OK", "Cancel", "Yes", "No".
const char* answerWord(MsgAnswer answer);

class TerminalProgress;

class TerminalDialogs : public UserDialogs {
  public:
    TerminalDialogs(bool answerYes, FILE* out, FILE* err) : yes_(answerYes), out_(out), err_(err) {}

    // The file the next open-file dialog "chooses".
    void setChosenFile(const QString& path) { chosen_ = path; }
    // A message ends the progress bar's line first, so both stay readable.
    void setProgress(TerminalProgress* progress) { progress_ = progress; }
    // A package older than the board's firmware is its own decision: --yes
    // does not answer it, --allow-downgrade does.
    void setAllowDowngrade(bool allow) { allowDowngrade_ = allow; }

    MsgAnswer message(const QString& prompt, const QString& title, MsgButtons buttons,
                      MsgIcon icon) override;
    MsgAnswer messageWithDetails(const QString& prompt, const QString& title, MsgButtons buttons,
                                 MsgIcon icon, const QString& details) override;
    std::optional<QString> openFile(const OpenFileRequest& request) override;

    struct Question {
        QString prompt;
        MsgAnswer answer;
        const char* answeredBy;  // the option that answered it, or nullptr (No)
    };

    QStringList shownTexts;                // every prompt, in order
    QList<Question> questions;             // every question asked, with its answer
    QString lastCriticalText;              // the last failure shown
    bool declined = false;                 // a question was answered No or Cancel
    const char* declinedOption = "--yes";  // the option that would have answered Yes
    bool quiet = false;                    // --json: messages go to standard error only

  private:
    bool yes_;
    bool allowDowngrade_ = false;
    FILE* out_;
    FILE* err_;
    TerminalProgress* progress_ = nullptr;
    std::optional<QString> chosen_;
};

// Progress on a terminal: a bar with percent, elapsed time and an estimate of
// the time left when standard output is a terminal; plain lines otherwise.
class TerminalProgress : public ProgressView {
  public:
    TerminalProgress(FILE* out, bool interactive) : out_(out), interactive_(interactive) {
        clock_.start();
    }

    void setOperationText(const QString& text) override;
    void setPercentText(const QString& text) override;
    void setPercentVisible(bool) override {}
    void setBarVisible(bool) override;
    void setBarMaximum(int) override;
    void setBarValue(int value) override;
    void setOverallProgress(const OverallProgress& overall) override;
    // Ends the bar's line (drawn once more, up to date) so other output
    // starts on a line of its own.
    void breakLine();
    void finish();

    // A board of several tells the command that runs it its progress as
    // numbers: one JSON object a line, {"percent": N, "operation": "..."},
    // whenever either changes.
    void reportAsNumbers() { numbers_ = true; }
    double elapsedSeconds() const { return clock_.elapsed() / 1000.0; }

  private:
    void render(bool force = false);

    FILE* out_;
    bool interactive_;
    bool numbers_ = false;
    QString lastNumbersOperation_;
    int lastNumbersPhase_ = -1;
    QElapsedTimer clock_;
    QString operation_;
    std::optional<OverallProgress> overall_;
    int lastPlainPercent_ = -1;
    qint64 lastRenderMs_ = -1000;
    bool barOnLine_ = false;  // the cursor stands at the end of a bar line
};

// Lets timers run and turns Ctrl-C into the stop flag.
class TerminalPump : public EventPump {
  public:
    void processEvents() override;
    // Ctrl-C, SIGTERM or SIGHUP arrived: before the loader entry the run ends at once.
    bool quitRequested() const override;
    static void installInterruptHandler();
};

// The run's toolbar has no buttons here; it remembers the states so the
// flow reads the same, and knows the port.
class TerminalToolbar : public ToolbarControl {
  public:
    explicit TerminalToolbar(int port) : port_(port) {}
    void setToolEnabled(const QString& key, bool enabled) override;
    bool isToolEnabled(const QString& key) const override;
    void setStatusCaption(const QString& caption) override { status_ = caption; }
    QString statusCaption() const override { return status_; }
    int selectedPort() const override { return port_; }
    void setBusyCursor(bool) override {}

  private:
    QStringList enabled_;
    QString status_;
    int port_;
};

class TerminalClockTimer : public RunClockTimer {
  public:
    void setTimerEnabled(bool) override {}
};

}  // namespace dwnfrw::batch
