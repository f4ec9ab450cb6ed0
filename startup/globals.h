// Program-wide settings and folders fixed at start-up and read everywhere else.
#pragma once

#include <QString>
#include <cstdint>

namespace dwnfrw {

struct GlobalSettings {
    // Fixed from the command line by Main.
    bool LogEnabled = false;
    bool NoCheck = false;
    bool NoCheckPlus = false;
    bool UseProfileFile = false;
    int32_t ComPort = 0;
    QString LanguageCode;
    int32_t Brand = 0;  // 1 = second brand; any other value = first brand
    QString AppName;

    // Working folders (absolute, no trailing separator).
    QString DataFolder;
    QString DocumentsFolder;
    QString TempFolder;
    QString LogsFolder;

    // Set by the "stop" command; cleared by the run and by every erase or write pass.
    bool StopRequested = false;
};

// The one instance of the program's settings.
GlobalSettings& globals();

// Restores every setting to its value before start-up (tests only).
void resetGlobals();

// Product identifier of the language modules, product folder, brand folder and
// companion product name of the brand in `Brand`.
QString brandProductId(int32_t brand);
QString brandProductFolder(int32_t brand);
QString brandFolder(int32_t brand);
QString brandAppName(int32_t brand);
inline bool isSecondBrand(int32_t brand) {
    return brand == 1;
}

// Joins two path parts with this platform's separator.
QString joinPath(const QString& base, const QString& name);

// The folder that holds the executable, its component libraries and the text
// modules. Tests point it at their build folder.
QString programFolder();
// Makes the program's folder the working folder, as every package and bootloader
// operation expects: relative paths there mean the program's own files.
void enterProgramFolder();
void setProgramFolder(const QString& folder);

}  // namespace dwnfrw
