// Validation of a firmware package: unpack it into the working folder, read the
// description of every firmware file and judge the HEX image's version.
#pragma once

#include <QFileInfoList>
#include <QString>
#include <cstdint>

#include "package/package_session.h"

namespace dwnfrw {

// The lowest major firmware version accepted without "/NOCHECK".
inline constexpr int32_t kMinimumMajorVersion = 4;

// Empties session.WorkFolder, unpacks FileIn into it and fills InfoFRWTable and
// the session's version numbers. FileOut and PointerSTRUCT receive the HEX
// image's path and record index when the package holds one; ERROUT receives
// the failure text when the result is false.
bool ValidateFileFRW(PackageSession& session, const QString& FileIn, QString& FileOut,
                     int32_t& PointerSTRUCT, QString& ERROUT);

// The files directly in folder, ordered by name without regard to letter case
// (names equal but for case by their exact spelling). Links and sub-folders are
// not listed.
QFileInfoList ListPackageFiles(const QString& folder);

// The extension of a file name: the text after its last "."; empty without one.
QString FileExtension(const QString& fileName);

}  // namespace dwnfrw
