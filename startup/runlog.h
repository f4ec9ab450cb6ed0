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

// File name of the day's log: "ddmmyyyy.LOG".
QString logFileName(const QDate& day);

// The line as written, without its CR LF.
QString logLineText(const QString& text, const QDateTime& when);

// Runs on several ports share the day's log: each line's text then starts
// with the port and a tab. Empty (the window's case): lines as given.
void setLogPortTag(const QString& port);

}  // namespace dwnfrw
