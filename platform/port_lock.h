// Keeps a serial device to one update at a time, across every process of every
// user on this machine. The lock is keyed by the device itself (its device
// numbers), not by the name it was reached through nor by the environment of
// the run, so "COM3", the link behind it and the device path are one port
// whatever TMPDIR, HOME or user each run has.
#pragma once

#include <QString>

namespace dwnfrw::serial {

// Where the locks of every run live: the system's lock folder.
QString portLockFolder();

// A run's hold on the device behind a port name ("COM<n>" or a device path).
// Held until release() or destruction. Within one process holds on one device
// are counted, so the run and the front end that started it share theirs.
class PortLock {
  public:
    enum class Claim {
        Held,      // this process holds the device now
        NoDevice,  // nothing stands behind the name: nothing to hold
        InUse,     // another process holds the device
        Failed,    // the lock itself could not be made (see the detail)
    };

    PortLock() = default;
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // detail, when given, receives the device (links followed) for InUse and
    // the cause for Failed.
    Claim claim(const QString& portName, QString* detail = nullptr);
    void release();

  private:
    QString key_;  // empty: nothing held
};

// The key of the device at path (links followed): "c<major>.<minor>" for a
// character device, "f<dev>.<inode>" for anything else; empty when nothing
// stands there.
QString deviceKey(const QString& path);

}  // namespace dwnfrw::serial
