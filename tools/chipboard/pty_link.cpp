#include "tools/chipboard/pty_link.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gpsim/breakpoints.h>
#include <gpsim/gpsim_time.h>
#include <gpsim/trigger.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "tools/chipboard/uart_bridge.h"

namespace chipbench {

namespace {
constexpr int kReadChunkBytes = 4096;
constexpr int kBitsPerByte = 10;  // 8N1 on the wire
// How far a paced simulation may fall behind the wall clock and still catch
// up (a late wake-up on a busy machine); a longer lag (the machine was
// stopped) is forgotten rather than made up in a burst.
constexpr auto kMostLag = std::chrono::milliseconds(50);
// Without inotify, a bench with no host looks for one this often.
constexpr auto kHostProbeInterval = std::chrono::milliseconds(20);
}  // namespace

class PtyLink::Tick : public TriggerObject {
  public:
    explicit Tick(PtyLink& link) : link_(link) {}
    void callback() override { link_.service(); }
    void callback_print() override {}

  private:
    PtyLink& link_;
};

PtyLink::PtyLink(UartBridge& bridge, int master, const char* devicePath, int stopFd,
                 LinkOptions options, LineFilter* filter)
    : bridge_(bridge), master_(master), stopFd_(stopFd), options_(options), filter_(filter) {
    tick_ = new Tick(*this);
    // A host that closes the port and opens it again between two services
    // is seen only through inotify; without it the hang-up alone tells.
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 && ::inotify_add_watch(inotify_, devicePath,
                                             IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(inotify_);
        inotify_ = -1;
    }
    // A host that opened the terminal before the watch began.
    pollfd probe{master_, POLLIN, 0};
    if (inotify_ >= 0 && ::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
        hostFds_ = 1;
        hostPresent_ = true;
        ++counters_.hostOpens;
    }
    bridge_.onByte = [this](uint8_t byte) { toHost(byte); };
}

PtyLink::~PtyLink() {
    get_cycles().clear_break(tick_);
    bridge_.onByte = nullptr;
    if (inotify_ >= 0)
        ::close(inotify_);
    delete tick_;
}

void PtyLink::start() {
    // One byte time of simulated time between services: the host's bytes
    // wait at most that long, and the wall clock is checked as often.
    const double cyclesPerSecond = 1.0 / get_cycles().seconds_per_cycle();
    tickCycles_ =
        uint64_t(std::max(1.0, std::round(cyclesPerSecond * kBitsPerByte / bridge_.baud())));
    wallStart_ = std::chrono::steady_clock::now();
    cycleStart_ = get_cycles().get();
    pollHost(std::chrono::nanoseconds::zero());
    get_cycles().set_break(get_cycles().get() + tickCycles_, tick_);
}

void PtyLink::service() {
    pollHost(std::chrono::nanoseconds::zero());
    if (options_.speed > 0.0 && !stopRequested_)
        pace();
    if (stopRequested_) {
        get_bp().halt();
        return;
    }
    get_cycles().set_break(get_cycles().get() + tickCycles_, tick_);
}

// Waits until the wall clock has caught up with simulated time, serving the
// host and the stop request meanwhile.
void PtyLink::pace() {
    const double simulated = double(get_cycles().get() - cycleStart_) *
                             get_cycles().seconds_per_cycle() / options_.speed;
    const auto offset = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(simulated));
    const auto lag = std::chrono::steady_clock::now() - (wallStart_ + offset);
    if (lag > kMostLag)
        wallStart_ += lag;
    const auto due = wallStart_ + offset;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= due || stopRequested_)
            return;
        pollHost(std::chrono::duration_cast<std::chrono::nanoseconds>(due - now));
    }
}

