#include "platform/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/serial_port_name.h"

namespace dwnfrw::serial {

namespace {

struct Held {
    int fd = -1;
    int count = 0;
};

std::mutex g_mutex;
std::map<QString, Held> g_held;  // by device key

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Opens (creating when needed) the lock file of a device. Every user must be
// able to lock it, so it is made readable and writable by all; a lock file
// made by another user is opened for reading, which is all a lock needs.
int openLockFile(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid())
            ::fchmod(fd, 0666);
        return fd;
    }
    if (errno == EACCES)
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    return fd;
}

}  // namespace

QString portLockFolder() {
    // The folder every program of this machine locks devices in; /tmp where
    // the system has none (never TMPDIR, which each run may set its own).
    for (const char* folder : {"/run/lock", "/var/lock"}) {
        if (QFileInfo(QString::fromLatin1(folder)).isDir())
            return QString::fromLatin1(folder);
    }
    return QStringLiteral("/tmp");
}

QString deviceKey(const QString& path) {
    struct stat info {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    if (S_ISCHR(info.st_mode)) {
        return QStringLiteral("c%1.%2")
            .arg(static_cast<qulonglong>(major(info.st_rdev)))
            .arg(static_cast<qulonglong>(minor(info.st_rdev)));
    }
    return QStringLiteral("f%1.%2")
        .arg(static_cast<qulonglong>(info.st_dev))
        .arg(static_cast<qulonglong>(info.st_ino));
}

PortLock::~PortLock() {
    release();
}

PortLock::Claim PortLock::claim(const QString& portName, QString* detail) {
    release();
    const QString device = resolveSerialPortName(portName);
    const QString key = deviceKey(device);
    if (key.isEmpty())
        return Claim::NoDevice;
    std::lock_guard lock(g_mutex);
    Held& held = g_held[key];
    if (held.count == 0) {
        const QString path =
            QDir(portLockFolder()).filePath(QStringLiteral("dwnfrw-port-%1.lock").arg(key));
        const int fd = openLockFile(path);
        if (fd < 0) {
            if (detail)
                *detail = QStringLiteral("%1: %2").arg(path, systemError());
            g_held.erase(key);
            return Claim::Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const bool busy = errno == EWOULDBLOCK;
            if (detail)
                *detail = busy ? QFileInfo(device).canonicalFilePath()
                               : QStringLiteral("%1: %2").arg(path, systemError());
            ::close(fd);
            g_held.erase(key);
            return busy ? Claim::InUse : Claim::Failed;
        }
        held.fd = fd;
    }
    ++held.count;
    key_ = key;
    return Claim::Held;
}

void PortLock::release() {
    if (key_.isEmpty())
        return;
    std::lock_guard lock(g_mutex);
    const auto it = g_held.find(key_);
    key_.clear();
    if (it == g_held.end() || --it->second.count > 0)
        return;
    // The file stays: removing it would let a second run lock a new file of
    // the same name while a third still holds the old one.
    ::close(it->second.fd);
    g_held.erase(it);
}

}  // namespace dwnfrw::serial
