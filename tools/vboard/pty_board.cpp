#include "tools/vboard/pty_board.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QSaveFile>
#include <cerrno>
#include <deque>
#include <optional>

#include "components/nxpicboot/nxpic_wire.h"

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
    const QByteArray link = QFile::encodeName(path);
    ::unlink(link.constData());
    if (::symlink(QFile::encodeName(devicePath_).constData(), link.constData()) != 0) {
        if (error)
            *error = QStringLiteral("Cannot link %1 to %2: %3")
                         .arg(path, devicePath_, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
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
    if (!file.open(QIODevice::WriteOnly) || file.write(board_.dumpHex()) < 0 || !file.commit()) {
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
        // Only our own link goes: another board may have taken the name since.
        if (QFile::symLinkTarget(linkPath_) == devicePath_ ||
            QFile::symLinkTarget(linkPath_).isEmpty())
            ::unlink(QFile::encodeName(linkPath_).constData());
        linkPath_.clear();
    }
    devicePath_.clear();
}

void PtyBoard::run() {
    const BoardOptions& options = board_.options();
    const bool paced = options.paced;
    const auto workDelay = std::chrono::milliseconds(std::max(options.workDelayMs, 0));

    bool hostPresent = false;
    int hostFds = 0;
    std::deque<std::pair<Clock::time_point, char>> input;  // paced bytes not yet taken in
    Clock::time_point lastInputAt{};
    std::deque<OutChunk> output;
    Clock::time_point lastOutputAt{};
    bool waitWritable = false;

    const auto queueReplies = [&](const std::vector<QByteArray>& replies, Clock::time_point at) {
        for (const QByteArray& reply : replies)
            output.push_back({at + workDelay, reply, 0});
    };
    const auto drainMaster = [&] {
        char scratch[kReadChunkBytes];
        while (master_ >= 0 && ::read(master_, scratch, sizeof scratch) > 0) {
        }
    };
    const auto hangUp = [&] {
        if (!hostPresent)
            return;
        hostPresent = false;
        hostFds = 0;
        input.clear();
        output.clear();
        waitWritable = false;
        drainMaster();
        board_.hostClosed();
        writeDump();
    };
    const auto hostArrived = [&] {
        if (hostPresent)
            return;
        hostPresent = true;
        board_.hostOpened();
    };

    for (;;) {
        const Clock::time_point now = Clock::now();

        while (!input.empty() && input.front().first <= now) {
            const auto [at, byte] = input.front();
            input.pop_front();
            queueReplies(board_.receive(QByteArray(1, byte), at), at);
        }

        std::optional<Clock::time_point> wake;
        const auto wakeAt = [&](Clock::time_point t) {
            if (!wake || t < *wake)
                wake = t;
        };
        if (!input.empty())
            wakeAt(input.front().first);

        while (!output.empty() && master_ >= 0 && hostPresent && !waitWritable) {
            OutChunk& chunk = output.front();
            if (chunk.readyAt > now) {
                wakeAt(chunk.readyAt);
                break;
            }
            ssize_t written = 0;
            if (paced) {
                const Clock::time_point due =
                    std::max(chunk.readyAt, lastOutputAt) + kPacedByteTime;
                if (due > now) {
                    wakeAt(due);
                    break;
                }
                written = ::write(master_, chunk.bytes.constData() + chunk.sent, 1);
                if (written == 1)
                    lastOutputAt = due;
            } else {
                written = ::write(master_, chunk.bytes.constData() + chunk.sent,
                                  size_t(chunk.bytes.size() - chunk.sent));
            }
            if (written < 0) {
                if (errno == EAGAIN)
                    waitWritable = true;
                else
                    hangUp();
                break;
            }
            chunk.sent += int(written);
            if (chunk.sent == chunk.bytes.size())
                output.pop_front();
        }

        pollfd fds[3];
        int count = 0;
        fds[count++] = {controlPipe_[0], POLLIN, 0};
        const int inotifyIndex = inotify_ >= 0 ? count : -1;
        if (inotify_ >= 0)
            fds[count++] = {inotify_, POLLIN, 0};
        const int masterIndex = (hostPresent && master_ >= 0) ? count : -1;
        if (masterIndex >= 0)
            fds[count++] = {master_, short(POLLIN | (waitWritable ? POLLOUT : 0)), 0};
        if (!hostPresent && inotify_ < 0 && master_ >= 0)
            wakeAt(now + kHostProbeInterval);

        timespec timeout{};
        if (wake)
            timeout = toTimespec(*wake - Clock::now());
        if (::ppoll(fds, nfds_t(count), wake ? &timeout : nullptr, nullptr) < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN) {
            char commands[16];
            const ssize_t n = ::read(controlPipe_[0], commands, sizeof commands);
            bool quit = false;
            for (ssize_t i = 0; i < n; ++i) {
                if (commands[i] == kControlQuit)
                    quit = true;
                if (commands[i] == kControlUnplug) {
                    hangUp();
                    closeFd(master_);
                    closeFd(inotify_);
                }
            }
            if (n > 0) {
                std::lock_guard lock(controlMutex_);
                controlsHandled_ = controlsSent_;
                controlDone_.notify_all();
            }
            if (quit)
                break;
        }

        if (inotifyIndex >= 0 && inotify_ >= 0 && (fds[inotifyIndex].revents & POLLIN)) {
            alignas(inotify_event) char events[4096];
            ssize_t n = 0;
            // A host may close and the next one open and write before these
            // events are read: then the bytes waiting in the terminal are the
            // new host's, and a hang-up must not drain them.
            bool hungUp = false;
            while ((n = ::read(inotify_, events, sizeof events)) > 0) {
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                    if (event->mask & IN_OPEN) {
                        ++hostFds;
                        if (!hungUp)
                            hostArrived();
                    }
                    if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && --hostFds <= 0) {
                        hostFds = 0;
                        hungUp = true;
                    }
                    at += ssize_t(sizeof(inotify_event) + event->len);
                }
            }
            if (hungUp && hostFds > 0 && hostPresent) {
                input.clear();
                output.clear();
                waitWritable = false;
                board_.hostClosed();
                writeDump();
                board_.hostOpened();
            } else if (hungUp) {
                const int reopened = hostFds;
                hangUp();
                hostFds = reopened;
                if (reopened > 0)
                    hostArrived();
            }
        }

        if (masterIndex >= 0 && master_ >= 0 && hostPresent) {
            const short revents = fds[masterIndex].revents;
            if (revents & POLLOUT)
                waitWritable = false;
            if (revents & POLLIN) {
                char bytes[kReadChunkBytes];
                ssize_t n = 0;
                while ((n = ::read(master_, bytes, sizeof bytes)) > 0) {
                    const Clock::time_point at = Clock::now();
                    if (!paced) {
                        queueReplies(board_.receive(QByteArray(bytes, int(n)), at), at);
                        continue;
                    }
                    // A byte is there only once its ten bits have crossed the wire.
                    for (ssize_t i = 0; i < n; ++i) {
                        lastInputAt = std::max(at, lastInputAt) + kPacedByteTime;
                        input.emplace_back(lastInputAt, bytes[i]);
                    }
                }
                if (n < 0 && errno == EIO)
                    hangUp();
            } else if (revents & (POLLHUP | POLLERR)) {
                hangUp();
            }
        }

        if (!hostPresent && inotify_ < 0 && master_ >= 0) {
            pollfd probe{master_, POLLIN, 0};
            if (::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP))
                hostArrived();
        }
    }
}

