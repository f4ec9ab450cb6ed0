#include "platform/port_discovery.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

#include "platform/serial_port_name.h"

namespace dwnfrw::serial {

namespace {

bool isCharacterDevice(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && S_ISCHR(info.st_mode);
}

// The system's list knows which ttyS nodes have a UART behind them (the nodes
// themselves always exist) and which devices are USB adapters.
QList<QSerialPortInfo> systemPorts() {
    return QSerialPortInfo::availablePorts();
}

const QSerialPortInfo* findSystemPort(const QList<QSerialPortInfo>& ports, const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const QSerialPortInfo& info : ports) {
        if (info.systemLocation() == path || info.systemLocation() == canonical)
            return &info;
    }
    return nullptr;
}

PortPresence describe(const QString& name, const QString& resolved,
                      const QList<QSerialPortInfo>& ports) {
    PortPresence p;
    p.name = name;
    p.devicePath = resolved;
    const QFileInfo link(resolved);
    p.fromPortsFolder = link.isSymLink() && resolved.startsWith(portsFolder() + QLatin1Char('/'));
    if (p.fromPortsFolder)
        p.devicePath = link.symLinkTarget();
    const QSerialPortInfo* info = findSystemPort(ports, p.devicePath);
    // A pseudo-terminal or other link target is not in the system's list; it is
    // present when the device node behind it exists.
    p.present = info ? true : (p.fromPortsFolder && isCharacterDevice(resolved));
    if (info && info->hasVendorIdentifier() && info->hasProductIdentifier()) {
        p.usb = true;
        p.vendorId = info->vendorIdentifier();
        p.productId = info->productIdentifier();
        p.serialNumber = info->serialNumber();
        p.description = info->description();
        p.manufacturer = info->manufacturer();
    }
    return p;
}

}  // namespace

PortPresence portPresence(int comNumber) {
    const QString name = QStringLiteral("COM") + QString::number(comNumber);
    return describe(name, resolveSerialPortName(name), systemPorts());
}

QList<PortPresence> discoverPorts() {
    const QList<QSerialPortInfo> ports = systemPorts();
    QList<PortPresence> found;
    QStringList reached;
    for (int n = 1; n <= kLastComPort; ++n) {
        const QString name = QStringLiteral("COM") + QString::number(n);
        const QString resolved = resolveSerialPortName(name);
        const PortPresence p = describe(name, resolved, ports);
        if (p.present || p.fromPortsFolder) {
            found.append(p);
            reached.append(QFileInfo(p.devicePath).canonicalFilePath());
        }
    }
    // Devices that no COM name reaches are still usable by their path.
    for (const QSerialPortInfo& info : ports) {
        const QString path = info.systemLocation();
        if (reached.contains(QFileInfo(path).canonicalFilePath()))
            continue;
        if (!info.portName().startsWith(QLatin1String("ttyACM")))
            continue;
        found.append(describe(QString(), path, ports));
    }
    return found;
}

}  // namespace dwnfrw::serial
