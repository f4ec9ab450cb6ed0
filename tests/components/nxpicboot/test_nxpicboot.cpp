// The bootloader library over a real pseudo-terminal against the virtual board.
#include <gtest/gtest.h>

#include <QByteArray>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "components/nxpicboot/nxpic_wire.h"
#include "components/nxpicboot/nxpicboot.h"
#include "tests/support/vboard_fixture.h"

using dwnfrw::testing::VirtualBoardOnPort;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Short enough to keep failing exchanges quick, long enough for a loaded machine.
constexpr int kTestReadTimeoutMs = 150;

PicBlock block(uint8_t command, int32_t address, uint8_t length, int16_t retries = 3) {
    PicBlock b{};
    b.Command = command;
    b.DataLength = length;
    b.Address = address;
    b.BlockSize = 8;
    b.BytesPerAddr = 1;
    b.MaxRetries = retries;
    return b;
}

QByteArray pattern(int length, int seed) {
    QByteArray bytes(length, 0);
    for (int i = 0; i < length; ++i)
        bytes[i] = char((seed * 37 + i * 11) & 0xFF);
    return bytes;
}

class Link {
  public:
    explicit Link(vboard::BoardOptions options = {}, int readTimeoutMs = kTestReadTimeoutMs)
        : board(options) {
        // The library is tested on a new device: every cell 0xFF.
        for (const vboard::FirmwareArea& area : vboard::firmwareAreas())
            board.board().load(area.base, QByteArray(area.bytes, '\xFF'));
        if (board.ok())
            handle = OpenPIC(board.portName().toLatin1().constData(), 9600, readTimeoutMs);
    }
    ~Link() {
        if (handle > 0)
            ClosePIC(handle);
    }
    int16_t version(uint8_t* reply, int16_t retries = 3) {
        std::memset(reply, 0, NXPIC_PACKET_BUFFER_BYTES);
        reply[0] = 0x00;
        reply[1] = 0x02;
        return SendGetPacket(handle, reply, 2, 10, retries);
    }
    int16_t erase(uint32_t address, int16_t retries = 5) {
        uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {0x03, 0x01, uint8_t(address),
                                                     uint8_t(address >> 8), uint8_t(address >> 16)};
        return SendGetPacket(handle, packet, 5, 255, retries);
    }
    int16_t write(uint8_t command, int32_t address, const QByteArray& data, int16_t retries = 3) {
        uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
        std::memcpy(buffer, data.constData(), size_t(data.size()));
        PicBlock b = block(command, address, uint8_t(data.size()), retries);
        return WritePIC(handle, &b, buffer);
    }
    int16_t verify(uint8_t command, int32_t address, const QByteArray& data, int16_t retries = 3) {
        uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
        std::memcpy(buffer, data.constData(), size_t(data.size()));
        PicBlock b = block(command, address, uint8_t(data.size()), retries);
        return VerifyPIC(handle, &b, buffer);
    }
    QByteArray read(uint8_t command, int32_t address, uint8_t length, int16_t* result = nullptr,
                    int16_t retries = 3) {
        QByteArray bytes;
        for (int at = 0; at < length; at += NXPIC_READ_BUFFER_BYTES) {
            uint8_t buffer[NXPIC_READ_BUFFER_BYTES] = {};
            PicBlock b = block(command, address + at,
                               uint8_t(std::min(length - at, NXPIC_READ_BUFFER_BYTES)), retries);
            const int16_t r = ReadPIC(handle, &b, buffer);
            if (result)
                *result = r;
            if (r <= 0)
                return {};
            bytes.append(reinterpret_cast<char*>(buffer), r);
        }
        return bytes;
    }

    VirtualBoardOnPort board;
    int32_t handle = -1;
};

