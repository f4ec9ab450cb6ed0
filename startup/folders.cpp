#include "startup/folders.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include "startup/globals.h"

namespace dwnfrw {

namespace {

// Appends one level to path and creates it when missing; empty on failure.
QString ensureLevel(const QString& path, const QString& level) {
    const QString next = joinPath(path, level);
    if (!QFileInfo(next).isDir())
        QDir().mkdir(next);
    return next;
}

// HOME names a folder other than "/".
bool homeNamed() {
    const QString home = qEnvironmentVariable("HOME");
    return !home.isEmpty() && QDir(home).absolutePath() != QDir::rootPath();
}

}  // namespace

QString GetSpecialFolderPath(int folderNumber, long /*ownerWindow*/) {
    // On this platform the machine-wide data folder is the user's writable
    // generic data folder and the documents folder is the user's documents.
    QStandardPaths::StandardLocation location;
    switch (folderNumber) {
        case kCommonAppDataFolder:
            location = QStandardPaths::GenericDataLocation;
            break;
        case kPersonalFolder:
            location = QStandardPaths::DocumentsLocation;
            break;
        default:
            return QString();
    }
    QString path = QStandardPaths::writableLocation(location);
    // Without a home folder the documents would land under "/": they go
    // beside the data folder that XDG_DATA_HOME names instead.
    if (location == QStandardPaths::DocumentsLocation && !homeNamed()) {
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        path = data.isEmpty() ? QString() : joinPath(data, QStringLiteral("Documents"));
    }
    if (path.isEmpty())
        return QString();
    // The shell's folders always exist where they come from; a fresh account
    // here may not have made them yet.
    QDir().mkpath(path);
    return QDir::toNativeSeparators(path);
}

bool PrepareDataFolders(const QString& productFolder) {
    GlobalSettings& g = globals();
    bool result = false;
    const QString brand = brandFolder(g.Brand);

    g.DataFolder = GetSpecialFolderPath(kCommonAppDataFolder);
    if (!g.DataFolder.isEmpty() && QFileInfo(g.DataFolder).isDir()) {
        g.DataFolder = ensureLevel(g.DataFolder, brand);
        g.DataFolder = ensureLevel(g.DataFolder, productFolder);
        if (!QFileInfo(g.DataFolder).isDir())
            return false;

        g.DocumentsFolder = GetSpecialFolderPath(kPersonalFolder);
        if (!g.DocumentsFolder.isEmpty() && QFileInfo(g.DocumentsFolder).isDir()) {
            g.DocumentsFolder = ensureLevel(g.DocumentsFolder, brand);
            g.DocumentsFolder = ensureLevel(g.DocumentsFolder, productFolder);
            result = QFileInfo(g.DocumentsFolder).isDir();
        }
    }
    return result;
}

QString portFolder(const QString& folder, const QString& port) {
    return folder + QLatin1Char('-') + port;
}

bool HomeFolderSet() {
    if (homeNamed())
        return true;
    // Without a home folder the data folder the platform gives is what
    // counts: its default lies under "/", but XDG_DATA_HOME may name a
    // folder of its own, usable when it stands or can be made, and writable.
    const QString data =
        QDir::cleanPath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    const QString rootDefault = QDir::cleanPath(QDir::rootPath() + QStringLiteral(".local/share"));
    if (data.isEmpty() || data == QDir::rootPath() || data == rootDefault)
        return false;
    return QDir().mkpath(data) && QFileInfo(data).isWritable();
}

}  // namespace dwnfrw
