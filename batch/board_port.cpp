#include "batch/board_port.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "platform/serial_port_name.h"

namespace dwnfrw::batch {

QString BoardPort::folderTag() const {
    if (number)
        return label;
    // The whole path, escaped so that two paths never share a tag: "/" gives
    // "-", and "-", "%" and every character but letters, digits, "." and "_"
    // give "%" and the hexadecimal digits of their UTF-8 bytes.
    // "/dev/pts/2" gives "-dev-pts-2", "/x/a-b" gives "-x-a%2Db". A "COM"
    // name never starts with "-", so it never meets a path either.
    QString tag;
    for (const char c : label.toUtf8()) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_';
        if (plain)
            tag += QLatin1Char(c);
        else if (c == '/')
            tag += QLatin1Char('-');
        else
            tag += QStringLiteral("%%1")
                       .arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'))
                       .toUpper();
    }
    return tag;
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
