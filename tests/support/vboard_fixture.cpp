#include "tests/support/vboard_fixture.h"

#include <QFile>

namespace dwnfrw::testing {

VirtualBoardOnPort::VirtualBoardOnPort(vboard::BoardOptions options, int portNumber)
    : board_(std::make_unique<vboard::PtyBoard>(options)), portNumber_(portNumber) {
    if (qEnvironmentVariableIsSet("DWNFRW_PORTS"))
        savedPorts_ = qgetenv("DWNFRW_PORTS");
    if (!ports_.isValid()) {
        error_ = QStringLiteral("Cannot create a temporary ports folder");
        return;
    }
    qputenv("DWNFRW_PORTS", QFile::encodeName(ports_.path()));
    QString why;
    if (!board_->start(&why) || !board_->linkAs(ports_.filePath(portName()), &why))
        error_ = why.isEmpty() ? QStringLiteral("Cannot start the virtual board") : why;
}

VirtualBoardOnPort::~VirtualBoardOnPort() {
    board_->stop();
    if (savedPorts_)
        qputenv("DWNFRW_PORTS", *savedPorts_);
    else
        qunsetenv("DWNFRW_PORTS");
}

}  // namespace dwnfrw::testing
