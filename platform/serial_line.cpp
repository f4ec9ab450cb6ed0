#include "platform/serial_line.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QSerialPort>
#include <cerrno>

#include "platform/serial_port_name.h"

namespace dwnfrw::serial {

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

SerialLine::SerialLine() = default;

SerialLine::~SerialLine() {
    close();
}

bool SerialLine::open(const QString& name, int bitRate, QString* error) {
    close();
    lastError_.clear();
    openFailure_ = OpenFailure::None;
    broken_ = false;
    const auto failed = [&](OpenFailure why, const QString& text) {
        openFailure_ = why;
        lastError_ = text;
        close();
        if (error)
            *error = lastError_;
        return false;
    };
    devicePath_ = resolveSerialPortName(name);
    if (devicePath_.isEmpty())
        return failed(OpenFailure::NoDevice,
                      QStringLiteral("No serial device for port name \"%1\"").arg(name));
    struct stat info {};
    if (::stat(QFile::encodeName(devicePath_).constData(), &info) != 0 && errno == ENOENT)
        return failed(OpenFailure::NoDevice,
                      QStringLiteral("No device %1 for port %2").arg(devicePath_, name));
    port_ = std::make_unique<QSerialPort>();
    port_->setPortName(devicePath_);
    QObject::connect(port_.get(), &QSerialPort::errorOccurred, port_.get(),
                     [this](QSerialPort::SerialPortError e) { onPortError(e); });
    if (!port_->open(QIODevice::ReadWrite)) {
        // The port keeps a device it opened to itself, so that another user's
        // open fails as refused permission: with the permission there, the
        // device is in use.
        const bool inUse = port_->error() == QSerialPort::PermissionError &&
                           ::access(QFile::encodeName(devicePath_).constData(), R_OK | W_OK) == 0;
        return failed(
            inUse ? OpenFailure::InUse : OpenFailure::Other,
            QStringLiteral("Cannot open %1 (%2): %3").arg(name, devicePath_, port_->errorString()));
    }
    // The lock is on the device, so every name of it and every process meet
    // it; it goes with the descriptor when the port closes.
    if (::flock(static_cast<int>(port_->handle()), LOCK_EX | LOCK_NB) != 0 &&
        errno == EWOULDBLOCK) {
        return failed(
            OpenFailure::InUse,
            QStringLiteral("%1 (%2) is in use by another connection").arg(name, devicePath_));
    }
    const bool opened = port_->setBaudRate(bitRate) && port_->setDataBits(QSerialPort::Data8) &&
                        port_->setParity(QSerialPort::NoParity) &&
                        port_->setStopBits(QSerialPort::OneStop) &&
                        port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!opened || !port_->isOpen()) {
        return failed(
            OpenFailure::Other,
            QStringLiteral("Cannot open %1 (%2): %3").arg(name, devicePath_, port_->errorString()));
    }
    return true;
}

void SerialLine::close() {
    if (!port_)
        return;
    // Disconnect first: closing may report an error, and the object is going away.
    QObject::disconnect(port_.get(), nullptr, nullptr, nullptr);
    if (port_->isOpen())
        port_->close();
    port_.reset();
}

bool SerialLine::isOpen() const {
    return port_ && !broken_ && port_->isOpen();
}

void SerialLine::onPortError(int error) {
    switch (error) {
        case QSerialPort::NoError:  // also what clearError() below reports
            return;
        case QSerialPort::TimeoutError:
        // Modem-control lines do not exist on a pseudo-terminal; the data path works.
        case QSerialPort::UnsupportedOperationError:
            if (port_)
                port_->clearError();
            return;
        default:
            break;
    }
    if (!port_ || broken_)
        return;
    broken_ = true;
    lastError_ = QStringLiteral("Serial port %1 failed: %2").arg(devicePath_, port_->errorString());
    // A port whose far end went away keeps reporting read errors in a busy loop
    // as long as it stays open, so it is closed: by our own next call, or by
    // the event loop when the caller lets it run first. Not here: the port is
    // still inside its own notification.
    QMetaObject::invokeMethod(
        port_.get(), [port = port_.get()] { port->close(); }, Qt::QueuedConnection);
}

bool SerialLine::failIfBroken() {
    if (broken_ && port_ && port_->isOpen())
        port_->close();
    if (isOpen())
        return false;
    if (lastError_.isEmpty())
        lastError_ = QStringLiteral("Serial port is not open");
    return true;
}

bool SerialLine::write(const QByteArray& data, Clock::time_point deadline) {
    if (failIfBroken())
        return false;
    if (port_->write(data) != data.size()) {
        if (!failIfBroken())
            lastError_ =
                QStringLiteral("Write to %1 failed: %2").arg(devicePath_, port_->errorString());
        return false;
    }
    while (isOpen() && port_->bytesToWrite() > 0) {
        const int waitMs = millisecondsUntil(deadline);
        if (waitMs == 0) {
            lastError_ = QStringLiteral("Write to %1 timed out").arg(devicePath_);
            return false;
        }
        port_->waitForBytesWritten(waitMs);
    }
    return !failIfBroken();
}

QByteArray SerialLine::readSome(Clock::time_point deadline) {
    if (failIfBroken())
        return {};
    while (port_->bytesAvailable() == 0) {
        const int waitMs = millisecondsUntil(deadline);
        if (waitMs == 0)
            return {};
        port_->waitForReadyRead(waitMs);
        if (failIfBroken())
            return {};
    }
    return port_->readAll();
}

QByteArray SerialLine::readExactly(int count, Clock::time_point deadline) {
    QByteArray result;
    if (failIfBroken())
        return result;
    while (result.size() < count) {
        if (port_->bytesAvailable() == 0) {
            const int waitMs = millisecondsUntil(deadline);
            if (waitMs == 0)
                break;
            port_->waitForReadyRead(waitMs);
            if (failIfBroken())
                break;
            continue;
        }
        result += port_->read(count - result.size());
    }
    return result;
}

void SerialLine::clearInput() {
    if (failIfBroken())
        return;
    // What the driver holds and what the port object has buffered both go.
    port_->clear(QSerialPort::Input);
    port_->readAll();
}

}  // namespace dwnfrw::serial
