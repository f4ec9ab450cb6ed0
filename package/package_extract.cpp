#include "package/package_extract.h"

#include <zip.h>

#include <QFile>
#include <QHash>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "startup/globals.h"

namespace dwnfrw {

namespace {

constexpr qint64 kCopyBufferBytes = 64 * 1024;

// Type bits of a member's Unix mode, kept in the high half of the external
// attributes by zip tools on Unix-like systems.
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixSymlink = 0120000;
constexpr uint32_t kUnixDirectory = 0040000;
constexpr uint32_t kDosDirectoryAttribute = 0x10;

// Maps the zip library's error codes onto ours.
ExtractCode codeOfZipError(int zipError) {
    switch (zipError) {
        case ZIP_ER_OK:
            return ExtractCode::Ok;
        case ZIP_ER_NOENT:
        case ZIP_ER_OPEN:
        case ZIP_ER_READ:
        case ZIP_ER_SEEK:
        case ZIP_ER_TELL:
            return ExtractCode::FileUnreadable;
        case ZIP_ER_NOZIP:
            return ExtractCode::NotAnArchive;
        case ZIP_ER_INCONS:
        case ZIP_ER_CRC:
        case ZIP_ER_ZLIB:
        case ZIP_ER_EOF:
        case ZIP_ER_COMPRESSED_DATA:
            return ExtractCode::DamagedArchive;
        case ZIP_ER_WRONGPASSWD:
        case ZIP_ER_NOPASSWD:
            return ExtractCode::WrongPassword;
        case ZIP_ER_COMPNOTSUPP:
        case ZIP_ER_ENCRNOTSUPP:
        case ZIP_ER_MULTIDISK:
            return ExtractCode::Unsupported;
        default:
            return ExtractCode::OtherFailure;
    }
}

// A file that ends early keeps its local headers but loses the central
// directory, which the library then reports as "not a zip archive".
bool startsLikeZip(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return file.read(4) == QByteArray("PK\x03\x04", 4);
}

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;

struct Member {
    zip_uint64_t index;
    QString fileName;
    zip_uint64_t size;
};

enum class MemberKind { File, Directory, Link };

MemberKind kindOf(zip_t* archive, zip_uint64_t index, const QString& name) {
    if (name.endsWith(u'/') || name.endsWith(u'\\'))
        return MemberKind::Directory;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0) {
        return MemberKind::File;
    }
    if (system == ZIP_OPSYS_UNIX) {
        const uint32_t type = (attributes >> 16) & kUnixTypeMask;
        if (type == kUnixSymlink)
            return MemberKind::Link;
        if (type == kUnixDirectory)
            return MemberKind::Directory;
    } else if (system == ZIP_OPSYS_DOS && (attributes & kDosDirectoryAttribute) != 0) {
        return MemberKind::Directory;
    }
    return MemberKind::File;
}

// Reads one member to its end into a new file beside its final name, checking
// every read (a wrong traditional password may pass the open and fail only at
// the CRC), then renames the file into place.
ExtractCode extractMember(zip_t* archive, const Member& member, const QString& folder) {
    zip_file_t* entry = zip_fopen_index(archive, member.index, 0);
    if (entry == nullptr)
        return codeOfZipError(zip_error_code_zip(zip_get_error(archive)));

    QTemporaryFile part(joinPath(folder, QStringLiteral(".unpack-XXXXXX.part")));
    if (!part.open()) {
        zip_fclose(entry);
        return ExtractCode::WriteFailed;
    }

    std::vector<char> buffer(kCopyBufferBytes);
    zip_uint64_t total = 0;
    ExtractCode code = ExtractCode::Ok;
    for (;;) {
        const zip_int64_t got = zip_fread(entry, buffer.data(), buffer.size());
        if (got < 0) {
            code = codeOfZipError(zip_error_code_zip(zip_file_get_error(entry)));
            if (code == ExtractCode::Ok)
                code = ExtractCode::DamagedArchive;
            break;
        }
        if (got == 0)
            break;
        total += static_cast<zip_uint64_t>(got);
        if (total > member.size) {
            code = ExtractCode::DamagedArchive;  // more data than its directory entry declares
            break;
        }
        if (part.write(buffer.data(), got) != got) {
            code = ExtractCode::WriteFailed;
            break;
        }
    }
    const int closeError = zip_fclose(entry);
    if (code == ExtractCode::Ok && closeError != 0)
        code = codeOfZipError(closeError);
    if (code == ExtractCode::Ok && total != member.size)
        code = ExtractCode::DamagedArchive;
    if (code != ExtractCode::Ok)
        return code;

    if (!part.flush())
        return ExtractCode::WriteFailed;
    // Decrypted members are the user's alone, like the folder they land in.
    part.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    part.close();
    // rename() replaces a link of that name instead of writing through it.
    const QByteArray from = QFile::encodeName(part.fileName());
    const QByteArray to = QFile::encodeName(joinPath(folder, member.fileName));
    if (std::rename(from.constData(), to.constData()) != 0)
        return ExtractCode::WriteFailed;
    part.setAutoRemove(false);
    return ExtractCode::Ok;
}

}  // namespace