TEST(NxpicWire, Crc16AndFrameBytesAreAsDocumented) {
    namespace wire = nxpic::wire;
    EXPECT_EQ(wire::crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x29B1);
    // Read of the version record, sequence 0: A5 05 01 FE 01 00 02, CRC low byte first.
    const QByteArray request = wire::encodeRequest(QByteArray::fromHex("01fe010002"));
    const uint16_t crc = wire::crc16(QByteArray::fromHex("0501fe010002"), 0, 6);
    EXPECT_EQ(request, QByteArray::fromHex("a50501fe010002") + char(crc & 0xFF) + char(crc >> 8));
    // An answer carries no copy of its request: its CHECK continues the request's
    // CRC. A refusal carries no payload.
    const QByteArray refused = wire::encodeReply(crc, wire::kAddressRefused, pattern(2, 1));
    const uint16_t check = wire::crc16(QByteArray(1, 3), 0, 1, crc);
    EXPECT_EQ(refused, QByteArray::fromHex("5a") + char(check & 0xFF) + char(check >> 8));
    // The digest continues the request's CRC over the bytes.
    const uint16_t digest = wire::crc16(reinterpret_cast<const uint8_t*>("ab"), 2, crc);
    EXPECT_EQ(wire::digestOf(crc, "ab"), QByteArray(1, char(digest & 0xFF)) + char(digest >> 8));
}

// The library's packets as the board takes them on the wire.
TEST(NxpicWire, PacketsTakeTheirWireForm) {
    struct Case {
        const char* name;
        uint8_t command;
        const char* args;      // hex
        int wireCommand;       // -1: no wire form
        const char* wireArgs;  // hex
    };
    const Case cases[] = {
        {"version query", 0, "02", 1, "fe010002"},
        {"version of three bytes", 0, "03", -1, ""},
        {"version without count", 0, "", -1, ""},
        {"read program", 1, "0004000b", 1, "0004000b"},
        {"write program", 2, "000400aabb", 2, "000400aabb"},
        {"erase: rows after the address", 3, "01400300", 3, "40030001"},
        {"erase without rows", 3, "400300", -1, ""},
        {"read eeprom at F00000", 4, "1000000b", 1, "1000f00b"},
        {"write eeprom at F00000", 5, "ff0000aa", 2, "ff00f0aa"},
        {"eeprom address beyond 16 bits", 5, "000001aa", -1, ""},
        {"digest of program space", 6, "00040010", 6, "00040010"},
        {"digest of eeprom", 7, "20000010", 6, "2000f010"},
        {"start", 8, "", 8, ""},
        {"unknown", 9, "", -1, ""},
    };
    for (const Case& c : cases) {
        const auto request = nxpic::wire::toWire(c.command, QByteArray::fromHex(c.args));
        ASSERT_EQ(request.has_value(), c.wireCommand >= 0) << c.name;
        if (!request)
            continue;
        EXPECT_EQ(request->command, c.wireCommand) << c.name;
        EXPECT_EQ(request->args.toHex(), QByteArray(c.wireArgs)) << c.name;
    }
}

TEST(Nxpicboot, VersionQueryAnswersTheResidentBootloader) {
    Link link;
    ASSERT_TRUE(link.board.ok()) << link.board.error().toStdString();
    ASSERT_GT(link.handle, 0);
    uint8_t reply[NXPIC_PACKET_BUFFER_BYTES];
    ASSERT_EQ(link.version(reply), 4);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(reply), 4), QByteArray::fromHex("000204fa"));
    // A receive limit below the reply's length stores no more than it allows.
    std::memset(reply, 0xEE, sizeof reply);
    reply[0] = 0x00;
    reply[1] = 0x02;
    EXPECT_EQ(SendGetPacket(link.handle, reply, 2, 3, 3), 3);
    EXPECT_EQ(reply[3], 0xEE);
}

