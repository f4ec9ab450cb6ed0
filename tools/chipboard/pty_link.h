// The serial line between a pseudo-terminal and the UART bridge, run from the
// simulation itself: once a byte time of simulated time it takes in what the
// host wrote, hands the chip's bytes to the host, keeps simulated time from
// running ahead of the wall clock when paced, and ends the simulation when
// asked to stop.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <vector>

namespace chipbench {

class UartBridge;

// Faults on the line, applied as bytes cross the bridge.
class LineFilter {
  public:
    virtual ~LineFilter() = default;
    // A byte from the host; what reaches the chip is appended to out.
    virtual void fromHost(uint8_t byte, std::vector<uint8_t>& out) = 0;
    // A byte from the chip; false when it is lost.
    virtual bool fromChip(uint8_t& byte) = 0;
    // The host closed the port: partial frames are forgotten.
    virtual void hostGone() {}
};

struct LinkCounters {
    uint64_t bytesReceived = 0;  // from the host
    uint64_t bytesSent = 0;      // to the host
    uint64_t hostOpens = 0;
    uint64_t hostCloses = 0;
};

struct LinkOptions {
    // Simulated seconds per wall-clock second at most; 0 runs unpaced.
    double speed = 0.0;
};

class PtyLink {
  public:
    // master: the pseudo-terminal's master side (non-blocking); stopFd: a
    // descriptor that becomes readable when the board is to stop (-1: none).
    // devicePath: the terminal's slave side, watched for the host opening
    // and closing it.
    PtyLink(UartBridge& bridge, int master, const char* devicePath, int stopFd, LinkOptions options,
            LineFilter* filter = nullptr);
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Starts the periodic service; call once the processor exists.
    void start();
    bool stopRequested() const { return stopRequested_; }
    const LinkCounters& counters() const { return counters_; }

  private:
    class Tick;
    void service();
    void pace();
    void pollHost(std::chrono::nanoseconds timeout);
    void readHost();
    void toHost(uint8_t byte);
    void flushToHost();
    void hostLeft();
    void hostEvents();
    void forgetHost();
    void releaseInbound(std::chrono::steady_clock::time_point now);

    UartBridge& bridge_;
    int master_;
    int stopFd_;
    int inotify_ = -1;
    int hostFds_ = 0;  // the host's open descriptors, as inotify counts them
    LinkOptions options_;
    LineFilter* filter_;
    Tick* tick_ = nullptr;
    uint64_t tickCycles_ = 0;
    bool hostPresent_ = false;
    bool stopRequested_ = false;
    std::deque<uint8_t> outgoing_;  // for the host, waiting for room in the terminal
    bool waitWritable_ = false;     // the terminal was full
    // Paced, a byte crosses the wire in a byte time of the wall clock in
    // either direction, also while the simulation catches up with a lag.
    std::chrono::steady_clock::duration byteGap_{};
    std::deque<std::pair<std::chrono::steady_clock::time_point, uint8_t>> inbound_;
    std::chrono::steady_clock::time_point lastInboundAt_{};
    std::chrono::steady_clock::time_point nextOutputAt_{};
    std::vector<uint8_t> scratch_;
    LinkCounters counters_;
    std::chrono::steady_clock::time_point wallStart_;
    uint64_t cycleStart_ = 0;
};

}  // namespace chipbench
