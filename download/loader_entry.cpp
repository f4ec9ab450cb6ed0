#include "download/loader_entry.h"

#include <chrono>
#include <thread>

#include "platform/serial_line.h"
#include "startup/localtext.h"
#include "startup/runlog.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

void SendLoaderEntry(int32_t port, EventPump& events) {
    serial::SerialLine line;
    line.open(QStringLiteral("COM%1").arg(port), kLoaderEntryBitRate);
    try {
        WriteLog(QStringLiteral("TX: 24 45 30 0d"));
    } catch (const RunTimeError&) {
        // Failures of the command are never reported.
    }
    if (line.isOpen()) {
        line.write(kLoaderEntryCommand,
                   serial::Clock::now() + std::chrono::milliseconds(kLoaderEntryHoldMs));
    }
    // The application needs the line quiet after the command: a deliberate hold.
    std::this_thread::sleep_for(std::chrono::milliseconds(kLoaderEntryHoldMs));
    line.close();
    PauseOneSecond(events);
}

void PauseOneSecond(EventPump& events) {
    QElapsedTimer clock;
    clock.start();
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseSliceMs));
        events.processEvents();
        if (clock.elapsed() > kPauseMs)
            return;
    }
}

void RunClock::start() {
    timer_.setTimerEnabled(true);
    RunStartTime.start();
    RunClockActive = true;
}

void RunClock::stop() {
    timer_.setTimerEnabled(false);
    progress_.setPercentText(QString());
}

void RunClock::tick() {
    if (!RunClockActive)
        return;
    progress_.setPercentText(clockText(RunStartTime.elapsed()));
}

QString RunClock::clockText(qint64 elapsedMs) {
    QString text = GetText(1017);
    text.replace(QLatin1String("%1"), QString::number(elapsedMs / 1000));
    return text;
}

}  // namespace dwnfrw
