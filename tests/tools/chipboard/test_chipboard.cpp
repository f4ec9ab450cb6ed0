// The simulated chip on the bench, through its pseudo-terminal and its memory
// files, running the bench's test firmware (firmware/bench_test.asm): what a
// firmware engineer relies on when the bootloader runs there.

#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>

#include "components/nxpicboot/nxpic_wire.h"
#include "platform/serial_line.h"
#include "tests/support/chipboard_fixture.h"
#include "tools/chipboard/line_faults.h"
#include "tools/chipfacts/pic18f452_facts.h"
#include "tools/vboard/intel_hex.h"

namespace {

using dwnfrw::serial::Clock;
using dwnfrw::serial::SerialLine;
using dwnfrw::testing::benchTestFirmware;
using dwnfrw::testing::ChipBoardOnPort;

constexpr auto kReplyTimeout = std::chrono::seconds(5);
constexpr char kEscape = 0x1B;

QByteArray bytes(std::initializer_list<char> list) {
    return QByteArray(list.begin(), qsizetype(list.size()));
}

QByteArray address(uint32_t at) {
    return bytes({char(at >> 16), char(at >> 8), char(at)});
}

// The test firmware's commands.
class BenchFirmware {
  public:
    explicit BenchFirmware(const QString& port) { opened_ = line_.open(port, 9600, &error_); }
    bool opened() const { return opened_; }
    QString error() const { return error_; }

    QByteArray exchange(const QByteArray& request, int replyBytes) {
        if (!line_.write(request, Clock::now() + kReplyTimeout))
            return {};
        return line_.readExactly(replyBytes, Clock::now() + kReplyTimeout);
    }
    bool erase(uint32_t at) { return exchange(bytes({kEscape, 'E'}) + address(at), 1) == "K"; }
    bool write(uint32_t at, const QByteArray& block) {
        return exchange(bytes({kEscape, 'W'}) + address(at) + block, 1) == "K";
    }
    QByteArray read(uint32_t at, int count) {
        return exchange(bytes({kEscape, 'R'}) + address(at) + char(count), count);
    }
    // Polls of EECON1.WR the write took (5 cycles each), or -1.
    int writeEeprom(uint8_t at, uint8_t value) {
        const QByteArray reply = exchange(bytes({kEscape, 'P', char(at), char(value)}), 3);
        if (reply.size() != 3 || reply[0] != 'K')
            return -1;
        return uint8_t(reply[1]) | uint8_t(reply[2]) << 8;
    }
    QByteArray readEeprom(uint8_t at) { return exchange(bytes({kEscape, 'Q', char(at)}), 1); }

  private:
    SerialLine line_;
    bool opened_ = false;
    QString error_;
};

QByteArray fill(int count, uint8_t value) {
    return QByteArray(count, char(value));
}

// Bytes the echo carries: anything but the firmware's escape.
QByteArray echoPayload(int count) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char(0x20 + (i * 7) % 0xD0);
    return bytes;
}

vboard::PicMemory loadDump(const QString& path, QString* error) {
    vboard::PicMemory memory(vboard::pic18f452Layout(), vboard::StartContents::Blank);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        *error = QStringLiteral("no dump at ") + path;
    else if (!vboard::loadIntelHex(file.readAll(), memory, error) && error->isEmpty())
        *error = QStringLiteral("unreadable dump");
    return memory;
}

// The test firmware with extra configuration bytes, a later record over the
// image's own.
QString firmwareWithConfig(const QTemporaryDir& dir, uint32_t offset, uint8_t value) {
    QFile original(benchTestFirmware());
    original.open(QIODevice::ReadOnly);
    QByteArray text = original.readAll();
    text.replace(":00000001FF", "");
    text += vboard::intelHexRecord(4, 0, QByteArray::fromHex("0030"), "\n");
    text += vboard::intelHexRecord(0, uint16_t(offset), QByteArray(1, char(value)), "\n");
    text += ":00000001FF\n";
    const QString path = dir.filePath(QStringLiteral("configured.hex"));
    QFile out(path);
    out.open(QIODevice::WriteOnly);
    out.write(text);
    return path;
}

