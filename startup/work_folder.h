// Removal of the package working folder when the program is done with it.
#pragma once

#include <QString>

namespace dwnfrw {

// Deletes every file directly in folder without forcing (read-only files
// stay), then the folder itself if that left it empty. A package (".fwz") the
// user keeps there stays too: an opening refuses it rather than unpack over
// it, and it was never ours to delete. A missing folder is no error.
void removeWorkFolder(const QString& folder);

}  // namespace dwnfrw
