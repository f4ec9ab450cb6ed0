// bench_link: the bootloader library against the virtual board on a
// pseudo-terminal.
//
//   bench_link            exchanges per second over an unpaced terminal:
//                         version queries, row erases, write-and-verify pairs
//   bench_link --paced    every byte paced at 9600 baud 8N1: the time of each
//                         exchange type against its bytes at 960 bytes/s
//
// Prints Markdown tables; the byte counts are the board's own.

#include <QCoreApplication>
#include <QStringList>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "components/nxpicboot/nxpicboot.h"
#include "tools/vboard/pty_board.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kVersionQueries = 1000;
constexpr int kWritePairs = 2048;
constexpr int kPacedRepeats = 20;
constexpr int kLineBytes = 16;
constexpr uint32_t kProgramLow = 0x000200;
constexpr uint32_t kProgramHigh = 0x007FFF;
constexpr int kRowBytes = 64;
constexpr double kWireBytesPerSecond = 960.0;  // 9600 baud, 10 bits a byte
// VerifyPIC asks the board for a digest of program memory.
constexpr int kDigestCommand = 6;

struct Measure {
    const char* name;
    int count = 0;
    double seconds = 0;
    uint64_t bytes = 0;  // request and reply bytes the board counted
};

PicBlock block(uint8_t command, uint32_t address) {
    PicBlock b{};
    b.Command = command;
    b.DataLength = kLineBytes;
    b.Address = int32_t(address);
    b.BlockSize = 8;
    b.BytesPerAddr = 1;
    b.MaxRetries = 3;
    return b;
}

uint32_t lineAddress(int i) {
    const int lines = int(kProgramHigh + 1 - kProgramLow) / kLineBytes;
    return kProgramLow + uint32_t(i % lines) * kLineBytes;
}

void lineData(uint32_t address, uint8_t* data) {
    for (int i = 0; i < kLineBytes; ++i)
        data[i] = uint8_t((address >> 4) * 7 + i * 13);
}

bool versionQuery(int32_t handle) {
    uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {0x00, 0x02};
    return SendGetPacket(handle, packet, 2, 10, 3) == 4 && packet[3] == 0xFA;
}

bool eraseRow(int32_t handle, uint32_t address) {
    uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {0x03, 0x01, uint8_t(address),
                                                 uint8_t(address >> 8), uint8_t(address >> 16)};
    return SendGetPacket(handle, packet, 5, 255, 5) >= 0;
}

bool writeLine(int32_t handle, uint32_t address) {
    uint8_t data[NXPIC_DATA_BUFFER_BYTES] = {};
    lineData(address, data);
    PicBlock b = block(2, address);
    return WritePIC(handle, &b, data) >= 0;
}

bool verifyLine(int32_t handle, uint32_t address) {
    uint8_t data[NXPIC_DATA_BUFFER_BYTES] = {};
    lineData(address, data);
    PicBlock b = block(1, address);
    return VerifyPIC(handle, &b, data) >= 0;
}

uint64_t commandBytes(const vboard::Counters& c, int command) {
    return c.perCommand[size_t(command)].requestBytes + c.perCommand[size_t(command)].replyBytes;
}

template <typename Step>
bool timed(Measure& m, int count, Step step) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        if (!step(i)) {
            std::fprintf(stderr, "bench_link: %s %d failed\n", m.name, i);
            return false;
        }
    }
    m.seconds += std::chrono::duration<double>(Clock::now() - start).count();
    m.count += count;
    return true;
}

int run(bool paced) {
    vboard::BoardOptions options;
    options.paced = paced;
    vboard::PtyBoard board(options);
    QString error;
    if (!board.start(&error)) {
        std::fprintf(stderr, "bench_link: %s\n", qPrintable(error));
        return 1;
    }
    const int32_t handle = OpenPIC(board.devicePath().toLocal8Bit().constData(), 9600, 1000);
    if (handle <= 0) {
        std::fprintf(stderr, "bench_link: cannot open %s\n", qPrintable(board.devicePath()));
        return 1;
    }

    const int versions = paced ? kPacedRepeats : kVersionQueries;
    const int rows = paced ? kPacedRepeats : int(kProgramHigh + 1 - kProgramLow) / kRowBytes;
    const int pairs = paced ? kPacedRepeats : kWritePairs;
    Measure version{"version query"}, erase{"row erase"}, write{"write 16 bytes"},
        verify{"verify 16 bytes"}, pair{"write-and-verify pair"};

    vboard::Counters before = board.counters();
    if (!timed(version, versions, [&](int) { return versionQuery(handle); }))
        return 1;
    vboard::Counters after = board.counters();
    version.bytes = commandBytes(after, 0) - commandBytes(before, 0);

    before = after;
    if (!timed(erase, rows,
               [&](int i) { return eraseRow(handle, kProgramLow + uint32_t(i) * kRowBytes); }))
        return 1;
    after = board.counters();
    erase.bytes = commandBytes(after, 3) - commandBytes(before, 3);

    if (paced) {
        // Each exchange type on its own, so its time is its own.
        before = after;
        if (!timed(write, pairs, [&](int i) { return writeLine(handle, lineAddress(i)); }))
            return 1;
        after = board.counters();
        write.bytes = commandBytes(after, 2) - commandBytes(before, 2);
        before = after;
        if (!timed(verify, pairs, [&](int i) { return verifyLine(handle, lineAddress(i)); }))
            return 1;
        after = board.counters();
        verify.bytes = commandBytes(after, kDigestCommand) - commandBytes(before, kDigestCommand);
    } else {
        before = after;
        if (!timed(pair, pairs, [&](int i) {
                return writeLine(handle, lineAddress(i)) && verifyLine(handle, lineAddress(i));
            }))
            return 1;
        after = board.counters();
        pair.bytes = commandBytes(after, kDigestCommand) + commandBytes(after, 2) -
                     commandBytes(before, kDigestCommand) - commandBytes(before, 2);
    }
    ClosePIC(handle);
    board.stop();

    if (!paced) {
        std::printf("| Exchange | Count | Seconds | Exchanges/s | Bytes on the wire each |\n");
        std::printf("|---|---:|---:|---:|---:|\n");
        for (const Measure* m : {&version, &erase}) {
            std::printf("| %s | %d | %.3f | %.0f | %.1f |\n", m->name, m->count, m->seconds,
                        m->count / m->seconds, double(m->bytes) / m->count);
        }
        std::printf("| %s (2 exchanges) | %d | %.3f | %.0f | %.1f |\n", pair.name, pair.count,
                    pair.seconds, 2 * pair.count / pair.seconds, double(pair.bytes) / pair.count);
        return 0;
    }
    std::printf(
        "| Exchange | Bytes (request + reply) | Wire time at 960 B/s (ms) | Measured (ms) | "
        "Ratio |\n");
    std::printf("|---|---:|---:|---:|---:|\n");
    for (const Measure* m : {&version, &erase, &write, &verify}) {
        const double bytes = double(m->bytes) / m->count;
        const double wireMs = bytes / kWireBytesPerSecond * 1000.0;
        const double measuredMs = m->seconds / m->count * 1000.0;
        std::printf("| %s | %.0f | %.2f | %.2f | %.3f |\n", m->name, bytes, wireMs, measuredMs,
                    measuredMs / wireMs);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    for (const QString& a : args) {
        if (a != QLatin1String("--paced")) {
            std::fprintf(stderr, "usage: bench_link [--paced]\n");
            return 2;
        }
    }
    return run(args.contains(QLatin1String("--paced")));
}