struct MemoryCase {
    const char* name;
    uint32_t at;
    // Blocks written before the erase (address, byte), the erase address (0:
    // none), blocks written after it.
    std::vector<std::pair<uint32_t, uint8_t>> before;
    uint32_t eraseAt;
    std::vector<std::pair<uint32_t, uint8_t>> after;
    int readBytes;
    QByteArray expected;
};

TEST(ChipBoard, FlashKeepsTheChipsRules) {
    const uint8_t a = 0x5A;
    const uint8_t b = 0x3C;
    const MemoryCase cases[] = {
        {"erase clears exactly its 64-byte row",
         0x1000,
         {{0x0FF8, 0x11}, {0x1000, 0x22}, {0x1038, 0x33}, {0x1040, 0x44}},
         0x1010,
         {},
         80,
         fill(8, 0x11) + fill(64, 0xFF) + fill(8, 0x44)},
        {"a write without an erase only clears bits",
         0x1100,
         {{0x1100, a}, {0x1100, b}},
         0,
         {},
         8,
         fill(8, a & b)},
        {"an erase then a write takes the bytes",
         0x1200,
         {{0x1200, 0x0F}},
         0x1200,
         {{0x1200, 0xF0}},
         8,
         fill(8, 0xF0)},
        {"the user ID erases and writes like flash",
         chipfacts::kUserIdFirst,
         {{chipfacts::kUserIdFirst, 0x81}},
         chipfacts::kUserIdFirst,
         {{chipfacts::kUserIdFirst, 0x42}},
         8,
         fill(8, 0x42)},
        {"the device ID is the PIC18F452's",
         chipfacts::kDeviceIdAddress,
         {},
         0,
         {},
         2,
         QByteArray::fromHex("2604")},
    };
    // The address shift puts each case's blocks on the firmware's blank rows.
    ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware()});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    BenchFirmware firmware(chip.portName());
    ASSERT_TRUE(firmware.opened()) << qPrintable(firmware.error());
    for (const MemoryCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [at, value] : c.before)
            ASSERT_TRUE(firmware.write(at, fill(8, value)));
        if (c.eraseAt != 0) {
            ASSERT_TRUE(firmware.erase(c.eraseAt));
        }
        for (const auto& [at, value] : c.after)
            ASSERT_TRUE(firmware.write(at, fill(8, value)));
        const uint32_t from = c.readBytes == 80 ? c.at - 8 : c.at;
        EXPECT_EQ(firmware.read(from, c.readBytes).toHex(), c.expected.toHex());
    }
    const QByteArray id = firmware.read(chipfacts::kDeviceIdAddress, 2);
    ASSERT_EQ(id.size(), 2);
    EXPECT_EQ((uint8_t(id[1]) * 256 + uint8_t(id[0])) / 32, 33);
}

TEST(ChipBoard, EepromWriteTakesMilliseconds) {
    ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware()});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    BenchFirmware firmware(chip.portName());
    ASSERT_TRUE(firmware.opened()) << qPrintable(firmware.error());
    const int polls = firmware.writeEeprom(0x10, 0xA7);
    // 4 ms at 10 MHz is 10 000 instruction cycles, 2 000 polls of 5 cycles.
    EXPECT_GE(polls, 1900);
    EXPECT_LE(polls, 2100);
    EXPECT_EQ(firmware.readEeprom(0x10), QByteArray(1, char(0xA7)));
}

