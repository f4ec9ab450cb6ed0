// Packages made by the tests themselves: zip archives built with libzip
// (unencrypted or AES) or with the zip tool (traditional encryption), and
// small info.txt texts.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <ostream>
#include <vector>

#include "package/package_extract.h"
#include "startup/globals.h"
#include "startup/localtext.h"

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace dwnfrw::testing {

// The English texts built next to the tests, so failure texts are real texts.
inline bool loadPackageTexts() {
    static const bool loaded = [] {
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        QString code = QStringLiteral("ENG");
        QString message;
        return LoadLanguage(brandProductId(0), code, message) && !GetText(1014).isEmpty();
    }();
    return loaded;
}

enum class MemberKind { File, Directory, Symlink };
enum class Encryption { None, Aes256 };

struct ZipMember {
    QString name;
    QByteArray data;
    MemberKind kind = MemberKind::File;
};

inline constexpr uint32_t kUnixFileMode = 0100644;
inline constexpr uint32_t kUnixLinkMode = 0120777;

// Builds an archive with libzip. Every member is encrypted with password
// unless encryption is None; stored members keep their bytes visible in the file.
inline ::testing::AssertionResult buildZip(const QString& path,
                                           const std::vector<ZipMember>& members,
                                           Encryption encryption = Encryption::None,
                                           const char* password = kPackagePassword,
                                           bool stored = false) {
    int error = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (archive == nullptr)
        return ::testing::AssertionFailure() << "zip_open " << error;
    for (const ZipMember& member : members) {
        const QByteArray name = member.name.toUtf8();
        zip_int64_t index = -1;
        if (member.kind == MemberKind::Directory) {
            index = zip_dir_add(archive, name.constData(), ZIP_FL_ENC_UTF_8);
        } else {
            // The buffer must outlive zip_close, so libzip gets its own copy.
            void* copy = malloc(size_t(std::max<qsizetype>(member.data.size(), 1)));
            memcpy(copy, member.data.constData(), size_t(member.data.size()));
            zip_source_t* source =
                zip_source_buffer(archive, copy, zip_uint64_t(member.data.size()), 1);
            index = zip_file_add(archive, name.constData(), source, ZIP_FL_ENC_UTF_8);
            if (index < 0)
                zip_source_free(source);
        }
        if (index < 0) {
            zip_discard(archive);
            return ::testing::AssertionFailure() << "cannot add " << name.constData();
        }
        if (member.kind == MemberKind::Symlink || member.kind == MemberKind::File) {
            const uint32_t mode =
                member.kind == MemberKind::Symlink ? kUnixLinkMode : kUnixFileMode;
            zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                             mode << 16);
        }
        if (stored)
            zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0);
        if (encryption == Encryption::Aes256 && member.kind != MemberKind::Directory &&
            zip_file_set_encryption(archive, zip_uint64_t(index), ZIP_EM_AES_256, password) != 0) {
            zip_discard(archive);
            return ::testing::AssertionFailure() << "AES encryption is not available";
        }
    }
    if (zip_close(archive) != 0) {
        const std::string why = zip_strerror(archive);
        zip_discard(archive);
        return ::testing::AssertionFailure() << "zip_close: " << why;
    }
    return ::testing::AssertionSuccess();
}

inline bool zipToolAvailable() {
    return !QStandardPaths::findExecutable(QStringLiteral("zip")).isEmpty();
}

// Builds an archive with traditional zip encryption through the zip tool; the
// files are written flat into a scratch folder first.
inline ::testing::AssertionResult buildZipTraditional(
    const QString& path, const std::vector<ZipMember>& files,
    const QString& password = QString::fromLatin1(kPackagePassword)) {
    QTemporaryDir staging;
    QStringList arguments{QStringLiteral("-q"),
                          QStringLiteral("-X"),
                          QStringLiteral("-j"),
                          QStringLiteral("-P"),
                          password,
                          path};
    for (const ZipMember& member : files) {
        const QString file = QDir(staging.path()).filePath(member.name);
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(member.data) != member.data.size()) {
            return ::testing::AssertionFailure() << "cannot stage " << member.name.toStdString();
        }
        arguments << file;
    }
    QFile::remove(path);
    QProcess zipTool;
    zipTool.start(QStringLiteral("zip"), arguments);
    if (!zipTool.waitForFinished(30000) || zipTool.exitCode() != 0) {
        return ::testing::AssertionFailure()
               << "zip failed: " << zipTool.readAllStandardError().toStdString();
    }
    return ::testing::AssertionSuccess();
}

// One block of info.txt, lines ended by CR LF as packages are written.
inline QByteArray infoBlock(const QString& fileName, const QString& version,
                            const QString& name = QString()) {
    QString text = u'{' + fileName + QStringLiteral("}\r\n");
    if (!name.isEmpty())
        text += QStringLiteral("[NOME]\r\n") + name + QStringLiteral("\r\n");
    text += QStringLiteral("[FW_VER]\r\n") + version + QStringLiteral("\r\n{END}\r\n");
    return text.toUtf8();
}

// A HEX image that the region split and the device accept: two bytes at
// 0x000200, where the application starts.
inline const QByteArray kTinyHex = QByteArrayLiteral(":020200000102F9\r\n:00000001FF\r\n");

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// The names in a folder (files, links and sub-folders), sorted.
inline QStringList folderNames(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

}  // namespace dwnfrw::testing
