#include "batch/board_port.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/serial_port_name.h"

namespace dwnfrw::batch {

QString BoardPort::folderTag() const {
    if (number)
        return label;
    // "/dev/ttyACM0" gives "ttyACM0", "/dev/pts/2" gives "pts-2".
    QString tag = label.startsWith(QLatin1String("/dev/")) ? label.mid(5) : label.mid(1);
    return tag.replace(QLatin1Char('/'), QLatin1Char('-'));
}

std::optional<BoardPort> boardPort(const QString& text) {
    static const QRegularExpression numbered(QStringLiteral("^(?:COM)?([0-9]+)$"),
                                             QRegularExpression::CaseInsensitiveOption);
    BoardPort port;
    QString path;
    const QRegularExpressionMatch match = numbered.match(text);
    if (match.hasMatch()) {
        bool ok = false;
        const int number = match.captured(1).toInt(&ok);
        if (!ok || number < 1 || number > serial::kLastComPort)
            return std::nullopt;
        port.number = number;
        port.label = QStringLiteral("COM%1").arg(number);
        path = serial::resolveSerialPortName(port.label);
        if (path.isEmpty())
            path = port.label;  // no device for this number: the lock still names it
    } else {
        port.label = QFileInfo(text).absoluteFilePath();
        path = port.label;
    }
    // A link whose target has gone keeps its own name.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    port.device = canonical.isEmpty() ? path : canonical;
    return port;
}

}  // namespace dwnfrw::batch
