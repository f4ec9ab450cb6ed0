// What the main window keeps about the loaded package.
#pragma once

#include <QString>
#include <cstdint>

namespace dwnfrw {

struct PackageSession {
    QString WorkFolder;  // DataFolder + "tempfrw"; set when the window loads
    int32_t FwVersionMajor = 0;
    int32_t FwVersionMinor = 0;
    int32_t FwVersionBuild = 0;
    QString HexPath;      // the loaded package's HEX image; empty when no package is loaded
    QString PackagePath;  // the loaded package file itself; empty when none is loaded
};

}  // namespace dwnfrw
