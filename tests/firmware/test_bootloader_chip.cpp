// The resident bootloader (firmware/bootloader/bootloader.asm) on the
// simulated PIC18F452 of chipboard, spoken to by the real library over the
// pseudo-terminal, and by raw bytes where frames are to be damaged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <cstring>
#include <iostream>

#include "components/nxpicboot/nxpic_wire.h"
#include "components/nxpicboot/nxpicboot.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/pic_memory.h"

namespace {

namespace wire = nxpic::wire;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kPortNumber = 7;
constexpr int32_t kReadTimeoutMs = 1000;
constexpr uint32_t kBootBlockEnd = 0x000200;

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// chipboard running the bootloader, its link in a ports folder of its own.
class ChipOnPort {
  public:
    ChipOnPort() {
        qputenv("DWNFRW_PORTS", QFile::encodeName(ports_.path()));
        link_ = ports_.filePath(QStringLiteral("COM%1").arg(kPortNumber));
        process_.start(QStringLiteral(CHIPBOARD_PROGRAM),
                       {QStringLiteral("--link"), link_, QStringLiteral("--firmware"),
                        QStringLiteral(BOOTLOADER_HEX)});
        // The first line is the terminal's path: the link stands.
        const auto deadline = Clock::now() + 10s;
        while (!process_.canReadLine() && Clock::now() < deadline)
            process_.waitForReadyRead(100);
        ready_ = process_.canReadLine();
    }
    ~ChipOnPort() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000))
                process_.kill();
            process_.waitForFinished(1000);
        }
        qunsetenv("DWNFRW_PORTS");
    }
    bool ready() const { return ready_; }
    QString link() const { return link_; }
    QString why() { return QString::fromLocal8Bit(process_.readAllStandardError()); }

  private:
    QTemporaryDir ports_;
    QString link_;
    QProcess process_;
    bool ready_ = false;
};

PicBlock block(uint8_t command, uint32_t address, int length) {
    PicBlock b{};
    b.Command = command;
    b.DataLength = uint8_t(length);
    b.Address = int32_t(address);
    b.BlockSize = 8;
    b.BytesPerAddr = 1;
    b.MaxRetries = 3;
    return b;
}

// The library's eight calls, as the passes use them.
class Library {
  public:
    explicit Library(const char* port = "COM7") { handle = OpenPIC(port, 9600, kReadTimeoutMs); }
    ~Library() {
        if (handle > 0)
            ClosePIC(handle);
    }
    int16_t packet(std::initializer_list<uint8_t> bytes, QByteArray* reply = nullptr) {
        uint8_t buffer[NXPIC_PACKET_BUFFER_BYTES] = {};
        std::copy(bytes.begin(), bytes.end(), buffer);
        const int16_t result =
            SendGetPacket(handle, buffer, int16_t(bytes.size()), NXPIC_PACKET_BUFFER_BYTES, 3);
        if (reply && result > 0)
            *reply = QByteArray(reinterpret_cast<char*>(buffer), result);
        return result;
    }
    int16_t erase(uint32_t address) {
        return packet({3, 1, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16)});
    }
    int16_t write(uint8_t command, uint32_t address, const QByteArray& data) {
        uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
        std::memcpy(buffer, data.constData(), size_t(data.size()));
        PicBlock b = block(command, address, int(data.size()));
        return WritePIC(handle, &b, buffer);
    }
    int16_t verify(uint8_t command, uint32_t address, const QByteArray& data) {
        uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
        std::memcpy(buffer, data.constData(), size_t(data.size()));
        PicBlock b = block(command, address, int(data.size()));
        return VerifyPIC(handle, &b, buffer);
    }
    QByteArray read(uint8_t command, uint32_t address, int length) {
        QByteArray bytes;
        for (int at = 0; at < length; at += NXPIC_READ_BUFFER_BYTES) {
            uint8_t buffer[NXPIC_READ_BUFFER_BYTES] = {};
            PicBlock b = block(command, address + uint32_t(at),
                               std::min(length - at, NXPIC_READ_BUFFER_BYTES));
            const int16_t r = ReadPIC(handle, &b, buffer);
            if (r <= 0)
                return {};
            bytes.append(reinterpret_cast<char*>(buffer), r);
        }
        return bytes;
    }
    int32_t handle = -1;
};

// The stock simulator erases flash to 00 where the chip gives FF; the bench's
// processor adapter mends that. Whatever needs an erased entry word needs it.
bool erasesToFF(Library& library) {
    return library.erase(0x7FC0) >= 0 && library.read(1, 0x7FC0, 2) == QByteArray(2, char(0xFF));
}

