#include "package/package_opening.h"

#include <QDir>
#include <QFileInfo>

#include "bootloader/modcomm.h"
#include "package/package_extract.h"
#include "package/package_validation.h"
#include "startup/command_states.h"
#include "startup/globals.h"
#include "startup/localtext.h"

namespace dwnfrw {

namespace {

constexpr int32_t kTextTitle = 1002;
constexpr int32_t kTextDialogTitle = 1008;
constexpr int32_t kTextDialogFilter = 1009;
constexpr int32_t kTextNoPackage = 1010;
constexpr int32_t kTextOpenFailed = 1011;
constexpr int32_t kTextPackageLoaded = 1012;
constexpr int32_t kTextNoUsableHex = 1135;
constexpr int32_t kTextNoHexMember = 1136;
constexpr int32_t kTextUnusableHexMember = 1137;

const QString kPackageExtension = QStringLiteral(".FWZ");

// The package test looks for ".FWZ" from the fifth character before the end,
// so "x.fwz" in any letter case passes, and so does one extra character after it.
bool looksLikePackage(const QString& path) {
    const qsizetype from = path.size() - kPackageExtension.size() - 1;
    if (from < 0)
        return false;
    return path.toUpper().indexOf(kPackageExtension, from) >= 0;
}

// Back to "No package": the region files of the previous package go too.
void resetPackageState(Frontend& frontend) {
    DeleteRegionFiles();
    frontend.toolbar.setStatusCaption(u' ' + GetText(kTextNoPackage));
    applyNoPackage(frontend.toolbar);
}

void showFailure(Frontend& frontend, const QString& prompt) {
    frontend.dialogs.message(prompt, GetText(kTextTitle), MsgButtons::Ok, MsgIcon::Critical);
}

// Why a package gave no HEX image: a member that looks like one but is a
// folder, a link or a name with blanks around it, or no such member at all.
QString missingHexText(const QString& packagePath) {
    QString reason = GetText(kTextNoHexMember);
    for (const QString& member : PackageMemberNames(packagePath)) {
        QString name = member.trimmed();
        while (name.endsWith(u'/') || name.endsWith(u'\\'))
            name.chop(1);
        if (name.endsWith(QStringLiteral(".hex"), Qt::CaseInsensitive)) {
            reason = GetText(kTextUnusableHexMember).arg(member);
            break;
        }
    }
    return GetText(kTextNoUsableHex).arg(packagePath, reason);
}

// The image must fit the device that the profile in force describes: the
// built-in one, or with "/D" the file, read here without being changed.
bool imageFitsDevice(const QString& hexPath, QString& message) {
    PicProfile profile;
    return LoadPicProfile(profile, message) && CheckPicProfile(profile, message) &&
           CheckImageForDevice(hexPath, profile, message);
}

}  // namespace

QString ExtractFileName(const QString& PathFileIn) {
    const qsizetype cut = PathFileIn.lastIndexOf(QDir::separator());
    return cut < 0 ? QString() : PathFileIn.mid(cut + 1);
}

bool OpenFile(PackageSession& session, Frontend& frontend) {
    OpenFileRequest request;
    request.title = GetText(kTextDialogTitle);
    // Packages are kept in "dat"; before the first one arrives the folder may
    // not exist, and a dialog started in a missing folder would take its name
    // for a file name.
    const QString packagesFolder = joinPath(globals().DocumentsFolder, QStringLiteral("dat"));
    request.initialFolder =
        QFileInfo(packagesFolder).isDir() ? packagesFolder : globals().DocumentsFolder;
    request.filter = GetText(kTextDialogFilter) + u' ' + QStringLiteral(" (*.Fwz) |*.fwz");
    request.fileName = QString();
    request.pathMustExist = true;

    const std::optional<QString> chosen = frontend.dialogs.openFile(request);
    if (!chosen)
        return false;
    const QString& path = *chosen;
    if (path.isEmpty()) {
        frontend.events.processEvents();
        return false;
    }

    session.HexPath.clear();
    session.PackagePath.clear();
    if (!looksLikePackage(path)) {
        resetPackageState(frontend);
        frontend.events.processEvents();
        return false;
    }

    QString hexPath;
    int32_t hexRecord = 0;
    QString failure;
    if (!ValidateFileFRW(session, path, hexPath, hexRecord, failure)) {
        resetPackageState(frontend);
        showFailure(frontend, GetText(kTextOpenFailed) + u'\r' + failure);
        frontend.events.processEvents();
        return false;
    }

    // A failed bootloader set-up is reported, but the HEX image decides the state.
    const int32_t port = frontend.toolbar.selectedPort();
    QString initFailure;
    if (!InitBootloader(port, initFailure)) {
        showFailure(frontend, GetText(kTextOpenFailed) + u'\r' + initFailure);
    }

    QString splitFailure;
    if (hexPath.isEmpty()) {
        splitFailure = missingHexText(path);
    } else if (SplitHexFile(hexPath, splitFailure) && imageFitsDevice(hexPath, splitFailure)) {
        splitFailure.clear();
    } else if (splitFailure.isEmpty()) {
        splitFailure = GetText(kTextOpenFailed);
    }
    if (!splitFailure.isEmpty()) {
        showFailure(frontend, splitFailure);
        DeleteRegionFiles();
        frontend.toolbar.setStatusCaption(u' ' + GetText(kTextNoPackage));
        applyNoPackage(frontend.toolbar);
        return false;
    }

    session.HexPath = hexPath;
    session.PackagePath = QFileInfo(path).absoluteFilePath();
    frontend.toolbar.setStatusCaption(u' ' + GetText(kTextPackageLoaded) + QStringLiteral(": ") +
                                      ExtractFileName(path));
    applyPackageAccepted(frontend.toolbar);
    frontend.events.processEvents();
    return true;
}

}  // namespace dwnfrw
