#include "startup/runlog.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

#include "startup/append_file.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

// The error a file that cannot be opened or written raises.
constexpr int kFileAccessError = 75;

constexpr int kTextCannotOpen = 1118;
constexpr int kTextCannotWrite = 1119;
constexpr int kTextDiskFull = 1120;
constexpr int kTextFileTooLarge = 1121;
constexpr int kTextPermissionDenied = 1122;
constexpr int kTextReadOnly = 1123;
constexpr int kTextNoFolder = 1124;
constexpr int kTextIsFolder = 1125;
constexpr int kTextShortWrite = 1126;
constexpr int kTextSystemError = 1127;

// While set, failed lines are remembered here instead of raised.
bool g_tolerant = false;
LogFailure g_firstFailure;

// The cause of a failed open or write in the session's language; an error
// number of 0 means the system wrote less than asked without saying why.
QString causeText(int error) {
    int text = kTextSystemError;
    switch (error) {
        case 0:
            text = kTextShortWrite;
            break;
        case ENOSPC:
        case EDQUOT:
            text = kTextDiskFull;
            break;
        case EFBIG:
            text = kTextFileTooLarge;
            break;
        case EACCES:
        case EPERM:
            text = kTextPermissionDenied;
            break;
        case EROFS:
            text = kTextReadOnly;
            break;
        case ENOENT:
        case ENOTDIR:
            text = kTextNoFolder;
            break;
        case EISDIR:
            text = kTextIsFolder;
            break;
    }
    const QString cause = GetText(text);
    if (cause.isEmpty())  // no language module yet
        return QString::fromLocal8Bit(std::strerror(error));
    return text == kTextSystemError ? cause.arg(error) : cause;
}

// The failure text: the language module's, or the path and cause alone while
// no module is loaded yet.
QString failureText(int text, const QString& path, const QString& cause) {
    const QString format = GetText(text);
    return format.contains(QLatin1String("%1")) ? format.arg(path, cause)
                                                : path + QStringLiteral(": ") + cause;
}

QString logPath(const QDate& day) {
    return joinPath(globals().LogsFolder, logFileName(day));
}

// The locale's long time format without its time-zone part, which a
// date-and-time rendering never shows.
QString longTimeFormat(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("\\s*\\bt+\\b")));
    return format.trimmed();
}

QString& logPortTag() {
    static QString tag;
    return tag;
}

}  // namespace

QString fileErrorCause(int error) {
    return causeText(error);
}

void setLogPortTag(const QString& port) {
    logPortTag() = port;
}

QString logFileName(const QDate& day) {
    return day.toString(QStringLiteral("ddMMyyyy")) + QStringLiteral(".LOG");
}

QString logLineText(const QString& text, const QDateTime& when) {
    // The locale and its formats stay the same for the program's life; a run
    // writes a line per region line, so they are looked up once.
    static const QLocale locale = QLocale::system();
    static const QString timeFormat = longTimeFormat(locale);
    const QString stamp = locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                          locale.toString(when.time(), timeFormat);
    return stamp + QLatin1Char('\t') + text;
}

void WriteLogAt(const QString& text, const QDateTime& when) {
    if (!globals().LogEnabled)
        return;
    const QString path = logPath(when.date());
    // One write() with O_APPEND: runs on other ports writing the same day's
    // log never split a line.
    const QString tagged = logPortTag().isEmpty() ? text : logPortTag() + QLatin1Char('\t') + text;
    const QByteArray line = (logLineText(tagged, when) + QStringLiteral("\r\n")).toLocal8Bit();
    const AppendResult appended = appendToFile(path, line);
    if (appended.stage == AppendResult::Stage::Done)
        return;
    const int failedText =
        appended.stage == AppendResult::Stage::Open ? kTextCannotOpen : kTextCannotWrite;
    const int error = appended.error;
    if (!g_tolerant)
        throw RunTimeError(kFileAccessError, failureText(failedText, path, causeText(error)));
    if (g_firstFailure.path.isEmpty())
        g_firstFailure = LogFailure{path, causeText(error)};
}

bool CanAppendLog(QString& message) {
    if (!globals().LogEnabled)
        return true;
    const QString path = logPath(QDate::currentDate());
    const AppendResult opened = appendToFile(path, QByteArray());
    if (opened.stage == AppendResult::Stage::Done)
        return true;
    message = failureText(kTextCannotOpen, path, causeText(opened.error));
    return false;
}

LogFailuresTolerated::LogFailuresTolerated() {
    g_tolerant = true;
    g_firstFailure = LogFailure{};
}

LogFailuresTolerated::~LogFailuresTolerated() {
    g_tolerant = false;
}

const LogFailure& LogFailuresTolerated::firstFailure() const {
    return g_firstFailure;
}

void WriteLog(const QString& text) {
    WriteLogAt(text, QDateTime::currentDateTime());
}

}  // namespace dwnfrw