TEST(Nxpicboot, EraseWriteReadAndVerifyFollowTheFlashRules) {
    Link link;
    ASSERT_GT(link.handle, 0);
    const QByteArray line = pattern(16, 1);
    ASSERT_GE(link.erase(0x000400), 0);
    ASSERT_EQ(link.write(2, 0x000410, line), 16);
    EXPECT_EQ(link.verify(1, 0x000410, line), 16);
    EXPECT_EQ(link.read(1, 0x000410, 16), line);
    EXPECT_EQ(link.board.board().read(0x000410, 16), line);

    // Writing again over written cells can only clear bits: verification sees it.
    const QByteArray other = pattern(16, 2);
    ASSERT_EQ(link.write(2, 0x000410, other), 16);
    EXPECT_EQ(link.verify(2 - 1, 0x000410, other), NXPIC_ERR_VERIFY);

    // User ID: flash erased by the packet at its first address, eight bytes.
    ASSERT_GE(link.erase(0x200000), 0);
    ASSERT_EQ(link.write(2, 0x200000, line.left(8)), 8);
    EXPECT_EQ(link.verify(1, 0x200000, line.left(8)), 8);
    // A 16-byte user-ID line whose second half is padding (FF) or fill (00):
    // the half the chip does not have is neither written nor verified.
    for (const char pad : {char(0xFF), '\0'}) {
        ASSERT_GE(link.erase(0x200000), 0);
        const QByteArray idLine = line.left(8) + QByteArray(8, pad);
        ASSERT_EQ(link.write(2, 0x200000, idLine), 16);
        EXPECT_EQ(link.verify(1, 0x200000, idLine), 16);
        EXPECT_EQ(link.verify(1, 0x200008, QByteArray(8, pad)), 8);
    }
    EXPECT_EQ(link.write(2, 0x200000, line), NXPIC_ERR_REFUSED) << "data past the eight bytes";

    // EEPROM takes bytes as written, without an erase.
    ASSERT_EQ(link.write(5, 0x10, line), 16);
    ASSERT_EQ(link.write(5, 0x10, other), 16);
    EXPECT_EQ(link.verify(4, 0x10, other), 16);
    EXPECT_EQ(link.board.board().read(vboard::kEepromHexBase + 0x10, 16), other);

    // Device ID: (byte1 * 256 + byte0) / 32 = 33, the PIC18F452.
    int16_t result = 0;
    const QByteArray id = link.read(1, 0x3FFFFE, 2, &result);
    ASSERT_EQ(result, 2);
    EXPECT_EQ((uint8_t(id[1]) * 256 + uint8_t(id[0])) / 32, 33);
}

TEST(Nxpicboot, VerifyLeavesTheCallersBufferAlone) {
    Link link;
    ASSERT_GT(link.handle, 0);
    uint8_t buffer[NXPIC_DATA_BUFFER_BYTES];
    std::memset(buffer, 0x5A, sizeof buffer);
    PicBlock b = block(1, 0x000800, 16);
    EXPECT_EQ(VerifyPIC(link.handle, &b, buffer), NXPIC_ERR_VERIFY);
    for (uint8_t byte : buffer)
        ASSERT_EQ(byte, 0x5A);

    // Guard bytes after the documented buffers stay untouched.
    constexpr int kGuard = 8;
    uint8_t read[NXPIC_READ_BUFFER_BYTES + kGuard];
    std::memset(read, 0xEE, sizeof read);
    PicBlock full = block(1, 0x000800, NXPIC_READ_BUFFER_BYTES);
    EXPECT_EQ(ReadPIC(link.handle, &full, read), NXPIC_READ_BUFFER_BYTES);
    uint8_t packet[NXPIC_PACKET_BUFFER_BYTES + kGuard];
    std::memset(packet, 0xEE, sizeof packet);
    // A read of 16 bytes through a packet: its 17-byte reply is cut to the buffer.
    const uint8_t read16[] = {0x01, 0x00, 0x08, 0x00, 16};
    std::memcpy(packet, read16, sizeof read16);
    EXPECT_EQ(SendGetPacket(link.handle, packet, 5, 255, 3), NXPIC_PACKET_BUFFER_BYTES);
    for (int i = 0; i < kGuard; ++i) {
        ASSERT_EQ(read[NXPIC_READ_BUFFER_BYTES + i], 0xEE) << i;
        ASSERT_EQ(packet[NXPIC_PACKET_BUFFER_BYTES + i], 0xEE) << i;
    }
}

