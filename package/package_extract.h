// Unpacking of a firmware package (a zip archive, its members encrypted with the
// package password or not) into the working folder.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace dwnfrw {

// Every member is extracted with this password; unencrypted members ignore it.
inline constexpr const char* kPackagePassword = "K7302Q";

// Limits that keep a hostile package from filling the disk or the memory.
inline constexpr int64_t kMaxPackageMembers = 1000;
inline constexpr int64_t kMaxUnpackedBytes = 64LL * 1024 * 1024;

// Result of the extraction, shown to the user as "(code:N)".
enum class ExtractCode : int16_t {
    Ok = 0,
    FileUnreadable = 1,  // the package file is missing or cannot be read
    NotAnArchive = 2,    // not a zip archive at all
    DamagedArchive = 3,  // inconsistent directory, bad data, CRC or length mismatch
    WrongPassword = 4,   // a member is encrypted with another password
    Unsupported = 5,     // compression, encryption or multi-disk layout not supported
    TooManyMembers = 6,  // more than kMaxPackageMembers members
    TooLarge = 7,        // more than kMaxUnpackedBytes unpacked in all
    UnusableName = 8,    // a member name that leaves no file name (".", "..", empty)
    NameClash = 9,       // two members whose file names differ only in letter case or folder
    WriteFailed = 10,    // a file in the working folder cannot be created, written or renamed
    OtherFailure = 11,   // out of memory, or any other failure of the zip library
};

// Extracts every member of the archive at packagePath as a plain file directly
// in folder: folder parts of member names are dropped (a backslash counts as a
// separator too), directory entries and symbolic links create nothing. Checks
// the limits and the names before anything is written, then writes each member
// under a temporary name and renames it into place, so no existing link in the
// folder is ever followed. The folder must exist.
ExtractCode ExtractPackage(const QString& packagePath, const QString& folder);

// The names of the archive's members as its directory lists them (folders and
// links included); empty when the archive cannot be opened.
QStringList PackageMemberNames(const QString& packagePath);

// The file name a member name reduces to, or empty text for a directory entry.
QString MemberFileName(const QString& memberName);

}  // namespace dwnfrw
