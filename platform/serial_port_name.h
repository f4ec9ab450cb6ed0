// Serial port names: the program and its components name ports "COM<n>" as the
// user picks them; this module turns such a name into a device of this machine.
#pragma once

#include <QString>

namespace dwnfrw::serial {

// The highest port number a "COM<n>" name can have.
inline constexpr int kLastComPort = 64;

// The folder where symbolic links named "COM<n>" stand for ports: the folder in
// the environment variable DWNFRW_PORTS, else ~/.config/dwnfrw/ports.
QString portsFolder();

// The device for a port name:
// - "COM<n>" (any letter case): the entry "COM<n>" of the ports folder when it
//   exists (also a link whose target is gone, so that a board that went away is
//   not replaced by a real port); else /dev/ttyS<n-1> for 1..32 and
//   /dev/ttyUSB<n-33> for 33..64; empty text for any other number;
// - any other name (a device path) passes through unchanged.
QString resolveSerialPortName(const QString& name);

// The port number of a "COM<n>" name, or 0 when the name is not of that form.
int comPortNumber(const QString& name);

}  // namespace dwnfrw::serial
