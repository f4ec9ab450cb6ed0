#include "startup/work_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace dwnfrw {

void removeWorkFolder(const QString& folder) {
    QDir dir(folder);
    if (folder.isEmpty() || !dir.exists())
        return;
    const QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo& file : files) {
        // Unix would unlink a read-only file in a writable folder (and root
        // may write anything), so look at the file's own write bit: deleting
        // without forcing means a read-only file stays.
        if (!file.isSymLink() && !file.permissions().testFlag(QFileDevice::WriteOwner))
            continue;
        if (file.suffix().compare(QLatin1String("fwz"), Qt::CaseInsensitive) == 0)
            continue;
        QFile::remove(file.absoluteFilePath());
    }
    QDir().rmdir(folder);
}

}  // namespace dwnfrw
