// One serial line at a fixed bit rate, 8 data bits, no parity, one stop bit and
// no flow control. Every read and write waits with a deadline; nothing here
// sleeps. The only code of the program that touches a serial port.
#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <memory>

class QSerialPort;

namespace dwnfrw::serial {

using Clock = std::chrono::steady_clock;

class SerialLine {
  public:
    SerialLine();
    ~SerialLine();
    SerialLine(const SerialLine&) = delete;
    SerialLine& operator=(const SerialLine&) = delete;

    // Why the last open failed.
    enum class OpenFailure {
        None,
        NoDevice,  // nothing stands behind the name
        InUse,     // another connection, in this process or another, holds the device
        Other,
    };

    // Opens a port by name ("COM<n>" or a device path, see serial_port_name.h)
    // and holds the device for itself: a second open of the same device, by
    // whatever name and from whatever process, fails with InUse while this
    // one stays open. False with *error set when the port cannot be opened.
    bool open(const QString& name, int bitRate, QString* error = nullptr);
    OpenFailure openFailure() const { return openFailure_; }
    void close();
    // False once closed, also when the line failed (see lastError()).
    bool isOpen() const;

    // The device the name resolved to (empty before the first open).
    QString devicePath() const { return devicePath_; }

    // Hands all bytes to the port and waits until they are written or the
    // deadline passes. False when not all were written (see lastError()).
    bool write(const QByteArray& data, Clock::time_point deadline);

    // The bytes that have arrived, waiting until the deadline for at least one.
    // Empty when the deadline passed or the line failed.
    QByteArray readSome(Clock::time_point deadline);

    // Exactly count bytes, or fewer when the deadline passed first.
    QByteArray readExactly(int count, Clock::time_point deadline);

    // Drops every byte received so far.
    void clearInput();

    // The last failure, for the caller's failure text.
    QString lastError() const { return lastError_; }

  private:
    void onPortError(int error);
    bool failIfBroken();

    std::unique_ptr<QSerialPort> port_;
    QString devicePath_;
    QString lastError_;
    OpenFailure openFailure_ = OpenFailure::None;
    bool broken_ = false;  // a serial error other than a time-out was reported
};

// Milliseconds until the deadline, rounded up so that a wait never ends early;
// 0 once it has passed.
int millisecondsUntil(Clock::time_point deadline);

}  // namespace dwnfrw::serial
