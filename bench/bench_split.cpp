// Benchmark of the HEX split and of a full programming pass.
//
// 1. A synthetic Intel HEX image of about 4 MiB (records over all four regions,
//    unaligned lengths so that most 16-byte groups are shared by two or three
//    records, groups first seen out of order) is split into region files; the
//    same file is converted to binary by `srec_cat FILE -intel -o OUT -binary`
//    in the same run, and the two times are compared.
// 2. A 32 KiB image is erased, written and verified on the virtual board over
//    an unpaced pseudo-terminal.
//
// Usage: bench_split [--keep DIR]  (DIR keeps the generated image and outputs)
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "bootloader/modcomm.h"
#include "startup/frontend.h"
#include "startup/globals.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/pty_board.h"

using namespace dwnfrw;

namespace {

constexpr qsizetype kImageBytes = 4 * 1024 * 1024;
constexpr int kSplitRuns = 5;
constexpr int kSrecRuns = 3;
constexpr int kBenchPort = 7;
constexpr int kSrecTimeoutMs = 60000;

struct Record {
    uint32_t address;  // full 32-bit address
    QByteArray data;
};

// Disjoint records of 1 to 32 bytes covering [base, base + span).
void addSpan(std::vector<Record>& records, uint32_t base, uint32_t span, std::mt19937& random) {
    std::uniform_int_distribution<int> length(1, 32);
    std::uniform_int_distribution<int> byte(0, 255);
    uint32_t at = 0;
    while (at < span) {
        const int n = std::min<int>(length(random), int(span - at));
        Record record{base + at, QByteArray(n, '\0')};
        for (char& b : record.data)
            b = char(byte(random));
        records.push_back(std::move(record));
        at += uint32_t(n);
    }
}

void appendRecord(QByteArray& text, uint16_t address, uint8_t type, const QByteArray& data) {
    text += vboard::intelHexRecord(type, address, data);
}

// Records in chunks of 64; the chunks and the records inside each are shuffled,
// so the regions interleave and groups are first seen out of address order.
QByteArray synthesiseImage(uint32_t programSpan, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Record> records;
    // The other regions grow with the image up to the 64 KiB that one
    // extended address reaches.
    const uint32_t otherSpan = std::min<uint32_t>(0x10000, programSpan / 8);
    addSpan(records, 0x000000, programSpan, random);
    addSpan(records, 0x200000, otherSpan, random);  // user ID
    addSpan(records, 0x300000, otherSpan, random);  // configuration
    addSpan(records, 0xF00000, otherSpan, random);  // EEPROM
    std::vector<std::vector<Record>> chunks;
    for (size_t i = 0; i < records.size(); i += 64) {
        chunks.emplace_back(records.begin() + std::ptrdiff_t(i),
                            records.begin() + std::ptrdiff_t(std::min(records.size(), i + 64)));
        std::shuffle(chunks.back().begin(), chunks.back().end(), random);
    }
    std::shuffle(chunks.begin(), chunks.end(), random);

    QByteArray text;
    text.reserve(kImageBytes + kImageBytes / 4);
    uint32_t upper = 0;
    for (const auto& chunk : chunks) {
        for (const Record& record : chunk) {
            // A record must not cross a 64 KiB boundary.
            const uint32_t recordUpper = record.address >> 16;
            const uint32_t lastUpper = (record.address + uint32_t(record.data.size()) - 1) >> 16;
            QByteArray data = record.data;
            uint32_t address = record.address;
            if (lastUpper != recordUpper) {
                const int first = int(0x10000 - (address & 0xFFFF));
                if (recordUpper != upper) {
                    upper = recordUpper;
                    appendRecord(
                        text, 0, 4,
                        QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
                }
                appendRecord(text, uint16_t(address & 0xFFFF), 0, data.left(first));
                data = data.mid(first);
                address += uint32_t(first);
            }
            if ((address >> 16) != upper) {
                upper = address >> 16;
                appendRecord(
                    text, 0, 4,
                    QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
            }
            appendRecord(text, uint16_t(address & 0xFFFF), 0, data);
        }
    }
    text += ":00000001FF\r\n";
    return text;
}

// An image of at least `bytes` characters.
QByteArray imageOfSize(qsizetype bytes) {
    // Program memory stays within its 2 MiB (extended addresses 0x0000 to 0x001F).
    constexpr uint32_t kProgramSpanLimit = 0x200000;
    uint32_t programSpan = uint32_t(bytes / 4);
    for (;;) {
        QByteArray text = synthesiseImage(programSpan, 42);
        if (text.size() >= bytes || programSpan == kProgramSpanLimit)
            return text;
        const double grow = double(bytes) / double(text.size()) * 1.01;
        programSpan = std::min(kProgramSpanLimit, uint32_t(double(programSpan) * grow));
    }
}

// Data records of an image and the region lines they make before merging.
struct ImageShape {
    long long records = 0;
    long long groupLines = 0;
};

ImageShape shapeOf(const QByteArray& image) {
    ImageShape shape;
    for (const QByteArray& line : image.split('\n')) {
        if (line.size() < 9 || line[0] != ':' || line.mid(7, 2) != "00")
            continue;
        const int count = line.mid(1, 2).toInt(nullptr, 16);
        const int offset = line.mid(3, 4).toInt(nullptr, 16) % 16;
        ++shape.records;
        shape.groupLines += (offset + count + 15) / 16;
    }
    return shape;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

double megabytes(qsizetype bytes) {
    return double(bytes) / (1024.0 * 1024.0);
}

// Best of `runs` timings, in milliseconds; negative on failure.
double timeSplit(const QString& hexPath, int runs, QString& message) {
    double best = -1;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        if (!SplitHexFile(hexPath, message))
            return -1;
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (best < 0 || ms < best)
            best = ms;
    }
    return best;
}

double timeSrecCat(const QString& hexPath, const QString& binPath, QString& failure) {
    const QString srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
    if (srecCat.isEmpty()) {
        failure = QStringLiteral("srec_cat not found");
        return -1;
    }
    double best = -1;
    for (int run = 0; run < kSrecRuns; ++run) {
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(srecCat, {hexPath, QStringLiteral("-intel"), QStringLiteral("-o"), binPath,
                                QStringLiteral("-binary")});
        if (!process.waitForFinished(kSrecTimeoutMs) || process.exitCode() != 0) {
            failure = QString::fromLocal8Bit(process.readAllStandardError()).left(400);
            return -1;
        }
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (best < 0 || ms < best)
            best = ms;
    }
    return best;
}

class SilentProgress : public ProgressView {
  public:
    void setOperationText(const QString&) override {}
    void setPercentText(const QString&) override {}
    void setPercentVisible(bool) override {}
    void setBarVisible(bool) override {}
    void setBarMaximum(int) override {}
    void setBarValue(int) override {}
};

class NoEvents : public EventPump {
  public:
    void processEvents() override {}
};

// Erase, write and verify of a full 32 KiB program image on the virtual board.
bool benchProgramming(const QString& folder) {
    QTemporaryDir ports;
    qputenv("DWNFRW_PORTS", QFile::encodeName(ports.path()));
    vboard::PtyBoard board;
    QString error;
    if (!board.start(&error) ||
        !board.linkAs(QDir(ports.path()).filePath(QStringLiteral("COM%1").arg(kBenchPort)),
                      &error)) {
        std::printf("virtual board: %s\n", qPrintable(error));
        return false;
    }

    QByteArray image;
    QRandomGenerator random(3);
    QByteArray program(0x8000, char(0xFF));
    for (int i = 0x200; i < program.size(); ++i)
        program[i] = char(random.bounded(256));
    // The boot block below 0x200 is the bootloader's own: the program never
    // writes it, and the board keeps what it holds there.
    for (int at = 0x200; at < program.size(); at += 16) {
        appendRecord(image, uint16_t(at), 0, program.mid(at, 16));
    }
    image += ":00000001FF\r\n";
    const QString hexPath = QDir(folder).filePath(QStringLiteral("image32k.hex"));
    QString message;
    if (!writeFile(hexPath, image) || !InitBootloader(kBenchPort, message) ||
        !SplitHexFile(hexPath, message)) {
        std::printf("preparing the 32 KiB image failed: %s\n", qPrintable(message));
        return false;
    }

    SilentProgress progress;
    NoEvents events;
    PassContext ctx{progress, events};
    QElapsedTimer clock;
    clock.start();
    RegionImages images;
    const bool ok = LoadPicProfile(bootloaderSettings().profile, message) &&
                    ReadPlannedRegions(images, message) && ConnectBootloader(kBenchPort, message) &&
                    EraseDevice(ctx, true, true, message) && DownloadRegions(ctx, images, message);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    DisconnectBootloader();
    if (!ok) {
        std::printf("programming failed: %s\n", qPrintable(message));
        return false;
    }
    const bool same = board.read(0x200, 0x8000 - 0x200) == program.mid(0x200);
    const vboard::Counters counters = board.counters();
    std::printf(
        "32 KiB erase + write + verify, unpaced pty: %.2f s (%llu exchanges, %llu bytes "
        "to the board, %llu bytes back), memory %s\n",
        seconds, static_cast<unsigned long long>(counters.exchanges),
        static_cast<unsigned long long>(counters.bytesReceived),
        static_cast<unsigned long long>(counters.bytesSent),
        same ? "equal to the image" : "DIFFERENT from the image");
    board.stop();
    return same && seconds < 10.0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    QString folder = scratch.path();
    const QStringList args = app.arguments();
    const qsizetype keep = args.indexOf(QStringLiteral("--keep"));
    if (keep > 0 && keep + 1 < args.size()) {
        folder = args[keep + 1];
        QDir().mkpath(folder);
    }
    globals().TempFolder = folder;

    // Child mode: time one image in a fresh process, print the milliseconds.
    const qsizetype child = args.indexOf(QStringLiteral("--time-split"));
    if (child > 0 && child + 1 < args.size()) {
        QString message;
        const double ms = timeSplit(args[child + 1], kSplitRuns, message);
        if (ms < 0) {
            std::printf("split failed: %s\n", qPrintable(message));
            return 1;
        }
        std::printf("%.3f\n", ms);
        return 0;
    }

    std::printf(
        "Split, each size in a fresh process (best of %d runs; ValidateHexFile + split "
        "+ MergeRegionFile):\n",
        kSplitRuns);
    bool ok = true;
    double splitMs4 = -1;
    QString image4Path;
    for (qsizetype size : {kImageBytes / 4, kImageBytes / 2, kImageBytes}) {
        const QByteArray image = imageOfSize(size);
        const QString hexPath =
            QDir(folder).filePath(QStringLiteral("synthetic_%1k.hex").arg(size / 1024));
        if (!writeFile(hexPath, image)) {
            std::printf("cannot write %s\n", qPrintable(hexPath));
            return 1;
        }
        // A process of its own per size, so that what the allocator kept from
        // the previous size does not colour the next.
        QProcess timing;
        timing.start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--time-split"), hexPath, QStringLiteral("--keep"), folder});
        const bool finished = timing.waitForFinished(kSrecTimeoutMs);
        const QByteArray answer = timing.readAllStandardOutput().trimmed();
        bool parsed = false;
        const double ms = answer.toDouble(&parsed);
        if (!finished || timing.exitCode() != 0 || !parsed) {
            std::printf("split failed: %s\n", answer.constData());
            return 1;
        }
        qsizetype regionBytes = 0;
        for (const char* name : kRegionFileNames) {
            regionBytes += QFileInfo(regionFilePath(QString::fromLatin1(name))).size();
        }
        const ImageShape shape = shapeOf(image);
        std::printf(
            "  %6.2f MiB HEX: %7.1f ms %6.1f MB/s  (%lld records, %lld region lines "
            "merged into %lld)\n",
            megabytes(image.size()), ms, megabytes(image.size()) / (ms / 1000.0), shape.records,
            shape.groupLines, static_cast<long long>(regionBytes / 57));
        if (size == kImageBytes) {
            splitMs4 = ms;
            image4Path = hexPath;
            ok = ok && ms < 1000.0;
        }
    }

    QString failure;
    const QString binPath = QDir(folder).filePath(QStringLiteral("synthetic.bin"));
    const double srecMs = timeSrecCat(image4Path, binPath, failure);
    if (srecMs < 0) {
        std::printf("srec_cat: %s\n", qPrintable(failure));
    } else {
        std::printf("srec_cat %s -intel -o %s -binary: %.1f ms (best of %d)\n",
                    qPrintable(QFileInfo(image4Path).fileName()),
                    qPrintable(QFileInfo(binPath).fileName()), srecMs, kSrecRuns);
        std::printf("split time / srec_cat time: %.2f (below 1: the split is faster)\n",
                    splitMs4 / srecMs);
    }

    ok = benchProgramming(folder) && ok;
    return ok ? 0 : 1;
}
