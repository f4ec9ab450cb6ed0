#include "startup/runlog.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>

#include "startup/globals.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

// The error a file that cannot be opened or written raises.
constexpr int kFileAccessError = 75;

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
    const QString path = joinPath(globals().LogsFolder, logFileName(when.date()));
    QFile file(path);
    // Unbuffered, so the whole line reaches the file in one append: runs on
    // other ports writing the same day's log never split it.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        throw RunTimeError(kFileAccessError, QStringLiteral("Impossibile aprire il file di log ") +
                                                 path + QStringLiteral(": ") + file.errorString());
    }
    const QString tagged = logPortTag().isEmpty() ? text : logPortTag() + QLatin1Char('\t') + text;
    const QByteArray line = (logLineText(tagged, when) + QStringLiteral("\r\n")).toLocal8Bit();
    if (file.write(line) != line.size()) {
        throw RunTimeError(kFileAccessError,
                           QStringLiteral("Impossibile scrivere il file di log ") + path +
                               QStringLiteral(": ") + file.errorString());
    }
    file.close();
}

void WriteLog(const QString& text) {
    WriteLogAt(text, QDateTime::currentDateTime());
}

}  // namespace dwnfrw
