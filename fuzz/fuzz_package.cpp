// Package validation fed with any bytes as the package file: unpacking with
// libzip, the description file and the version rule. Beyond "no crash", the
// extraction must leave only plain files directly in the working folder and
// nothing beside it, whatever the archive claims.
#include <QDir>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "package/modgestfrw.h"
#include "package/package_validation.h"
#include "startup/globals.h"

namespace {

using namespace dwnfrw;

const QString kPackageName = QStringLiteral("package.fwz");
const QString kWorkName = QStringLiteral("tempfrw");

[[noreturn]] void fail(const char* what, const QString& detail) {
    fprintf(stderr, "%s: %s\n", what, qPrintable(detail));
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QDir scratch(fuzz::scratchFolder());
    const QString packagePath = scratch.filePath(kPackageName);
    if (!fuzz::writeFile(packagePath, fuzz::bytesOf(data, size)))
        abort();

    // Without "/NOCHECK" an old image stops the validation early; the parity of
    // the length picks the setting, so both paths see every kind of archive.
    globals().NoCheck = size % 2 == 1;

    PackageSession session;
    session.WorkFolder = scratch.filePath(kWorkName);
    QString hexPath;
    int32_t pointer = -1;
    QString failure;
    const bool valid = ValidateFileFRW(session, packagePath, hexPath, pointer, failure);

    // Only the package and the working folder stand in the scratch folder.
    const QStringList top =
        scratch.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    if (top != QStringList({kPackageName, kWorkName}))
        fail("something was written beside the working folder", top.join(u' '));
    const QFileInfoList unpacked =
        QDir(session.WorkFolder)
            .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : unpacked) {
        if (entry.isSymLink() || !entry.isFile())
            fail("the extraction made something other than a plain file", entry.fileName());
        if (entry.fileName().endsWith(QStringLiteral(".part")))
            fail("a partial member was left behind", entry.fileName());
    }

    const QList<InfoFRW>& table = InfoFRWTable();
    if (valid) {
        if (!hexPath.isEmpty() && (pointer < 1 || pointer >= table.size()))
            fail("the HEX image's record is outside the table", QString::number(pointer));
        if (!hexPath.isEmpty() && !QFileInfo(hexPath).isFile())
            fail("the HEX image is not where validation says", hexPath);
    }
    return 0;
}