void PtyLink::pollHost(std::chrono::nanoseconds timeout) {
    // With no host, the master side reports a hang-up at once: it is left out
    // of the wait, and without inotify looked at again every so often.
    pollfd fds[3];
    nfds_t count = 0;
    const bool watchMaster = hostPresent_;
    if (watchMaster)
        fds[count++] = {master_, short(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0};
    const nfds_t stopIndex = count;
    if (stopFd_ >= 0)
        fds[count++] = {stopFd_, POLLIN, 0};
    const nfds_t inotifyIndex = count;
    if (inotify_ >= 0)
        fds[count++] = {inotify_, POLLIN, 0};
    if (inotify_ < 0 && !hostPresent_)
        timeout = std::min<std::chrono::nanoseconds>(timeout, kHostProbeInterval);
    const timespec wait{time_t(timeout.count() / 1'000'000'000),
                        long(timeout.count() % 1'000'000'000)};
    if (::ppoll(fds, count, &wait, nullptr) < 0)
        return;
    if (stopFd_ >= 0 && (fds[stopIndex].revents & POLLIN))
        stopRequested_ = true;
    if (inotify_ >= 0 && (fds[inotifyIndex].revents & POLLIN))
        hostEvents();
    if (inotify_ < 0) {
        pollfd probe{master_, POLLIN, 0};
        const bool present = ::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP);
        if (present && !hostPresent_) {
            hostPresent_ = true;
            ++counters_.hostOpens;
        } else if (!present && hostPresent_) {
            hostLeft();
        }
    }
    if (hostPresent_ && (!watchMaster || (fds[0].revents & (POLLIN | POLLHUP))))
        readHost();
    if (hostPresent_ && !outgoing_.empty())
        flushToHost();
}

// Opens and closes of the terminal since the last look, in their order. A
// close that leaves no descriptor open is a hang-up: what the chip still had
// for that host is forgotten. The bytes a next host wrote already stay in
// the terminal.
void PtyLink::hostEvents() {
    alignas(inotify_event) char events[4096];
    ssize_t n = 0;
    while ((n = ::read(inotify_, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            if ((event->mask & IN_OPEN) && hostFds_++ == 0 && !hostPresent_) {
                hostPresent_ = true;
                ++counters_.hostOpens;
            }
            if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && --hostFds_ <= 0) {
                hostFds_ = 0;
                forgetHost();
            }
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

void PtyLink::forgetHost() {
    if (!hostPresent_)
        return;
    hostPresent_ = false;
    ++counters_.hostCloses;
    outgoing_.clear();
    bridge_.forgetPending();
    if (filter_)
        filter_->hostGone();
}

void PtyLink::readHost() {
    uint8_t bytes[kReadChunkBytes];
    ssize_t n = 0;
    while ((n = ::read(master_, bytes, sizeof bytes)) > 0) {
        counters_.bytesReceived += uint64_t(n);
        for (ssize_t i = 0; i < n; ++i) {
            scratch_.clear();
            if (filter_)
                filter_->fromHost(bytes[i], scratch_);
            else
                scratch_.push_back(bytes[i]);
            for (uint8_t b : scratch_)
                bridge_.send(b);
        }
    }
    if (n < 0 && errno == EIO)
        hostLeft();
}

void PtyLink::toHost(uint8_t byte) {
    // A chip talking to an unplugged cable: the bytes go nowhere.
    if (!hostPresent_)
        return;
    if (filter_ && !filter_->fromChip(byte))
        return;
    outgoing_.push_back(byte);
    flushToHost();
}

void PtyLink::flushToHost() {
    while (!outgoing_.empty()) {
        uint8_t chunk[kReadChunkBytes];
        size_t n = 0;
        for (auto it = outgoing_.begin(); it != outgoing_.end() && n < sizeof chunk; ++it)
            chunk[n++] = *it;
        const ssize_t written = ::write(master_, chunk, n);
        if (written <= 0) {
            if (written < 0 && errno == EIO)
                hostLeft();
            return;
        }
        counters_.bytesSent += uint64_t(written);
        outgoing_.erase(outgoing_.begin(), outgoing_.begin() + written);
    }
}

void PtyLink::hostLeft() {
    if (!hostPresent_)
        return;
    forgetHost();
    uint8_t scratch[kReadChunkBytes];
    while (::read(master_, scratch, sizeof scratch) > 0) {
    }
}

}  // namespace chipbench
