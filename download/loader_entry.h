// The loader-entry command, the one-second pause and the run clock.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <cstdint>

#include "startup/frontend.h"

namespace dwnfrw {

// The four bytes that make the board's application hand over to its bootloader.
inline const QByteArray kLoaderEntryCommand = QByteArray::fromRawData("\x24\x45\x30\x0D", 4);
inline constexpr int kLoaderEntryBitRate = 9600;
// The port stays open this long after the command so the bytes leave the line.
inline constexpr int kLoaderEntryHoldMs = 200;
inline constexpr int kPauseMs = 1000;
inline constexpr int kPauseSliceMs = 100;

// Sends the loader-entry command on the port, then pauses one second. Every
// failure is skipped silently: the bootloader connection that follows tells
// whether the board listened.
void SendLoaderEntry(int32_t port, EventPump& events);

// Returns after at least one second, letting the window run about every 100 ms.
void PauseOneSecond(EventPump& events);

// The run-clock timer of the window (tmrtime): ticks every second while enabled.
class RunClockTimer {
  public:
    virtual ~RunClockTimer() = default;
    virtual void setTimerEnabled(bool enabled) = 0;
};

// The elapsed-time display of a run in lblPercent.
class RunClock {
  public:
    RunClock(RunClockTimer& timer, ProgressView& progress) : timer_(timer), progress_(progress) {}

    void start();
    void stop();
    // The timer's tick: shows the whole seconds since the start.
    void tick();
    bool active() const { return RunClockActive; }

    // Text 1017 with "%1" replaced by the whole seconds in elapsedMs, rounded down.
    static QString clockText(qint64 elapsedMs);

  private:
    RunClockTimer& timer_;
    ProgressView& progress_;
    QElapsedTimer RunStartTime;  // a monotonic clock: midnight changes nothing
    bool RunClockActive = false;
};

}  // namespace dwnfrw
