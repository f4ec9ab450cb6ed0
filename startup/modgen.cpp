#include "startup/modgen.h"

#include <QDir>
#include <QFileInfo>

#include "bootloader/modpic.h"
#include "startup/command_line.h"
#include "startup/folders.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/work_folder.h"

namespace dwnfrw {

namespace {

constexpr int kTextNoHomeFolder = 1140;

void createFolderIfMissing(const QString& path) {
    if (!QFileInfo(path).isDir())
        QDir().mkdir(path);
}

}  // namespace

StartupEnd Main(const QString& commandLine, StartupHost& host) {
    if (host.anotherCopyRunning())
        return StartupEnd::AnotherCopy;
    if (commandLine.isEmpty())
        return StartupEnd::EmptyCommandLine;

    GlobalSettings& g = globals();
    parseCommandLine(commandLine, g);
    if (g.LanguageCode.isEmpty() || g.ComPort == 0)
        return StartupEnd::MissingSetting;

    host.prepareGui();
    QString message;
    if (!LoadLanguage(brandProductId(g.Brand), g.LanguageCode, message)) {
        host.showMessage(message);
        return StartupEnd::LanguageFailed;
    }

    // Without a home folder the platform places the data folders under "/".
    if (!HomeFolderSet()) {
        host.showMessage(GetText(kTextNoHomeFolder));
        return StartupEnd::NoHomeFolder;
    }
    PrepareDataFolders(brandProductFolder(g.Brand));
    g.AppName = brandAppName(g.Brand);

    g.TempFolder = joinPath(g.DataFolder, QStringLiteral("temp"));
    makePrivateFolder(g.TempFolder);
    g.LogsFolder = joinPath(g.DataFolder, QStringLiteral("logs"));
    createFolderIfMissing(g.LogsFolder);

    if (g.UseProfileFile)
        WriteDefaultProfile();

    host.showMainWindow();
    return StartupEnd::WindowShown;
}

}  // namespace dwnfrw
