#include "startup/single_instance.h"

#include <unistd.h>
#include <QDir>
#include <QLockFile>
#include <QtGlobal>

namespace dwnfrw {

namespace {

QString defaultLockPath() {
    const QString fromEnvironment = qEnvironmentVariable("DWNFRW_INSTANCE_LOCK");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("dwnfrw-%1.lock").arg(static_cast<qulonglong>(getuid())));
}

}  // namespace

SingleInstance::SingleInstance(const QString& lockPath)
    : lock_(std::make_unique<QLockFile>(lockPath.isEmpty() ? defaultLockPath() : lockPath)) {
    // Never age out a live owner's lock; a dead owner's lock is stale at once.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

// tryLock removes a lock whose owning process no longer runs.
bool SingleInstance::acquire() {
    return lock_->tryLock(0);
}

}  // namespace dwnfrw
