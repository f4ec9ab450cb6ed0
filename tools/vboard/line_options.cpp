#include "tools/vboard/line_options.h"

#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace vboard {

QCommandLineOption linkOption() {
    return QCommandLineOption(
        QStringLiteral("link"),
        QStringLiteral("Make a symbolic link PATH to the terminal (replacing what is there; "
                       "removed at the end), e.g. $DWNFRW_PORTS/COM3."),
        QStringLiteral("PATH"));
}

QCommandLineOption corruptOption() {
    return QCommandLineOption(
        QStringLiteral("corrupt"),
        QStringLiteral("Damage this fraction (0..1) of the bytes, both directions."),
        QStringLiteral("RATE"), QStringLiteral("0"));
}

QCommandLineOption dropOption() {
    return QCommandLineOption(
        QStringLiteral("drop"),
        QStringLiteral("Lose this fraction (0..1) of the request frames: by the seed's choice "
                       "either the request (not executed) or its reply (executed, answer lost)."),
        QStringLiteral("RATE"), QStringLiteral("0"));
}

QCommandLineOption seedOption() {
    return QCommandLineOption(QStringLiteral("seed"),
                              QStringLiteral("Seed of the fault injection."), QStringLiteral("N"),
                              QStringLiteral("1"));
}

bool parseRate(const QString& text, double& rate) {
    bool ok = false;
    rate = text.toDouble(&ok);
    return ok && rate >= 0.0 && rate <= 1.0;
}

bool linkTerminal(const QString& linkPath, const QString& devicePath, QString* error) {
    const QByteArray link = QFile::encodeName(linkPath);
    ::unlink(link.constData());
    if (::symlink(QFile::encodeName(devicePath).constData(), link.constData()) != 0) {
        if (error)
            *error = QStringLiteral("Cannot link %1 to %2: %3")
                         .arg(linkPath, devicePath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    return true;
}

void unlinkTerminal(const QString& linkPath, const QString& devicePath) {
    const QString target = QFile::symLinkTarget(linkPath);
    if (target == devicePath || target.isEmpty())
        ::unlink(QFile::encodeName(linkPath).constData());
}

}  // namespace vboard
