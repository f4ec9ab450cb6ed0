// The working folders under the machine-wide data folder and the documents folder.
#pragma once

#include <QString>

namespace dwnfrw {

// Special-folder numbers as the Windows shell names them.
inline constexpr int kCommonAppDataFolder = 35;
inline constexpr int kPersonalFolder = 5;

// The path of a special folder, or empty text when the platform cannot give it.
QString GetSpecialFolderPath(int folderNumber, long ownerWindow = 0);

// Sets DataFolder and DocumentsFolder for the brand and productFolder, creating
// missing levels; true when both exist at the end.
bool PrepareDataFolders(const QString& productFolder);

// The folder a run on one port uses in place of a folder that runs on other
// ports would share: folder "temp" and port "COM3" give "temp-COM3". The
// window, a single copy, keeps the shared folders.
QString portFolder(const QString& folder, const QString& port);

// True when the data folders have a place: the user's home folder is named
// and is not the root folder, or else the data folder actually used (named by
// XDG_DATA_HOME) is neither "/" nor under it by default, and can be made and
// written.
bool HomeFolderSet();

}  // namespace dwnfrw