TEST(ChipBoard, WriteProtectionComesFromTheConfiguration) {
    QTemporaryDir dir;
    struct Case {
        const char* name;
        uint8_t config6h;
        bool bootBlockChanges;
    };
    // CONFIG6H bit 6 is WRTB: 0 protects the boot block.
    const Case cases[] = {{"WRTB on", 0xA0, false}, {"WRTB off", 0xE0, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString dump = dir.filePath(QStringLiteral("dump.hex"));
        ChipBoardOnPort chip({QStringLiteral("--firmware"),
                              firmwareWithConfig(dir, 0x0B, c.config6h), QStringLiteral("--dump"),
                              dump});
        ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
        QByteArray bootRow;
        {
            BenchFirmware firmware(chip.portName());
            ASSERT_TRUE(firmware.opened());
            // The firmware's code starts at 000040: row 1 of the boot block holds it.
            bootRow = firmware.read(0x0100, 64);
            ASSERT_TRUE(firmware.write(0x01C0, fill(8, 0x00)));
            ASSERT_TRUE(firmware.erase(0x0180));
            ASSERT_TRUE(firmware.write(0x1000, fill(8, 0x00)));
            const QByteArray after = firmware.read(0x0180, 72);
            EXPECT_EQ(after.left(8) == fill(8, 0xFF) && after.mid(64) == fill(8, 0x00),
                      c.bootBlockChanges);
        }
        ASSERT_TRUE(chip.stop());
        QString error;
        const vboard::PicMemory memory = loadDump(dump, &error);
        ASSERT_TRUE(error.isEmpty()) << qPrintable(error);
        EXPECT_EQ(memory.peek(0x0100, 64), bootRow);
        EXPECT_EQ(memory.peek(0x1000, 8), fill(8, 0x00));  // outside the boot block
        EXPECT_EQ(uint8_t(memory.peek(chipfacts::kConfigFirst + 0x0B, 1)[0]), c.config6h);
        // 4 words of the write and 32 of the erase refused, or none.
        EXPECT_EQ(chip.counter("write-protected words"), c.bootBlockChanges ? 0 : 36);
    }
}

TEST(ChipBoard, EchoSurvivesTheHostClosingAndOpening) {
    ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware()});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    const QByteArray payload = echoPayload(43);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        SerialLine line;
        ASSERT_TRUE(line.open(chip.portName(), 9600));
        ASSERT_TRUE(line.write(payload, Clock::now() + kReplyTimeout));
        EXPECT_EQ(line.readExactly(int(payload.size()), Clock::now() + kReplyTimeout), payload);
    }
    ASSERT_TRUE(chip.stop());
    EXPECT_EQ(chip.counter("host opens"), 3);
    EXPECT_EQ(chip.counter("host closes"), 3);
    EXPECT_EQ(chip.counter("bytes received"), 3 * 43);
    EXPECT_EQ(chip.counter("framing errors"), 0);
}

TEST(ChipBoard, PacedEchoKeepsToTheWallClock) {
    ChipBoardOnPort chip(
        {QStringLiteral("--firmware"), benchTestFirmware(), QStringLiteral("--paced")});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    SerialLine line;
    ASSERT_TRUE(line.open(chip.portName(), 9600));
    const QByteArray payload = echoPayload(1000);
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(line.write(payload, Clock::now() + kReplyTimeout));
    EXPECT_EQ(line.readExactly(int(payload.size()), Clock::now() + kReplyTimeout), payload);
    // 1 000 bytes of 10 bits at 9600 baud: 1.0417 s at the least.
    EXPECT_GE(timer.elapsed(), 1041);
}

TEST(ChipBoard, StateKeepsMemoryAcrossAStopAndAStart) {
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("board.state"));
    const QByteArray block = QByteArray::fromHex("0123456789abcdef");
    {
        ChipBoardOnPort chip(
            {QStringLiteral("--firmware"), benchTestFirmware(), QStringLiteral("--state"), state});
        ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
        BenchFirmware firmware(chip.portName());
        ASSERT_TRUE(firmware.opened());
        ASSERT_TRUE(firmware.erase(0x2000));
        ASSERT_TRUE(firmware.write(0x2008, block));
        ASSERT_GT(firmware.writeEeprom(0x20, 0x99), 0);
        ASSERT_TRUE(chip.stop());
        EXPECT_LE(chip.stopMs(), 1000);
    }
    // The state holds the program too: no firmware image is needed.
    ChipBoardOnPort chip({QStringLiteral("--firmware"), dir.filePath(QStringLiteral("none.hex")),
                          QStringLiteral("--state"), state});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    BenchFirmware firmware(chip.portName());
    ASSERT_TRUE(firmware.opened());
    EXPECT_EQ(firmware.read(0x2000, 16), fill(8, 0xFF) + block);
    EXPECT_EQ(firmware.readEeprom(0x20), QByteArray(1, char(0x99)));
}

