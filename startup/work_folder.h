// The working folders: where the program unpacks packages and splits images.
#pragma once

#include <QString>

namespace dwnfrw {

// Creates folder, with any missing parents, private to the user (0700), and
// makes an existing one private again: decrypted package members and region
// files are no one else's to read, also after a crash. True when the folder
// stands at the end.
bool makePrivateFolder(const QString& folder);

// The one clean-up of a working folder: deletes every file and link directly
// in it, read-only ones and packages included, then the folder itself if that
// left it empty. Only the program puts files there (the folder is private and
// a package inside it is refused before anything is unpacked), so everything
// in it is what the program put there. A missing folder is no error.
void removeWorkFolder(const QString& folder);

}  // namespace dwnfrw