TEST(Nxpicboot, RefusalsComeBackAtOnceWithTheirCodes) {
    Link link;
    ASSERT_GT(link.handle, 0);
    struct Case {
        const char* name;
        uint8_t command;
        int32_t address;
        int length;
        int16_t expected;
    };
    const Case cases[] = {
        {"write config", 2, 0x300000, 16, NXPIC_ERR_REFUSED},
        {"write the boot block", 2, 0x000100, 16, NXPIC_ERR_REFUSED},
        {"write into the boot block's end", 2, 0x0001F8, 16, NXPIC_ERR_REFUSED},
        {"write the user ID's missing half", 2, 0x200008, 8, NXPIC_ERR_REFUSED},
        {"write past the user ID", 2, 0x200000, 16, NXPIC_ERR_REFUSED},
        {"write device id (alignment is judged first)", 2, 0x3FFFFE, 2, NXPIC_ERR_MISALIGNED},
        {"write device id", 2, 0x3FFFF8, 8, NXPIC_ERR_REFUSED},
        {"write past program memory", 2, 0x008000, 16, NXPIC_ERR_REFUSED},
        {"write across program end", 2, 0x007FF8, 16, NXPIC_ERR_REFUSED},
        {"write off a block boundary", 2, 0x000404, 16, NXPIC_ERR_MISALIGNED},
        {"write part of a block", 2, 0x000400, 4, NXPIC_ERR_MISALIGNED},
        {"eeprom past its end", 5, 0xF8, 16, NXPIC_ERR_REFUSED},
        {"read eeprom past its end", 4, 0xFF, 2, NXPIC_ERR_REFUSED},
        {"read eeprom above 00FF", 4, 0x100, 2, NXPIC_ERR_REFUSED},
    };
    const QByteArray bootBlock = link.board.board().read(0x000000, 0x200);
    for (const Case& c : cases) {
        const auto start = Clock::now();
        int16_t result = 0;
        if (c.command == 2 || c.command == 5)
            result = link.write(c.command, c.address, pattern(c.length, 3));
        else
            link.read(c.command, c.address, uint8_t(c.length), &result);
        EXPECT_EQ(result, c.expected) << c.name;
        // The board's answer, asked MaxRetries times: no waiting on the line.
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTestReadTimeoutMs)) << c.name;
    }
    EXPECT_EQ(link.erase(0x300000), NXPIC_ERR_REFUSED);
    EXPECT_EQ(link.erase(0x0001C0), NXPIC_ERR_REFUSED);
    EXPECT_EQ(link.erase(0x200040), NXPIC_ERR_REFUSED);
    EXPECT_EQ(link.board.board().read(0x000000, 0x200), bootBlock);
    EXPECT_EQ(link.board.board().bootBlockFaults(), 0u);
    // Reads are never refused in program space: unimplemented memory reads 00.
    int16_t result = 0;
    EXPECT_EQ(link.read(1, 0x100000, 4, &result), QByteArray(4, '\0'));
}

TEST(Nxpicboot, BadArgumentsAndHandlesNeverReachTheWire) {
    Link link;
    ASSERT_GT(link.handle, 0);
    uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
    PicBlock b = block(1, 0x000400, 16);
    EXPECT_EQ(ReadPIC(link.handle + 1000, &b, buffer), NXPIC_ERR_BAD_HANDLE);
    EXPECT_EQ(ReadPIC(link.handle, nullptr, buffer), NXPIC_ERR_BAD_ARGUMENT);
    EXPECT_EQ(ReadPIC(link.handle, &b, nullptr), NXPIC_ERR_BAD_ARGUMENT);
    PicBlock tooLong = block(1, 0x000400, 49);
    EXPECT_EQ(ReadPIC(link.handle, &tooLong, buffer), NXPIC_ERR_BAD_ARGUMENT);
    // ReadPIC's buffer is 11 bytes: a longer read is refused, the bytes after it stay.
    PicBlock beyondBuffer = block(1, 0x000400, NXPIC_READ_BUFFER_BYTES + 1);
    EXPECT_EQ(ReadPIC(link.handle, &beyondBuffer, buffer), NXPIC_ERR_TOO_LONG);
    PicBlock writeAsRead = block(2, 0x000400, 16);
    EXPECT_EQ(ReadPIC(link.handle, &writeAsRead, buffer), NXPIC_ERR_BAD_ARGUMENT);
    PicBlock noUnit = block(1, 0x000400, 16);
    noUnit.BytesPerAddr = 0;
    EXPECT_EQ(ReadPIC(link.handle, &noUnit, buffer), NXPIC_ERR_BAD_ARGUMENT);
    PicBlock wide = block(1, 0x800000, 8);
    wide.BytesPerAddr = 2;  // byte address 0x1000000 does not fit 24 bits
    EXPECT_EQ(ReadPIC(link.handle, &wide, buffer), NXPIC_ERR_BAD_ARGUMENT);
    uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {0x09, 0x00};
    EXPECT_EQ(SendGetPacket(link.handle, packet, 2, 10, 3), NXPIC_ERR_BAD_ARGUMENT);
    uint8_t version3[NXPIC_PACKET_BUFFER_BYTES] = {0x00, 0x03};
    EXPECT_EQ(SendGetPacket(link.handle, version3, 2, 10, 3), NXPIC_ERR_BAD_ARGUMENT);
    EXPECT_EQ(link.board.board().counters().bytesReceived, 0u);
    EXPECT_STREQ(NxpicResultText(NXPIC_ERR_VERIFY), "the device holds other bytes than expected");
    EXPECT_STREQ(NxpicResultText(-99), "unknown result code");
    EXPECT_EQ(ClosePIC(link.handle + 1000), NXPIC_ERR_BAD_HANDLE);
}