QString countersReport(const Counters& c) {
    static const char* const kNames[] = {"version",       "read-program", "write-program",
                                         "erase-program", "read-eeprom",  "write-eeprom"};
    QString text = QStringLiteral(
                       "bytes received: %1\nbytes sent: %2\nexchanges: %3\nbad frames: %4\n"
                       "corrupted bytes: %5\ndropped requests: %6\ndropped replies: %7\n"
                       "host opens: %8\nhost closes: %9\n")
                       .arg(c.bytesReceived)
                       .arg(c.bytesSent)
                       .arg(c.exchanges)
                       .arg(c.badFrames)
                       .arg(c.corruptedBytes)
                       .arg(c.droppedRequests)
                       .arg(c.droppedReplies)
                       .arg(c.hostOpens)
                       .arg(c.hostCloses);
    for (int command = 0; command < nxpic::wire::kCommandCount; ++command) {
        const CommandCounters& cc = c.perCommand[size_t(command)];
        if (cc.requests == 0)
            continue;
        text += QStringLiteral("%1: %2 requests (%3 bytes), %4 replies (%5 bytes)\n")
                    .arg(QLatin1String(kNames[command]))
                    .arg(cc.requests)
                    .arg(cc.requestBytes)
                    .arg(cc.replies)
                    .arg(cc.replyBytes);
    }
    return text;
}

}  // namespace vboard
