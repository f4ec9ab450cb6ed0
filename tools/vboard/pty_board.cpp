#include "tools/vboard/pty_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <deque>
#include <optional>

#include "components/nxpicboot/nxpic_wire.h"
#include "tools/vboard/line_options.h"

namespace vboard {

namespace {

// Without inotify the board looks for a host this often while none is there.
constexpr auto kHostProbeInterval = std::chrono::milliseconds(20);
constexpr int kReadChunkBytes = 4096;

constexpr char kControlQuit = 'q';
constexpr char kControlUnplug = 'u';

timespec toTimespec(Clock::duration d) {
    if (d < Clock::duration::zero())
        d = Clock::duration::zero();
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

struct OutChunk {
    Clock::time_point readyAt;
    QByteArray bytes;
    int sent = 0;
};

}  // namespace

PtyBoard::PtyBoard(BoardOptions options) : board_(options) {}

PtyBoard::~PtyBoard() {
    stop();
}

bool PtyBoard::start(QString* error) {
    const auto fail = [&](const QString& what) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
        closeFd(master_);
        closeFd(inotify_);
        closeFd(controlPipe_[0]);
        closeFd(controlPipe_[1]);
        return false;
    };
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master_, &slave, name, &raw, nullptr) != 0)
        return fail(QStringLiteral("Cannot create a pseudo-terminal"));
    // The board holds no end of the host's side: the host opening and closing
    // the terminal is how the board sees a port opened and hung up.
    ::close(slave);
    devicePath_ = QString::fromLocal8Bit(name);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (::pipe2(controlPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(QStringLiteral("Cannot create the control pipe"));
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 &&
        ::inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        closeFd(inotify_);
    thread_ = std::thread([this] { run(); });
    return true;
}

bool PtyBoard::linkAs(const QString& path, QString* error) {
    if (!linkTerminal(path, devicePath_, error))
        return false;
    linkPath_ = path;
    return true;
}

void PtyBoard::setDumpFile(const QString& path) {
    dumpPath_ = path;
}

bool PtyBoard::loadHex(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QString why;
    if (!board_.loadHex(file.readAll(), &why)) {
        if (error)
            *error = path + QStringLiteral(": ") + why;
        return false;
    }
    return true;
}

bool PtyBoard::writeDump(QString* error) const {
    if (dumpPath_.isEmpty())
        return true;
    QSaveFile file(dumpPath_);
    const QByteArray dump = board_.dumpHex();
    // flush() before commit(), which does not report a failed last write.
    if (!file.open(QIODevice::WriteOnly) || file.write(dump) != dump.size() || !file.flush() ||
        !file.commit()) {
        if (error)
            *error = QStringLiteral("Cannot write %1: %2").arg(dumpPath_, file.errorString());
        return false;
    }
    return true;
}

void PtyBoard::sendControl(char command) {
    std::unique_lock lock(controlMutex_);
    const int ticket = ++controlsSent_;
    if (::write(controlPipe_[1], &command, 1) != 1)
        return;
    controlDone_.wait(lock, [&] { return controlsHandled_ >= ticket; });
}

void PtyBoard::unplug() {
    if (thread_.joinable())
        sendControl(kControlUnplug);
}

void PtyBoard::stop() {
    if (thread_.joinable()) {
        const char quit = kControlQuit;
        if (::write(controlPipe_[1], &quit, 1) == 1)
            thread_.join();
    }
    closeFd(master_);
    closeFd(inotify_);
    closeFd(controlPipe_[0]);
    closeFd(controlPipe_[1]);
    if (!devicePath_.isEmpty())
        writeDump();
    if (!linkPath_.isEmpty()) {
        unlinkTerminal(linkPath_, devicePath_);
        linkPath_.clear();
    }
    devicePath_.clear();
}

// The board thread: one pass of serve() takes in the paced bytes that are due,
// tells the board when the line went quiet, writes what is due, and waits in
// ppoll for the control pipe, the host opening or closing the terminal, the
// host's bytes or the next due time.
class PtyBoard::Loop {
  public:
    explicit Loop(PtyBoard& owner)
        : owner_(owner),
          board_(owner.board_),
          paced_(owner.board_.options().paced),
          workDelay_(std::chrono::milliseconds(std::max(owner.board_.options().workDelayMs, 0))) {}

    void serve() {
        for (;;) {
            const Clock::time_point now = Clock::now();
            wake_.reset();
            takePacedInput(now);
            tellIdle(now);
            writeDueOutput(now);
            if (!waitAndDispatch())
                return;
        }
    }

  private:
    void wakeAt(Clock::time_point t) {
        if (!wake_ || t < *wake_)
            wake_ = t;
    }

    void queue(const std::vector<QByteArray>& replies, const std::vector<Clock::duration>& delays,
               Clock::time_point at) {
        for (size_t i = 0; i < replies.size(); ++i) {
            const Clock::duration late = i < delays.size() ? delays[i] : Clock::duration{};
            output_.push_back({at + workDelay_ + late, replies[i], 0});
        }
    }

    void feed(const QByteArray& bytes, Clock::time_point at) {
        std::vector<Clock::duration> delays;
        const std::vector<QByteArray> replies = board_.receive(bytes, at, &delays);
        queue(replies, delays, at);
    }

    // A paced byte is there only once its ten bits have crossed the wire.
    void takePacedInput(Clock::time_point now) {
        while (!input_.empty() && input_.front().first <= now) {
            const auto [at, byte] = input_.front();
            input_.pop_front();
            feed(QByteArray(1, byte), at);
        }
        if (!input_.empty())
            wakeAt(input_.front().first);
    }

    // Unreadable input is answered once the line has been quiet a while.
    void tellIdle(Clock::time_point now) {
        if (!hostPresent_ || !input_.empty())
            return;
        const auto due = board_.idleDue();
        if (!due)
            return;
        if (*due > now) {
            wakeAt(*due);
            return;
        }
        queue(board_.idle(*due), {}, *due);
    }

    void writeDueOutput(Clock::time_point now) {
        int& master = owner_.master_;
        while (!output_.empty() && master >= 0 && hostPresent_ && !waitWritable_) {
            OutChunk& chunk = output_.front();
            if (chunk.readyAt > now) {
                wakeAt(chunk.readyAt);
                return;
            }
            ssize_t written = 0;
            if (paced_) {
                const Clock::time_point due =
                    std::max(chunk.readyAt, lastOutputAt_) + kPacedByteTime;
                if (due > now) {
                    wakeAt(due);
                    return;
                }
                written = ::write(master, chunk.bytes.constData() + chunk.sent, 1);
                if (written == 1)
                    lastOutputAt_ = due;
            } else {
                written = ::write(master, chunk.bytes.constData() + chunk.sent,
                                  size_t(chunk.bytes.size() - chunk.sent));
            }
            if (written < 0) {
                if (errno == EAGAIN)
                    waitWritable_ = true;
                else
                    hangUp();
                return;
            }
            chunk.sent += int(written);
            if (chunk.sent == chunk.bytes.size())
                output_.pop_front();
        }
    }

    // False when the board is to stop.
    bool waitAndDispatch() {
        const int master = owner_.master_;
        const int inotify = owner_.inotify_;
        pollfd fds[3];
        int count = 0;
        fds[count++] = {owner_.controlPipe_[0], POLLIN, 0};
        const int inotifyIndex = inotify >= 0 ? count : -1;
        if (inotify >= 0)
            fds[count++] = {inotify, POLLIN, 0};
        const int masterIndex = (hostPresent_ && master >= 0) ? count : -1;
        if (masterIndex >= 0)
            fds[count++] = {master, short(POLLIN | (waitWritable_ ? POLLOUT : 0)), 0};
        if (!hostPresent_ && inotify < 0 && master >= 0)
            wakeAt(Clock::now() + kHostProbeInterval);

        timespec timeout{};
        if (wake_)
            timeout = toTimespec(*wake_ - Clock::now());
        if (::ppoll(fds, nfds_t(count), wake_ ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            return false;

        if ((fds[0].revents & POLLIN) && !handleControl())
            return false;
        if (inotifyIndex >= 0 && owner_.inotify_ >= 0 && (fds[inotifyIndex].revents & POLLIN))
            handleHostEvents();
        if (masterIndex >= 0 && owner_.master_ >= 0 && hostPresent_)
            readHost(fds[masterIndex].revents);
        probeHost();
        return true;
    }

    // False on quit.
    bool handleControl() {
        char commands[16];
        const ssize_t n = ::read(owner_.controlPipe_[0], commands, sizeof commands);
        bool quit = false;
        for (ssize_t i = 0; i < n; ++i) {
            if (commands[i] == kControlQuit)
                quit = true;
            if (commands[i] == kControlUnplug) {
                hangUp();
                closeFd(owner_.master_);
                closeFd(owner_.inotify_);
            }
        }
        if (n > 0) {
            std::lock_guard lock(owner_.controlMutex_);
            owner_.controlsHandled_ = owner_.controlsSent_;
            owner_.controlDone_.notify_all();
        }
        return !quit;
    }

    void handleHostEvents() {
        alignas(inotify_event) char events[4096];
        ssize_t n = 0;
        // A host may close and the next one open and write before these
        // events are read: then the bytes waiting in the terminal are the
        // new host's, and a hang-up must not drain them.
        bool hungUp = false;
        while ((n = ::read(owner_.inotify_, events, sizeof events)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                if (event->mask & IN_OPEN) {
                    ++hostFds_;
                    if (!hungUp)
                        hostArrived();
                }
                if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && --hostFds_ <= 0) {
                    hostFds_ = 0;
                    hungUp = true;
                }
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        if (hungUp && hostFds_ > 0 && hostPresent_) {
            forgetLine();
            board_.hostClosed();
            owner_.writeDump();
            board_.hostOpened();
        } else if (hungUp) {
            const int reopened = hostFds_;
            hangUp();
            hostFds_ = reopened;
            if (reopened > 0)
                hostArrived();
        }
    }

    void readHost(short revents) {
        if (revents & POLLOUT)
            waitWritable_ = false;
        if (!(revents & POLLIN)) {
            if (revents & (POLLHUP | POLLERR))
                hangUp();
            return;
        }
        char bytes[kReadChunkBytes];
        ssize_t n = 0;
        while ((n = ::read(owner_.master_, bytes, sizeof bytes)) > 0) {
            const Clock::time_point at = Clock::now();
            if (!paced_) {
                feed(QByteArray(bytes, int(n)), at);
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                lastInputAt_ = std::max(at, lastInputAt_) + kPacedByteTime;
                input_.emplace_back(lastInputAt_, bytes[i]);
            }
        }
        if (n < 0 && errno == EIO)
            hangUp();
    }

    // Without inotify, a host is there once the terminal stops hanging up.
    void probeHost() {
        if (hostPresent_ || owner_.inotify_ >= 0 || owner_.master_ < 0)
            return;
        pollfd probe{owner_.master_, POLLIN, 0};
        if (::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP))
            hostArrived();
    }

    void forgetLine() {
        input_.clear();
        output_.clear();
        waitWritable_ = false;
    }

    void hangUp() {
        if (!hostPresent_)
            return;
        hostPresent_ = false;
        hostFds_ = 0;
        forgetLine();
        char scratch[kReadChunkBytes];
        while (owner_.master_ >= 0 && ::read(owner_.master_, scratch, sizeof scratch) > 0) {
        }
        board_.hostClosed();
        owner_.writeDump();
    }

    void hostArrived() {
        if (hostPresent_)
            return;
        hostPresent_ = true;
        board_.hostOpened();
    }

    PtyBoard& owner_;
    Board& board_;
    const bool paced_;
    const Clock::duration workDelay_;
    bool hostPresent_ = false;
    int hostFds_ = 0;
    std::deque<std::pair<Clock::time_point, char>> input_;  // paced bytes not yet taken in
    Clock::time_point lastInputAt_{};
    std::deque<OutChunk> output_;
    Clock::time_point lastOutputAt_{};
    bool waitWritable_ = false;
    std::optional<Clock::time_point> wake_;
};

void PtyBoard::run() {
    // The pacing clock wakes the thread once a byte: keep the kernel from
    // batching those wake-ups by its default 50 us slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Loop(*this).serve();
}

QString countersReport(const Counters& c) {
    static const char* const kNames[nxpic::wire::kWireCodeCount] = {
        "code-0", "read",   "write",   "erase",   "code-4",  "code-5",  "digest",  "code-7",
        "start",  "code-9", "code-10", "code-11", "code-12", "code-13", "code-14", "code-15"};
    QString text = QStringLiteral(
                       "bytes received: %1\nbytes sent: %2\nexchanges: %3\nbad frames: %4\n"
                       "corrupted bytes: %5\ndropped requests: %6\ndropped replies: %7\n"
                       "host opens: %8\nhost closes: %9\nlate replies: %10\nstray bytes: %11\n")
                       .arg(c.bytesReceived)
                       .arg(c.bytesSent)
                       .arg(c.exchanges)
                       .arg(c.badFrames)
                       .arg(c.corruptedBytes)
                       .arg(c.droppedRequests)
                       .arg(c.droppedReplies)
                       .arg(c.hostOpens)
                       .arg(c.hostCloses)
                       .arg(c.lateReplies)
                       .arg(c.burstBytes);
    for (int command = 0; command < nxpic::wire::kWireCodeCount; ++command) {
        const CommandCounters& cc = c.perCommand[size_t(command)];
        if (cc.requests == 0)
            continue;
        text += QStringLiteral("%1: %2 requests (%3 bytes, %4 repeated), %5 replies (%6 bytes)\n")
                    .arg(QLatin1String(kNames[command]))
                    .arg(cc.requests)
                    .arg(cc.requestBytes)
                    .arg(cc.repetitions)
                    .arg(cc.replies)
                    .arg(cc.replyBytes);
    }
    return text;
}

}  // namespace vboard