TEST(Nxpicboot, BytesPerAddressScalesTheAddress) {
    Link link;
    ASSERT_GT(link.handle, 0);
    ASSERT_GE(link.erase(0x000800), 0);
    uint8_t buffer[NXPIC_DATA_BUFFER_BYTES] = {};
    const QByteArray line = pattern(16, 4);
    std::memcpy(buffer, line.constData(), 16);
    PicBlock b = block(2, 0x000800 / 2, 16);
    b.BytesPerAddr = 2;
    ASSERT_EQ(WritePIC(link.handle, &b, buffer), 16);
    EXPECT_EQ(link.board.board().read(0x000800, 16), line);
}

TEST(Nxpicboot, MissingPortGivesANegativeHandle) {
    VirtualBoardOnPort board;  // a ports folder without COM60 in it
    EXPECT_LT(OpenPIC("COM60", 9600, 1000), 0);
    EXPECT_LT(OpenPIC("", 9600, 1000), 0);
    EXPECT_LT(OpenPIC(nullptr, 9600, 1000), 0);
    EXPECT_LT(OpenPIC(board.portName().toLatin1().constData(), 0, 1000), 0);
}

TEST(Nxpicboot, PortIsHeldExclusively) {
    Link link;
    ASSERT_GT(link.handle, 0);
    EXPECT_LT(OpenPIC(link.board.portName().toLatin1().constData(), 9600, 1000), 0);
    ASSERT_EQ(ClosePIC(link.handle), NXPIC_OK);
    link.handle = OpenPIC(link.board.portName().toLatin1().constData(), 9600, 1000);
    EXPECT_GT(link.handle, 0);
}

TEST(Nxpicboot, LostReplyIsRepeatedAndChangesNothingTwice) {
    vboard::BoardOptions options;
    options.loseRepliesTo = {2, 4};  // the write's reply and the erase's reply
    Link link(options);
    ASSERT_GT(link.handle, 0);
    ASSERT_GE(link.erase(0x001000), 0);  // request 1
    const QByteArray line = pattern(16, 5);
    ASSERT_EQ(link.write(2, 0x001000, line), 16);  // requests 2 (lost reply) and 3
    EXPECT_EQ(link.board.board().read(0x001000, 16), line);
    ASSERT_GE(link.erase(0x001000), 0);  // requests 4 (lost reply) and 5
    EXPECT_EQ(link.board.board().read(0x001000, 64), QByteArray(64, char(0xFF)));
    const vboard::Counters counters = link.board.board().counters();
    EXPECT_EQ(counters.perCommand[2].requests, 2u);
    EXPECT_EQ(counters.perCommand[2].replies, 1u);
    EXPECT_EQ(counters.perCommand[3].requests, 3u);
    EXPECT_EQ(counters.droppedReplies, 2u);
}