TEST(ChipBoard, SigtermMidRunLeavesAStateThatLoads) {
    QTemporaryDir dir;
    const QString state = dir.filePath(QStringLiteral("board.state"));
    const QByteArray block = QByteArray::fromHex("a1a2a3a4a5a6a7a8");
    {
        ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware(),
                              QStringLiteral("--state"), state, QStringLiteral("--paced")});
        ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
        BenchFirmware firmware(chip.portName());
        ASSERT_TRUE(firmware.opened());
        ASSERT_TRUE(firmware.write(0x3000, block));
        // The end comes while an echo is on the wire.
        ASSERT_EQ(firmware.exchange(echoPayload(500), 50).size(), 50);
        ASSERT_TRUE(chip.stop());
        EXPECT_LE(chip.stopMs(), 1000);
    }
    ChipBoardOnPort chip({QStringLiteral("--state"), state});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    BenchFirmware firmware(chip.portName());
    ASSERT_TRUE(firmware.opened());
    EXPECT_EQ(firmware.read(0x3000, 8), block);
    const QByteArray payload = echoPayload(20);
    EXPECT_EQ(firmware.exchange(payload, int(payload.size())), payload);
}

TEST(ChipBoard, CorruptionDamagesBothDirections) {
    ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware(),
                          QStringLiteral("--corrupt"), QStringLiteral("1")});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    {
        SerialLine line;
        ASSERT_TRUE(line.open(chip.portName(), 9600));
        ASSERT_TRUE(line.write(QByteArray(10, 'a'), Clock::now() + kReplyTimeout));
        EXPECT_EQ(line.readExactly(10, Clock::now() + kReplyTimeout).size(), 10);
    }
    ASSERT_TRUE(chip.stop());
    // Each byte is damaged on the way in and again on the way back.
    EXPECT_EQ(chip.counter("corrupted bytes"), 20);
}

TEST(ChipBoard, DroppedFramesAreWholeRequestsOrTheirAnswers) {
    ChipBoardOnPort chip({QStringLiteral("--firmware"), benchTestFirmware(),
                          QStringLiteral("--drop"), QStringLiteral("1"), QStringLiteral("--seed"),
                          QStringLiteral("7")});
    ASSERT_TRUE(chip.ok()) << qPrintable(chip.error());
    // Valid request frames (a program read each); the echo firmware sends each
    // one back unless the bridge lost it on the way in.
    constexpr int kFrames = 8;
    const QByteArray frame = nxpic::wire::encodeRequest(QByteArray::fromHex("1100020010"));
    int echoed = 0;
    {
        SerialLine line;
        ASSERT_TRUE(line.open(chip.portName(), 9600));
        for (int i = 0; i < kFrames; ++i)
            ASSERT_TRUE(line.write(frame + "xy", Clock::now() + kReplyTimeout));
        // Every filler comes back whatever happened to the frames.
        QByteArray all;
        while (all.count("xy") < kFrames) {
            const QByteArray some = line.readSome(Clock::now() + kReplyTimeout);
            if (some.isEmpty())
                break;
            all += some;
        }
        echoed = int(all.count(frame));
        EXPECT_EQ(all.count("xy"), kFrames);
    }
    ASSERT_TRUE(chip.stop());
    const long long requests = chip.counter("dropped requests");
    EXPECT_EQ(requests + chip.counter("dropped replies"), kFrames);
    EXPECT_GT(requests, 0);
    EXPECT_EQ(echoed, kFrames - requests);
}