class ChipBootloader : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(chip.ready()) << chip.why().toStdString(); }
    ChipOnPort chip;
};

TEST_F(ChipBootloader, AnswersTheVersionQueryAndTheDeviceId) {
    Library library;
    ASSERT_GT(library.handle, 0);
    QByteArray reply;
    ASSERT_EQ(library.packet({0x00, 0x02}, &reply), 4);
    EXPECT_EQ(reply, QByteArray::fromHex("000204fa"));
    EXPECT_EQ(library.read(1, 0x3FFFFE, 2).size(), 2);
}

// Erase, write through the 8-byte latches, the digest (the board's CRC-16
// routine against the host's: "123456789" and its neighbours), EEPROM and user ID.
TEST_F(ChipBootloader, ErasesWritesAndVerifies) {
    Library library;
    ASSERT_GT(library.handle, 0);
    QByteArray line;
    for (int i = 0; i < 16; ++i)
        line.append(char(0x30 + i * 7));
    ASSERT_EQ(library.erase(0x0400), 1);
    ASSERT_EQ(library.write(2, 0x0410, line), 16);
    EXPECT_EQ(library.verify(1, 0x0410, line), 16);
    EXPECT_EQ(library.read(1, 0x0410, 16), line);
    QByteArray other = line;
    other[15] = char(line[15] ^ 0x01);
    EXPECT_EQ(library.verify(1, 0x0410, other), NXPIC_ERR_VERIFY);

    const QByteArray vector("123456789");
    ASSERT_EQ(library.write(5, 0x20, vector), 9);
    EXPECT_EQ(library.verify(4, 0x20, vector), 9);
    EXPECT_EQ(library.read(4, 0x20, 9), vector);
    const QByteArray longest(48, char(0xA5));
    ASSERT_EQ(library.write(5, 0xD0, longest), 48);
    EXPECT_EQ(library.verify(4, 0xD0, longest), 48);

    ASSERT_EQ(library.erase(0x200000), 1);
    ASSERT_EQ(library.write(2, 0x200000, line.left(8)), 8);
    EXPECT_EQ(library.verify(1, 0x200000, line.left(8)), 8);
}