QString MemberFileName(const QString& memberName) {
    const qsizetype cut = std::max(memberName.lastIndexOf(u'/'), memberName.lastIndexOf(u'\\'));
    return memberName.mid(cut + 1);
}

QStringList PackageMemberNames(const QString& packagePath) {
    QStringList names;
    int openError = ZIP_ER_OK;
    Archive archive(zip_open(QFile::encodeName(packagePath).constData(), ZIP_RDONLY, &openError));
    if (!archive)
        return names;
    const zip_int64_t count =
        std::min<zip_int64_t>(zip_get_num_entries(archive.get(), 0), kMaxPackageMembers);
    for (zip_int64_t index = 0; index < count; ++index) {
        const char* name = zip_get_name(archive.get(), static_cast<zip_uint64_t>(index), 0);
        if (name != nullptr)
            names.append(QString::fromUtf8(name));
    }
    return names;
}

ExtractCode ExtractPackage(const QString& packagePath, const QString& folder) {
    int openError = ZIP_ER_OK;
    Archive archive(zip_open(QFile::encodeName(packagePath).constData(), ZIP_RDONLY | ZIP_CHECKCONS,
                             &openError));
    if (!archive) {
        const ExtractCode code = codeOfZipError(openError);
        if (code == ExtractCode::NotAnArchive && startsLikeZip(packagePath)) {
            return ExtractCode::DamagedArchive;
        }
        return code == ExtractCode::Ok ? ExtractCode::OtherFailure : code;
    }
    if (zip_set_default_password(archive.get(), kPackagePassword) != 0) {
        return ExtractCode::OtherFailure;
    }

    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    if (count < 0)
        return ExtractCode::DamagedArchive;
    if (count > kMaxPackageMembers)
        return ExtractCode::TooManyMembers;

    // Everything is judged from the directory before the first byte is written.
    std::vector<Member> members;
    QHash<QString, zip_uint64_t> seenNames;
    zip_uint64_t declaredTotal = 0;
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive.get(), index, 0, &stat) != 0 || stat.name == nullptr ||
            (stat.valid & ZIP_STAT_SIZE) == 0) {
            return ExtractCode::DamagedArchive;
        }
        if (stat.size > static_cast<zip_uint64_t>(kMaxUnpackedBytes) - declaredTotal) {
            return ExtractCode::TooLarge;
        }
        declaredTotal += stat.size;

        const QString name = QString::fromUtf8(stat.name);
        const MemberKind kind = kindOf(archive.get(), index, name);
        if (kind != MemberKind::File)
            continue;
        // Judged here, not left to zip_fopen_index: its refusal of an unknown
        // encryption method leaks the source it opened.
        if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 &&
            stat.encryption_method != ZIP_EM_NONE &&
            !zip_encryption_method_supported(stat.encryption_method, 0)) {
            return ExtractCode::Unsupported;
        }
        if ((stat.valid & ZIP_STAT_COMP_METHOD) != 0 &&
            !zip_compression_method_supported(stat.comp_method, 0)) {
            return ExtractCode::Unsupported;
        }
        const QString fileName = MemberFileName(name);
        if (fileName.isEmpty() || fileName == u"." || fileName == u"..") {
            return ExtractCode::UnusableName;
        }
        // Packages come from a system whose file names ignore letter case.
        const QString key = fileName.toCaseFolded();
        if (seenNames.contains(key))
            return ExtractCode::NameClash;
        seenNames.insert(key, index);
        members.push_back(Member{index, fileName, stat.size});
    }

    for (const Member& member : members) {
        const ExtractCode code = extractMember(archive.get(), member, folder);
        if (code != ExtractCode::Ok)
            return code;
    }
    return ExtractCode::Ok;
}

}  // namespace dwnfrw
