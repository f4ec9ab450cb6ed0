#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>

namespace dwnfrw::fuzz {

namespace {

// A memory file system keeps the per-iteration files off the disk when the
// machine has one.
QString scratchParent() {
    const QString chosen = qEnvironmentVariable("DWNFRW_FUZZ_TMP");
    if (!chosen.isEmpty())
        return chosen;
    const QString shm = QStringLiteral("/dev/shm");
    if (QFileInfo(shm).isDir() && QFileInfo(shm).isWritable())
        return shm;
    return QDir::tempPath();
}

std::unique_ptr<QTemporaryDir>& scratchHolder() {
    static std::unique_ptr<QTemporaryDir> holder;
    return holder;
}

}  // namespace

const QString& scratchFolder() {
    static const QString path = [] {
        scratchHolder() = std::make_unique<QTemporaryDir>(scratchParent() +
                                                          QStringLiteral("/dwnfrw-fuzz-XXXXXX"));
        if (!scratchHolder()->isValid())
            abort();
        // libFuzzer may end the process with exit(); the folder goes then too.
        std::atexit([] { scratchHolder().reset(); });
        return scratchHolder()->path();
    }();
    return path;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

void ensureApplication() {
    if (QCoreApplication::instance() != nullptr)
        return;
    static int argc = 1;
    static char name[] = "dwnfrw-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

PtyPeer::PtyPeer() {
    termios raw{};
    cfmakeraw(&raw);
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    devicePath_ = QString::fromLocal8Bit(name);
}

PtyPeer::~PtyPeer() {
    finish();
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

void PtyPeer::serve(RequestLength requestLength, Answer answer) {
    finish();
    // Bytes left over from the exchange before (an answer the host stopped
    // reading, a repeat sent after the answer) would otherwise be taken for
    // this exchange's, and the host would wait out its time-out.
    ::tcflush(master_, TCIOFLUSH);
    ::tcflush(slave_, TCIOFLUSH);
    answered_ = false;
    thread_ = std::thread([this, requestLength = std::move(requestLength),
                           answer = std::move(answer)] { run(requestLength, answer); });
}

bool PtyPeer::finish() {
    if (thread_.joinable())
        thread_.join();
    return answered_;
}

void PtyPeer::run(const RequestLength& requestLength, const Answer& answer) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kRequestWaitMs);
    const auto msLeft = [&deadline] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<long long>(left, 0));
    };

    QByteArray received;
    size_t length = 0;
    char buffer[512];
    while ((length = requestLength(received)) == 0) {
        pollfd in{master_, POLLIN, 0};
        const int left = msLeft();
        if (left == 0 || ::poll(&in, 1, left) <= 0)
            return;
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got > 0)
            received.append(buffer, got);
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            return;
    }

    const QByteArray reply = answer(received.left(static_cast<qsizetype>(length)));
    qsizetype sent = 0;
    while (sent < reply.size()) {
        const ssize_t put =
            ::write(master_, reply.constData() + sent, static_cast<size_t>(reply.size() - sent));
        if (put > 0) {
            sent += put;
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd out{master_, POLLOUT, 0};
        const int left = msLeft();
        if (left == 0 || ::poll(&out, 1, left) <= 0)
            return;
    }
    answered_ = true;
}

}  // namespace dwnfrw::fuzz
