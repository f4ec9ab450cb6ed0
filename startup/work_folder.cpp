#include "startup/work_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace dwnfrw {

namespace {

constexpr QFileDevice::Permissions kPrivateFolder =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser;

}  // namespace

bool makePrivateFolder(const QString& folder) {
    if (folder.isEmpty())
        return false;
    const QFileInfo info(folder);
    if (!info.isDir() && !QDir().mkpath(folder))
        return false;
    QFile::setPermissions(folder, kPrivateFolder);
    return QFileInfo(folder).isDir();
}

void removeWorkFolder(const QString& folder) {
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return;
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        // A link is removed itself, never what it points to.
        if (entry.isSymLink() || !entry.isDir())
            QFile::remove(entry.absoluteFilePath());
    }
    QDir().rmdir(folder);
}

}  // namespace dwnfrw
