// A virtual board on a pseudo-terminal that the program finds as "COM<n>": a
// temporary ports folder in DWNFRW_PORTS holds the link. Everything is put back
// when the fixture goes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <optional>

#include "tools/vboard/pty_board.h"

namespace dwnfrw::testing {

class VirtualBoardOnPort {
  public:
    explicit VirtualBoardOnPort(vboard::BoardOptions options = {}, int portNumber = 3);
    ~VirtualBoardOnPort();
    VirtualBoardOnPort(const VirtualBoardOnPort&) = delete;
    VirtualBoardOnPort& operator=(const VirtualBoardOnPort&) = delete;

    // False with error() set when the board or its link could not be made.
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }

    vboard::PtyBoard& board() { return *board_; }
    int portNumber() const { return portNumber_; }
    QString portName() const { return QStringLiteral("COM") + QString::number(portNumber_); }
    QString portsFolder() const { return ports_.path(); }

  private:
    QTemporaryDir ports_;
    std::optional<QByteArray> savedPorts_;
    std::unique_ptr<vboard::PtyBoard> board_;
    int portNumber_;
    QString error_;
};

}  // namespace dwnfrw::testing