TEST(Nxpicboot, SilentBoardFailsEachCallAfterTheReadTimeOutWhateverItsRetries) {
    vboard::BoardOptions options;
    options.stopAfterExchanges = 0;
    Link link(options, 200);
    ASSERT_GT(link.handle, 0);
    const auto timed = [](auto call) {
        const auto start = Clock::now();
        const int16_t result = call();
        const auto took = Clock::now() - start;
        EXPECT_EQ(result, NXPIC_ERR_TIMEOUT);
        EXPECT_GE(took, std::chrono::milliseconds(200));
        EXPECT_LT(took, std::chrono::milliseconds(200 + 250));
    };
    uint8_t reply[NXPIC_PACKET_BUFFER_BYTES];
    timed([&] { return link.version(reply, 3); });
    timed([&] { return link.erase(0x000400, 5); });
    timed([&] { return link.write(2, 0x000400, pattern(16, 6), 1); });
    timed([&] { return link.verify(1, 0x000400, pattern(16, 6), 0); });
}

TEST(Nxpicboot, UnpluggedBoardClosesThePortAndFailsFast) {
    Link link;
    ASSERT_GT(link.handle, 0);
    uint8_t reply[NXPIC_PACKET_BUFFER_BYTES];
    ASSERT_EQ(link.version(reply), 4);
    link.board.board().unplug();
    const auto start = Clock::now();
    EXPECT_EQ(link.version(reply), NXPIC_ERR_PORT_IO);
    EXPECT_EQ(link.write(2, 0x000400, pattern(16, 7)), NXPIC_ERR_PORT_IO);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kTestReadTimeoutMs));
}

TEST(Nxpicboot, EveryExchangeStaysWithinItsByteBudget) {
    Link link;
    ASSERT_GT(link.handle, 0);
    uint8_t reply[NXPIC_PACKET_BUFFER_BYTES];
    ASSERT_EQ(link.version(reply), 4);
    ASSERT_GE(link.erase(0x000400), 0);
    ASSERT_EQ(link.write(2, 0x000400, pattern(16, 8)), 16);
    ASSERT_EQ(link.verify(1, 0x000400, pattern(16, 8)), 16);
    const vboard::Counters c = link.board.board().counters();
    struct Expected {
        int command;
        uint64_t request;
        uint64_t reply;
    };
    // The version query travels as a read (command 1), the verify as a digest
    // request (command 6).
    for (const Expected e :
         {Expected{1, 9, 5}, Expected{3, 9, 3}, Expected{2, 24, 3}, Expected{6, 9, 5}}) {
        EXPECT_EQ(c.perCommand[size_t(e.command)].requestBytes, e.request) << e.command;
        EXPECT_EQ(c.perCommand[size_t(e.command)].replyBytes, e.reply) << e.command;
    }
    EXPECT_EQ(c.perCommand[2].requestBytes + c.perCommand[2].replyBytes +
                  c.perCommand[6].requestBytes + c.perCommand[6].replyBytes,
              uint64_t(nxpic::wire::kLineExchangeBytes));
    EXPECT_LE(nxpic::wire::kLineExchangeBytes, 45);
}

// The entry block (000200-000207) reaches the board only with the start
// request, after everything else: until then the board's entry word stays
// erased and a power loss leaves the board in its bootloader.
TEST(Nxpicboot, EntryBlockIsWrittenLastWithTheStart) {
    Link link;
    ASSERT_GT(link.handle, 0);
    const QByteArray line = pattern(16, 9);
    ASSERT_GE(link.erase(0x000200), 0);
    ASSERT_EQ(link.write(2, 0x000200, line), 16);
    EXPECT_EQ(link.board.board().read(0x000200, 16), QByteArray(8, char(0xFF)) + line.mid(8));
    EXPECT_EQ(link.verify(1, 0x000200, line), 16);
    EXPECT_EQ(link.verify(1, 0x000204, line.mid(4, 8)), 8);
    // The held bytes are compared too.
    QByteArray wrongEntry = line;
    wrongEntry[1] = char(~line[1]);
    EXPECT_EQ(link.verify(1, 0x000200, wrongEntry), NXPIC_ERR_VERIFY);
    EXPECT_EQ(link.board.board().mode(), vboard::BoardMode::Bootloader);

    uint8_t start[NXPIC_PACKET_BUFFER_BYTES] = {NXPIC_CMD_START_APPLICATION};
    ASSERT_EQ(SendGetPacket(link.handle, start, 1, 10, 3), 1);
    EXPECT_EQ(link.board.board().read(0x000200, 16), line);
    EXPECT_EQ(link.board.board().mode(), vboard::BoardMode::Application);
}

