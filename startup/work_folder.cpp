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
        // Unix would unlink a read-only file in a writable folder; deleting
        // without forcing means such a file stays.
        if (!file.isSymLink() && !file.isWritable())
            continue;
        QFile::remove(file.absoluteFilePath());
    }
    QDir().rmdir(folder);
}

}  // namespace dwnfrw
