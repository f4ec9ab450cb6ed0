#include "platform/serial_port_name.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>

namespace dwnfrw::serial {

namespace {

constexpr int kFirstUsbPort = 33;  // COM33 is the first USB adapter, ttyUSB0

// lstat, not QFileInfo::exists: a link whose board has gone must still win
// over the machine's own ports.
bool entryExists(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

}  // namespace

QString portsFolder() {
    const QString fromEnvironment = qEnvironmentVariable("DWNFRW_PORTS");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QDir::homePath() + QStringLiteral("/.config/dwnfrw/ports");
}

int comPortNumber(const QString& name) {
    if (name.size() < 4 || !name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QStringView digits = QStringView(name).mid(3);
    for (QChar c : digits) {
        if (!c.isDigit() || c.unicode() > '9')
            return 0;
    }
    bool ok = false;
    const int number = digits.toInt(&ok);
    return ok ? number : 0;
}

QString resolveSerialPortName(const QString& name) {
    const int number = comPortNumber(name);
    if (number <= 0) {
        // "COM0" and "COM" followed by anything else are not ports of ours.
        if (name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) && !name.contains('/'))
            return {};
        return name;
    }
    const QString link = portsFolder() + QStringLiteral("/COM") + QString::number(number);
    if (entryExists(link))
        return link;
    if (number < kFirstUsbPort)
        return QStringLiteral("/dev/ttyS") + QString::number(number - 1);
    if (number <= kLastComPort)
        return QStringLiteral("/dev/ttyUSB") + QString::number(number - kFirstUsbPort);
    return {};
}

}  // namespace dwnfrw::serial
