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

// True when the user's home folder is named and is not the root folder.
bool HomeFolderSet();

}  // namespace dwnfrw
