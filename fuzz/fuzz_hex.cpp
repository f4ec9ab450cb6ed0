// The Intel HEX check and the split into region files, fed with any bytes as
// the content of the image file. Beyond "no crash", a split that succeeds must
// have passed the check on its own, every region line it leaves must have the
// fixed layout the write passes read, and a refused image leaves no file.
#include <QDir>
#include <QFile>
#include <cstdlib>

#include "bootloader/modcomm.h"
#include "fuzz/fuzz_support.h"
#include "startup/globals.h"

namespace {

using namespace dwnfrw;

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// "AAAAAA " then sixteen "HH " groups, ended by CR LF.
bool isRegionLine(const QByteArray& line) {
    if (line.size() != 6 + 1 + 16 * 3)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (!isUpperHex(line[i]))
            return false;
    }
    if (line[6] != ' ')
        return false;
    for (int g = 0; g < 16; ++g) {
        const int at = 7 + g * 3;
        if (!isUpperHex(line[at]) || !isUpperHex(line[at + 1]) || line[at + 2] != ' ')
            return false;
    }
    return true;
}

void checkRegionFile(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly))
        abort();
    const QByteArray text = file.readAll();
    if (text.isEmpty() || !text.endsWith("\r\n"))
        abort();  // an empty region is deleted, a written one ends with its line
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype end = text.indexOf("\r\n", start);
        if (end < 0 || !isRegionLine(text.mid(start, end - start)))
            abort();
        start = end + 2;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const QString scratch = fuzz::scratchFolder();
    // The HEX reader makes the program folder the working folder; libFuzzer
    // reads and writes its corpus relative to the working folder it started in.
    setProgramFolder(QDir::currentPath());
    globals().TempFolder = QDir(scratch).filePath(QStringLiteral("temp"));
    QDir().mkpath(globals().TempFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString hexPath = QDir(fuzz::scratchFolder()).filePath(QStringLiteral("image.hex"));
    if (!fuzz::writeFile(hexPath, fuzz::bytesOf(data, size)))
        abort();

    // No text module is loaded here, so the missing end record's text is empty.
    QString validateMessage;
    const bool valid = ValidateHexFile(hexPath, validateMessage);

    QString splitMessage;
    const bool split = SplitHexFile(hexPath, splitMessage);
    if (split && !valid)
        abort();
    if (!valid && (split || splitMessage != validateMessage))
        abort();  // the split reports the check's own text
    for (const char* name : kRegionFileNames) {
        const QString path = regionFilePath(QString::fromLatin1(name));
        if (split)
            checkRegionFile(path);
        else if (QFile::exists(path))
            abort();  // a refused image leaves no region file for a run to take
    }
    DeleteRegionFiles();
    return 0;
}
