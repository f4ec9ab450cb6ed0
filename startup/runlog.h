// The optional run log: one dated file per day in LogsFolder.
#pragma once

#include <QDateTime>
#include <QString>

namespace dwnfrw {

// Appends one time-stamped line when LogEnabled is set. A folder or file that
// cannot be written raises RunTimeError; the caller decides what it means.
void WriteLog(const QString& text);

// The same, at a given moment (tests, and the day change).
void WriteLogAt(const QString& text, const QDateTime& when);

// True when logging is off or the day's log can be opened for appending (it is
// created when missing, nothing is written); otherwise false with the text
// naming the file and the cause.
bool CanAppendLog(QString& message);

// A line that could not be written while lines are allowed to fail.
struct LogFailure {
    QString path;   // the day's log file
    QString cause;  // the cause, from the language module
};

// While one lives, a line that cannot be written is dropped and the first
// failure remembered instead of raised: once the board is being erased, an
// optional log must not cost it its firmware.
class LogFailuresTolerated {
  public:
    LogFailuresTolerated();
    ~LogFailuresTolerated();
    LogFailuresTolerated(const LogFailuresTolerated&) = delete;
    LogFailuresTolerated& operator=(const LogFailuresTolerated&) = delete;

    // The first failure since construction; an empty path when there was none.
    const LogFailure& firstFailure() const;
};

// The cause of a failed open or write of any file (a system error number; 0
// for a write that stopped short unexplained) in the session's language.
QString fileErrorCause(int error);

// File name of the day's log: "ddmmyyyy.LOG".
QString logFileName(const QDate& day);

// The line as written, without its CR LF.
QString logLineText(const QString& text, const QDateTime& when);

// Runs on several ports share the day's log: each line's text then starts
// with the port and a tab. Empty (the window's case): lines as given.
void setLogPortTag(const QString& port);

}  // namespace dwnfrw
