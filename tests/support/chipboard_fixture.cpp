#include "tests/support/chipboard_fixture.h"

#include <QElapsedTimer>
#include <QRegularExpression>

namespace dwnfrw::testing {

namespace {
constexpr int kReadyTimeoutMs = 10000;
}  // namespace

QString chipboardProgram() {
    return QStringLiteral(DWNFRW_CHIPBOARD_PROGRAM);
}

QString benchTestFirmware() {
    return QStringLiteral(DWNFRW_BENCH_TEST_FIRMWARE);
}

ChipBoardOnPort::ChipBoardOnPort(const QStringList& arguments, int portNumber)
    : portNumber_(portNumber) {
    if (qEnvironmentVariableIsSet("DWNFRW_PORTS"))
        savedPorts_ = qgetenv("DWNFRW_PORTS");
    qputenv("DWNFRW_PORTS", QFile::encodeName(ports_.path()));
    process_.setProgram(chipboardProgram());
    process_.setArguments(QStringList{QStringLiteral("--link"), linkPath()} + arguments);
    process_.start();
    if (!process_.waitForStarted()) {
        error_ = QStringLiteral("chipboard did not start: ") + process_.errorString();
        return;
    }
    QElapsedTimer waited;
    waited.start();
    while (!process_.canReadLine() && waited.elapsed() < kReadyTimeoutMs &&
           process_.state() == QProcess::Running)
        process_.waitForReadyRead(100);
    if (!process_.canReadLine()) {
        process_.waitForFinished(1000);
        error_ = QStringLiteral("chipboard printed no ready line: ") +
                 QString::fromLocal8Bit(process_.readAllStandardError());
    } else {
        process_.readLine();
    }
}

ChipBoardOnPort::~ChipBoardOnPort() {
    if (!stopped_ && process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(1000);
    }
    if (savedPorts_)
        qputenv("DWNFRW_PORTS", *savedPorts_);
    else
        qunsetenv("DWNFRW_PORTS");
}

QString ChipBoardOnPort::linkPath() const {
    return ports_.filePath(portName());
}

bool ChipBoardOnPort::stop(int limitMs) {
    QElapsedTimer timer;
    timer.start();
    process_.terminate();
    const bool ended = process_.waitForFinished(5000);
    stopMs_ = timer.elapsed();
    stopped_ = true;
    output_ = process_.readAllStandardOutput();
    errors_ = process_.readAllStandardError();
    return ended && stopMs_ <= limitMs && process_.exitStatus() == QProcess::NormalExit &&
           process_.exitCode() == 0;
}

long long ChipBoardOnPort::counter(const char* name) const {
    const QRegularExpression line(QStringLiteral("^%1: (\\d+)$").arg(QLatin1String(name)),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(QString::fromLocal8Bit(output_));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

}  // namespace dwnfrw::testing
