#include "package/package_validation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "package/modgestfrw.h"
#include "package/package_extract.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/work_folder.h"

namespace dwnfrw {

namespace {

constexpr int32_t kTextFolderMissing = 1013;
constexpr int32_t kTextNotDescribed = 1014;
constexpr int32_t kTextVersionTooOld = 1015;
constexpr int32_t kTextExtractionFailed = 1016;
constexpr int32_t kTextInsideWorkFolder = 1138;
constexpr int32_t kTextNotRegularFile = 1139;
constexpr int32_t kTextMissingFile = 1193;

const QString kDescriptionFile = QStringLiteral("info.txt");

bool folderExists(const QString& folder) {
    return !folder.isEmpty() && QFileInfo(folder).isDir();
}

// The description file, found without regard to letter case.
QString findDescriptionFile(const QFileInfoList& files) {
    for (const QFileInfo& file : files) {
        if (file.fileName().compare(kDescriptionFile, Qt::CaseInsensitive) == 0) {
            return file.absoluteFilePath();
        }
    }
    return {};
}

// A part of the version text as a decimal number; blanks and the line break
// that ends the last entry of a block are ignored. Anything else leaves the
// number unchanged.
void readVersionPart(const QStringList& parts, qsizetype index, int32_t& number) {
    if (index >= parts.size())
        return;
    bool ok = false;
    const int value = parts[index].trimmed().toInt(&ok, 10);
    if (ok)
        number = value;
}

// True when path is folder or lies somewhere below it, links resolved: such a
// package would be deleted by the clean-up of the working folder.
bool liesInsideFolder(const QString& path, const QString& folder) {
    const QString resolvedFolder = QFileInfo(folder).canonicalFilePath();
    const QString resolvedPath = QFileInfo(path).canonicalFilePath();
    if (resolvedFolder.isEmpty() || resolvedPath.isEmpty())
        return false;
    return resolvedPath == resolvedFolder ||
           resolvedPath.startsWith(resolvedFolder + QLatin1Char('/'));
}

}  // namespace

QString FileExtension(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot < 0 ? QString() : fileName.mid(dot + 1);
}

QFileInfoList ListPackageFiles(const QString& folder) {
    QFileInfoList files = QDir(folder).entryInfoList(
        QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDir::NoSort);
    std::sort(files.begin(), files.end(), [](const QFileInfo& a, const QFileInfo& b) {
        const int order = a.fileName().compare(b.fileName(), Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.fileName() < b.fileName();
    });
    return files;
}

bool ValidateFileFRW(PackageSession& session, const QString& FileIn, QString& FileOut,
                     int32_t& PointerSTRUCT, QString& ERROUT) {
    ResetInfoFRWTable();
    // A package whose version cannot be read must not be judged by the
    // numbers of the package opened before it.
    session.FwVersionMajor = 0;
    session.FwVersionMinor = 0;
    session.FwVersionBuild = 0;

    const QString& workFolder = session.WorkFolder;
    // A pipe or device would block the extraction, and a package inside the
    // working folder would be deleted by the clean-up below: refuse both
    // before anything is touched.
    if (!QFileInfo(FileIn).isFile()) {
        ERROUT =
            GetText(QFileInfo::exists(FileIn) ? kTextNotRegularFile : kTextMissingFile).arg(FileIn);
        return false;
    }
    if (!workFolder.isEmpty() && liesInsideFolder(FileIn, workFolder)) {
        ERROUT = GetText(kTextInsideWorkFolder).arg(FileIn, workFolder);
        return false;
    }
    if (!workFolder.isEmpty()) {
        removeWorkFolder(workFolder);
        makePrivateFolder(workFolder);
    }
    if (!folderExists(workFolder)) {
        ERROUT = GetText(kTextFolderMissing);
        return false;
    }

    const ExtractCode code = ExtractPackage(FileIn, workFolder);
    if (code != ExtractCode::Ok) {
        ERROUT = GetText(kTextExtractionFailed) + QStringLiteral(" (code:") +
                 QString::number(static_cast<int16_t>(code)) + u')';
        return false;
    }

    const QFileInfoList files = ListPackageFiles(workFolder);
    const QString infoPath = findDescriptionFile(files);
    if (infoPath.isEmpty()) {
        ERROUT = GetText(kTextNotDescribed);
        return false;
    }

    // Read once: a package may hold many files and a large description.
    InfoFile info;
    info.load(infoPath);

    QList<InfoFRW>& table = InfoFRWTable();
    table.clear();
    int32_t fileCount = 0;
    for (const QFileInfo& file : files) {
        const QString extension = FileExtension(file.fileName()).toUpper();
        if (extension == u"TXT" || extension == u"TMP")
            continue;

        ++fileCount;
        table.resize(fileCount + 1);
        table[fileCount].Articoli = QStringList{QString()};
        if (!ReadInfoFRW(file.fileName(), table[fileCount], info)) {
            ERROUT = GetText(kTextNotDescribed);
            return false;
        }

        if (extension == u"HEX") {
            const QStringList parts =
                QString(table[fileCount].FwVer).replace(u'_', u'.').split(u'.');
            readVersionPart(parts, 0, session.FwVersionMajor);
            readVersionPart(parts, 1, session.FwVersionMinor);
            readVersionPart(parts, 2, session.FwVersionBuild);
            FileOut = file.absoluteFilePath();
            PointerSTRUCT = fileCount;
            if (!globals().NoCheck && session.FwVersionMajor < kMinimumMajorVersion) {
                ERROUT = GetText(kTextVersionTooOld);
                return false;
            }
        }
    }
    return true;
}

}  // namespace dwnfrw