// What the board must not touch is refused, and the boot block stays the
// bootloader's to the last byte.
TEST_F(ChipBootloader, RefusesWhatItMustNotTouch) {
    Library library;
    ASSERT_GT(library.handle, 0);
    const QByteArray eight(8, 0);
    struct Case {
        const char* name;
        int16_t result;
        int16_t expected;
    };
    const Case cases[] = {
        {"write the boot block", library.write(2, 0x0100, eight), NXPIC_ERR_REFUSED},
        {"write across the boot block's end", library.write(2, 0x01F8, eight + eight),
         NXPIC_ERR_REFUSED},
        {"erase the boot block's last row", library.erase(0x01C0), NXPIC_ERR_REFUSED},
        {"erase row 0", library.erase(0x0000), NXPIC_ERR_REFUSED},
        // Zeros there would be a short line's fill, which the library leaves out.
        {"write the user ID's ninth byte", library.write(2, 0x200008, QByteArray(8, 0x5A)),
         NXPIC_ERR_REFUSED},
        {"write the configuration", library.write(2, 0x300000, eight), NXPIC_ERR_REFUSED},
        {"erase the configuration", library.erase(0x300000), NXPIC_ERR_REFUSED},
        {"write past program memory", library.write(2, 0x8000, eight), NXPIC_ERR_REFUSED},
        {"write off a block", library.write(2, 0x0404, eight), NXPIC_ERR_MISALIGNED},
        {"write EEPROM past FF", library.write(5, 0xF8, eight + eight), NXPIC_ERR_REFUSED},
        {"read EEPROM past FF", int16_t(library.read(4, 0xFE, 4).size()), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.name;

    vboard::PicMemory image(vboard::pic18f452Layout(), vboard::StartContents::Blank);
    QString error;
    ASSERT_TRUE(vboard::loadIntelHex(readFile(QStringLiteral(BOOTLOADER_HEX)), image, &error))
        << error.toStdString();
    EXPECT_EQ(library.read(1, 0, int(kBootBlockEnd)), image.peek(0, int(kBootBlockEnd)));
}

// Raw bytes: a frame the board cannot read gets no answer, and the next good
// request is answered as usual.
TEST_F(ChipBootloader, DropsDamagedFramesAndAnswersTheNextGoodOne) {
    const int fd = ::open(QFile::encodeName(chip.link()).constData(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    cfsetspeed(&raw, B9600);
    tcsetattr(fd, TCSANOW, &raw);
    const auto receive = [fd](std::chrono::milliseconds quiet) {
        QByteArray bytes;
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, int(quiet.count())) > 0) {
            char buffer[64];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            bytes.append(buffer, int(n));
        }
        return bytes;
    };
    const auto send = [fd](const QByteArray& bytes) {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    };
    int seq = 0;
    const auto versionRequest = [&seq] {
        const auto request = wire::toWire(0, QByteArray(1, 2));
        return wire::encodeRequest(char(wire::makeTag(seq++, request->command)) + request->args);
    };
    QByteArray badCrc = versionRequest();
    badCrc[badCrc.size() - 1] = char(badCrc.back() ^ 0x20);
    QByteArray badBody = versionRequest();
    badBody[4] = char(badBody[4] ^ 0x01);
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {
        {"CRC damaged", badCrc},
        {"body damaged", badBody},
        {"length 0", QByteArray::fromHex("a500")},
        {"length 53", QByteArray::fromHex("a535") + QByteArray(57, 0x11)},
        {"cut short", versionRequest().left(5)},
        {"noise", QByteArray::fromHex("00ff5a13")},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(send(c.bytes)) << c.name;
        // Longer than the board's 5 ms gap, in simulated time and in ours.
        EXPECT_TRUE(receive(60ms).isEmpty()) << c.name;
        const QByteArray good = versionRequest();
        ASSERT_TRUE(send(good)) << c.name;
        EXPECT_EQ(receive(200ms),
                  wire::encodeReply(wire::requestCrc(good), wire::kOk, QByteArray::fromHex("04fa")))
            << c.name;
    }
    ::close(fd);
}

// The start request: refused without an application; with one, answered,
// and the application runs. The test application hands straight back through
// the stay entry (GOTO 000004), so the bootloader answers again; a second one
// loops for ever, so the board falls silent.
TEST_F(ChipBootloader, StartsTheApplicationAndTakesItBack) {
    Library library;
    ASSERT_GT(library.handle, 0);
    if (!erasesToFF(library))
        GTEST_SKIP() << "the simulated chip erases flash to 00: the bench's processor adapter "
                        "(erase to FF) is not there";
    ASSERT_EQ(library.erase(0x0200), 1);
    EXPECT_EQ(library.packet({NXPIC_CMD_START_APPLICATION}), NXPIC_ERR_REFUSED);

    const QByteArray handBack = QByteArray::fromHex("02ef00f0ffffffff") + QByteArray(8, char(0xFF));
    ASSERT_EQ(library.write(2, 0x0200, handBack), 16);
    EXPECT_EQ(library.verify(1, 0x0200, handBack), 16);
    EXPECT_EQ(library.read(1, 0x0200, 2), QByteArray(2, char(0xFF))) << "held back until the start";
    EXPECT_EQ(library.packet({NXPIC_CMD_START_APPLICATION}), 1);
    QByteArray reply;
    EXPECT_EQ(library.packet({0x00, 0x02}, &reply), 4) << "the application handed back";
    EXPECT_EQ(library.read(1, 0x0200, 16), handBack);

    ASSERT_EQ(library.erase(0x0200), 1);
    ASSERT_EQ(library.write(2, 0x0200, QByteArray::fromHex("ffd7ffffffffffff")), 8);
    EXPECT_EQ(library.packet({NXPIC_CMD_START_APPLICATION}), 1);
    EXPECT_EQ(library.packet({0x00, 0x02}), NXPIC_ERR_TIMEOUT);
}

// Nothing above 0001FF; the words used, for the record.
TEST(BootloaderImage, FitsTheBootBlock) {
    const QList<QByteArray> lines = readFile(QStringLiteral(BOOTLOADER_HEX)).split('\n');
    uint32_t upper = 0;
    int programBytes = 0;
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (line.size() < 11 || line[0] != ':')
            continue;
        const QByteArray record = QByteArray::fromHex(line.mid(1));
        const int count = uint8_t(record[0]);
        const uint32_t address = (upper << 16) | (uint8_t(record[1]) << 8) | uint8_t(record[2]);
        if (record[3] == 4)
            upper = (uint8_t(record[4]) << 8) | uint8_t(record[5]);
        if (record[3] != 0)
            continue;
        if (address < 0x300000) {
            EXPECT_LE(address + uint32_t(count), kBootBlockEnd) << line.toStdString();
            programBytes += count;
        }
    }
    EXPECT_GT(programBytes, 0);
    std::cout << "[ figures  ] bootloader: " << programBytes / 2 << " of 256 words, "
              << 256 - programBytes / 2 << " left\n";
}

}  // namespace
