// Which of the program's ports stand for a device that exists now. The window
// marks its port list with it and the batch front end lists it; both read the
// machine through here only.
#pragma once

#include <QList>
#include <QString>
#include <cstdint>

namespace dwnfrw::serial {

struct PortPresence {
    QString name;        // "COM<n>"; empty for a device that no COM name reaches (ttyACM)
    QString devicePath;  // what the name resolves to; for a link, the link's target
    bool present = false;
    bool fromPortsFolder = false;  // a link in the ports folder
    // USB adapters only, from the system's serial port information.
    bool usb = false;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    QString serialNumber;
    QString description;
    QString manufacturer;
};

// The presence of one port number, as resolveSerialPortName sees "COM<n>".
PortPresence portPresence(int comNumber);

// Every port the program can use now: the links of the ports folder (a link
// whose target is gone is listed as absent), then the machine's serial devices
// that are present, by COM name where one reaches them, ttyACM devices by path.
QList<PortPresence> discoverPorts();

}  // namespace dwnfrw::serial