std::vector<uint8_t> passHost(chipbench::LineFaults& faults, const QByteArray& in) {
    std::vector<uint8_t> out;
    for (char c : in)
        faults.fromHost(uint8_t(c), out);
    return out;
}

QByteArray asBytes(const std::vector<uint8_t>& v) {
    return QByteArray(reinterpret_cast<const char*>(v.data()), qsizetype(v.size()));
}

TEST(LineFaults, OnlyWholeValidRequestFramesAreDropped) {
    // A program read of 16 bytes: its answer is 5A, 16 bytes, CHECK.
    const QByteArray frame = nxpic::wire::encodeRequest(QByteArray::fromHex("1100020010"));
    QByteArray badCrc = frame;
    badCrc[badCrc.size() - 1] = char(badCrc[badCrc.size() - 1] ^ 0x01);
    struct Case {
        const char* name;
        QByteArray in;
    };
    const Case passing[] = {
        {"bytes outside a frame", QByteArray("abc")},
        {"a frame with a damaged CRC", badCrc},
        {"an impossible length", QByteArray::fromHex("a500")},
        {"a length past the largest body", QByteArray::fromHex("a5ff01")},
    };
    for (const Case& c : passing) {
        SCOPED_TRACE(c.name);
        chipbench::LineFaults faults(0.0, 1.0, 1);
        EXPECT_EQ(asBytes(passHost(faults, c.in)).toHex(), c.in.toHex());
        EXPECT_EQ(faults.counters().droppedRequests + faults.counters().droppedReplies, 0u);
    }
    bool sawRequest = false;
    bool sawReply = false;
    for (uint32_t seed = 1; seed <= 16; ++seed) {
        SCOPED_TRACE(seed);
        chipbench::LineFaults faults(0.0, 1.0, seed);
        const QByteArray reachedChip = asBytes(passHost(faults, frame));
        if (faults.counters().droppedRequests == 1) {
            sawRequest = true;
            EXPECT_TRUE(reachedChip.isEmpty());
            continue;
        }
        sawReply = true;
        ASSERT_EQ(faults.counters().droppedReplies, 1u);
        EXPECT_EQ(reachedChip, frame);
        // A stray byte before the answer still reaches the host; then exactly
        // the answer's 19 bytes are lost, and what follows arrives.
        uint8_t stray = 0x11;
        EXPECT_TRUE(faults.fromChip(stray));
        for (int i = 0; i < 19; ++i) {
            uint8_t byte = i == 0 ? nxpic::wire::kReplyStart : uint8_t(i);
            EXPECT_FALSE(faults.fromChip(byte)) << i;
        }
        uint8_t next = nxpic::wire::kReplyStart;
        EXPECT_TRUE(faults.fromChip(next));
    }
    EXPECT_TRUE(sawRequest);
    EXPECT_TRUE(sawReply);
}

TEST(ChipBoard, RefusesBadArguments) {
    struct Case {
        const char* name;
        QStringList arguments;
        const char* message;
    };
    const Case cases[] = {
        {"missing firmware",
         {QStringLiteral("--firmware"), QStringLiteral("/nonexistent/b.hex")},
         "no firmware image at /nonexistent/b.hex"},
        {"clock too fast", {QStringLiteral("--clock"), QStringLiteral("80000000")}, "--clock"},
        {"rate above one", {QStringLiteral("--drop"), QStringLiteral("1.5")}, "--drop"},
        {"speed zero", {QStringLiteral("--speed"), QStringLiteral("0")}, "--speed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QProcess process;
        process.start(dwnfrw::testing::chipboardProgram(), c.arguments);
        ASSERT_TRUE(process.waitForFinished(5000));
        EXPECT_EQ(process.exitCode(), 2);
        EXPECT_TRUE(process.readAllStandardError().contains(c.message));
    }
}

}  // namespace