TEST(Nxpicboot, StartIsRefusedWithoutAnApplication) {
    Link link;
    ASSERT_GT(link.handle, 0);
    ASSERT_GE(link.erase(0x000200), 0);
    // An erase of the entry row drops what was held of it.
    ASSERT_EQ(link.write(2, 0x000200, pattern(8, 10)), 8);
    ASSERT_GE(link.erase(0x000200), 0);
    uint8_t start[NXPIC_PACKET_BUFFER_BYTES] = {NXPIC_CMD_START_APPLICATION};
    EXPECT_EQ(SendGetPacket(link.handle, start, 1, 10, 3), NXPIC_ERR_REFUSED);
    EXPECT_EQ(link.board.board().read(0x000200, 8), QByteArray(8, char(0xFF)));
    EXPECT_EQ(link.board.board().mode(), vboard::BoardMode::Bootloader);
}

// 2 % of the bytes damaged in both directions and 5 % of the frames lost: the
// retries carry every exchange through and the memory ends exactly as written.
class NoisyLink : public ::testing::TestWithParam<uint32_t> {};

TEST_P(NoisyLink, StillProgramsTheBoardExactly) {
    vboard::BoardOptions options;
    options.corruptRate = 0.02;
    options.dropRate = 0.05;
    options.seed = GetParam();
    // Noise is repeated within each exchange's time budget: the shipped three
    // attempts are for what the board answers.
    constexpr int16_t kNoisyRetries = 3;
    Link link(options, 1000);
    ASSERT_GT(link.handle, 0);

    uint8_t reply[NXPIC_PACKET_BUFFER_BYTES];
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(link.version(reply, kNoisyRetries), 4);
        ASSERT_EQ(QByteArray(reinterpret_cast<char*>(reply), 4), QByteArray::fromHex("000204fa"));
    }
    constexpr uint32_t kLow = 0x002000;
    constexpr int kRows = 4;
    // Dirty the rows first, so that a lost erase would show.
    for (int offset = 0; offset < kRows * 64; offset += 16)
        link.board.board().load(kLow + uint32_t(offset), QByteArray(16, 0));
    for (int row = 0; row < kRows; ++row)
        ASSERT_GE(link.erase(kLow + uint32_t(row) * 64, kNoisyRetries), 0) << row;
    QByteArray expected;
    for (int line = 0; line < kRows * 4; ++line) {
        const QByteArray data = pattern(16, 100 + line);
        const int32_t address = int32_t(kLow) + line * 16;
        ASSERT_EQ(link.write(2, address, data, kNoisyRetries), 16) << line;
        ASSERT_EQ(link.verify(1, address, data, kNoisyRetries), 16) << line;
        expected += data;
    }
    for (int line = 0; line < kRows * 4; ++line) {
        int16_t result = 0;
        ASSERT_EQ(link.read(1, int32_t(kLow) + line * 16, 16, &result, kNoisyRetries),
                  expected.mid(line * 16, 16));
    }
    EXPECT_EQ(link.board.board().read(kLow, kRows * 64), expected);
    // The rows around stay untouched.
    EXPECT_EQ(link.board.board().read(kLow - 16, 16), QByteArray(16, char(0xFF)));
    EXPECT_EQ(link.board.board().read(kLow + kRows * 64, 16), QByteArray(16, char(0xFF)));
    const vboard::Counters c = link.board.board().counters();
    EXPECT_GT(c.corruptedBytes, 0u);
    EXPECT_GT(c.droppedRequests + c.droppedReplies, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, NoisyLink, ::testing::Values(20240611u, 7u, 99u));

}  // namespace
