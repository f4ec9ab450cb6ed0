// A chipboard process (the simulated PIC18F452) on a pseudo-terminal that the
// program finds as "COM<n>": a temporary ports folder in DWNFRW_PORTS holds its
// link. The process is ended with SIGTERM when the fixture goes.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

namespace dwnfrw::testing {

// The built chipboard, and the bench's test firmware.
QString chipboardProgram();
QString benchTestFirmware();

class ChipBoardOnPort {
  public:
    // Starts chipboard --link <ports>/COM<portNumber> with the extra arguments.
    explicit ChipBoardOnPort(const QStringList& arguments, int portNumber = 3);
    ~ChipBoardOnPort();
    ChipBoardOnPort(const ChipBoardOnPort&) = delete;
    ChipBoardOnPort& operator=(const ChipBoardOnPort&) = delete;

    // False with error() set when chipboard did not print its ready line.
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    QString portName() const { return QStringLiteral("COM") + QString::number(portNumber_); }
    QString linkPath() const;
    QString portsFolder() const { return ports_.path(); }

    // Sends SIGTERM and waits for the end; false when it took longer than
    // the limit or the process ended with a non-zero status.
    bool stop(int limitMs = 1000);
    // Milliseconds the last stop() took.
    qint64 stopMs() const { return stopMs_; }
    // Standard output after the ready line (the counters), standard error.
    QByteArray output() const { return output_; }
    QByteArray errors() const { return errors_; }
    // A counter the board printed when it ended ("host opens"), -1 when absent.
    long long counter(const char* name) const;

  private:
    QTemporaryDir ports_;
    std::optional<QByteArray> savedPorts_;
    QProcess process_;
    int portNumber_;
    QString error_;
    QByteArray output_;
    QByteArray errors_;
    qint64 stopMs_ = 0;
    bool stopped_ = false;
};

}  // namespace dwnfrw::testing
