#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>

#include "components/ctrllink/ctrllink.h"
#include "components/nxpicboot/nxpic_wire.h"
#include "tools/vboard/board.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/pic_memory.h"
#include "tools/vboard/pty_board.h"

using namespace vboard;
using namespace std::chrono_literals;
namespace wire = nxpic::wire;

namespace {

QByteArray request(int seq, uint8_t command, const QByteArray& args) {
    return wire::encodeRequest(char(wire::makeTag(seq, command)) + args);
}

QByteArray address(uint32_t a) {
    QByteArray bytes;
    wire::appendAddress(bytes, a);
    return bytes;
}

TEST(PicMemory, FollowsTheDevicesRules) {
    // By default a board holds a previous firmware, so a skipped erase shows.
    EXPECT_EQ(PicMemory().peek(0x000400, 2),
              QByteArray(1, char(previousFirmwareByte(0x400))) + char(previousFirmwareByte(0x401)));
    EXPECT_NE(PicMemory().peek(kEepromHexBase, 16), QByteArray(16, char(0xFF)));
    PicMemory m(pic18f452Layout(), StartContents::Blank);
    const QByteArray line = QByteArray::fromHex("0123456789abcdef0011223344556677");
    struct Case {
        const char* name;
        MemoryResult result;
        MemoryResult expected;
    };
    QByteArray out;
    const Case cases[] = {
        {"write program", m.writeProgram(0x000400, line), MemoryResult::Ok},
        {"write boot block", m.writeProgram(0x0001F0, line), MemoryResult::Ok},
        {"write user id", m.writeProgram(0x200000, line), MemoryResult::Ok},
        {"write config", m.writeProgram(0x300000, line), MemoryResult::Refused},
        {"write device id", m.writeProgram(0x3FFFFE, line.left(2)), MemoryResult::Refused},
        {"write past user id", m.writeProgram(0x200008, line), MemoryResult::Refused},
        {"write gap", m.writeProgram(0x100000, line), MemoryResult::Refused},
        {"write misaligned", m.writeProgram(0x000408, line.left(12)), MemoryResult::Misaligned},
        {"erase config", m.eraseRow(0x300000), MemoryResult::Refused},
        {"erase eeprom space", m.eraseRow(0xF00000), MemoryResult::Refused},
        {"read config", m.readProgram(0x300000, 16, out), MemoryResult::Ok},
        {"read across regions", m.readProgram(0x007FF8, 16, out), MemoryResult::Refused},
        {"eeprom last byte", m.writeEeprom(0xFF, line.left(1)), MemoryResult::Ok},
        {"eeprom past end", m.writeEeprom(0xFF, line.left(2)), MemoryResult::Refused},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.name;
    EXPECT_EQ(m.peek(0x000400, 16), line);
    EXPECT_EQ(m.peek(0x0001F0, 16), QByteArray(16, char(0xFF)));
    EXPECT_EQ(m.peek(0x200000, 16), line);
    EXPECT_EQ(m.peek(kEepromHexBase + 0xFF, 1), line.left(1));

    // A second write without an erase can only clear bits.
    ASSERT_EQ(m.writeProgram(0x000400, QByteArray(16, char(0xF0))), MemoryResult::Ok);
    QByteArray anded = line;
    for (char& c : anded)
        c = char(uint8_t(c) & 0xF0);
    EXPECT_EQ(m.peek(0x000400, 16), anded);

    // The erase clears the whole row that holds the address, and only it.
    m.load(0x000440, QByteArray(16, 0));
    ASSERT_EQ(m.eraseRow(0x000410), MemoryResult::Ok);
    EXPECT_EQ(m.peek(0x000400, 64), QByteArray(64, char(0xFF)));
    EXPECT_EQ(m.peek(0x000440, 16), QByteArray(16, 0));
    ASSERT_EQ(m.eraseRow(0x200000), MemoryResult::Ok);
    EXPECT_EQ(m.peek(0x200000, 16), QByteArray(16, char(0xFF)));
    // The boot block's row stays as it was.
    m.load(0x000000, QByteArray(16, 0x12));
    ASSERT_EQ(m.eraseRow(0x000000), MemoryResult::Ok);
    EXPECT_EQ(m.peek(0x000000, 16), QByteArray(16, 0x12));

    // The write at 0001F0 and the erase of row 0 aimed at the boot block.
    EXPECT_EQ(m.bootBlockFaults(), 2u);

    const QByteArray id = m.peek(0x3FFFFE, 2);
    EXPECT_EQ((uint8_t(id[1]) * 256 + uint8_t(id[0])) / 32, 33);
}

// --expect: a later record's byte wins, and a later 0xFF never hides an earlier byte.
TEST(ImageCheck, ComparesTheImageAsTheUpdaterMergesIt) {
    PicMemory m(pic18f452Layout(), StartContents::Blank);
    m.load(0x000200, QByteArray::fromHex("aa22"));
    const QByteArray hex = intelHexRecord(0, 0x0200, QByteArray::fromHex("1122")) +
                           intelHexRecord(0, 0x0200, QByteArray::fromHex("aaff")) +
                           intelHexRecord(1, 0, {});
    const ImageCheck check = checkImage(hex, [&](uint32_t a, int n) { return m.peek(a, n); });
    EXPECT_TRUE(check.equal) << check.report.toStdString();
}

TEST(IntelHex, DumpLoadsBackToTheSameMemory) {
    PicMemory first;
    first.load(0x000200, QByteArray::fromHex("00112233"));
    first.load(0x007FF0, QByteArray(16, 0x55));
    first.load(0x200004, QByteArray::fromHex("abcd"));
    first.load(kEepromHexBase + 0x80, QByteArray::fromHex("7e"));
    const QByteArray dump = dumpIntelHex(first);
    EXPECT_TRUE(dump.startsWith(":020000040000FA\n"));
    EXPECT_TRUE(dump.endsWith(":00000001FF\n"));
    EXPECT_TRUE(dump.contains(":020000040020DA\n"));
    EXPECT_TRUE(dump.contains(":0200000400F00A\n"));

    PicMemory second;
    QString error;
    ASSERT_TRUE(loadIntelHex(dump, second, &error)) << error.toStdString();
    EXPECT_EQ(dumpIntelHex(second), dump);
}

TEST(IntelHex, BadRecordsNameTheirLine) {
    PicMemory m;
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {":0400000000112233AA\n", "HEX line 1: bad checksum"},
        {"\n:02000004001FDB\n:0100000012ED\n",
         "HEX line 3: address 1f0000 is not in the board's memory"},
        {"x\n", "HEX line 1: does not start with ':'"},
        {":04000000001122\n", "HEX line 1: length does not match its count"},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(loadIntelHex(c.text, m, &error)) << c.text;
        EXPECT_EQ(error, QString::fromLatin1(c.message));
    }
    QString error;
    ASSERT_TRUE(
        loadIntelHex(":0400100001020304E2\r\n:00000001FF\r\n:04000000FFFFFFFF\n", m, &error))
        << error.toStdString();
    EXPECT_EQ(m.peek(0x10, 4), QByteArray::fromHex("01020304"));
}

QByteArray versionQuery(int seq) {
    return request(seq, wire::kRead, address(wire::kVersionRecordAddress) + char(2));
}

TEST(Board, ResynchronisesAfterNoiseAndDamagedFrames) {
    Board board;
    const auto now = Clock::now();
    const QByteArray good = versionQuery(1);
    QByteArray damaged = versionQuery(2);
    damaged[3] = char(damaged[3] ^ 0x40);
    // A start byte with a length too large, noise, a damaged frame, a good one.
    const QByteArray stream = QByteArray::fromHex("a5ff00a5") + damaged + good;
    const std::vector<QByteArray> replies = board.receive(stream, now);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              wire::encodeReply(wire::requestCrc(good), wire::kOk, QByteArray::fromHex("04fa")));
    EXPECT_GE(board.counters().badFrames, 2u);
}

// As the resident bootloader: a frame it cannot read gets no answer at all,
// and a frame cut short is given up once the line is quiet.
TEST(Board, UnreadableInputIsDroppedWithoutAWord) {
    const QByteArray good = versionQuery(3);
    QByteArray damaged = good;
    damaged[4] = char(damaged[4] ^ 0x10);
    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {{"stalled", QByteArray::fromHex("a528")},
                          {"bad crc", damaged},
                          {"bad length", QByteArray::fromHex("a5ff0002")},
                          {"noise", QByteArray::fromHex("0102")}};
    for (const Case& c : cases) {
        Board board;
        const auto now = Clock::now();
        EXPECT_TRUE(board.receive(c.bytes, now).empty()) << c.name;
        if (const auto due = board.idleDue()) {
            EXPECT_TRUE(board.idle(*due).empty()) << c.name;
        }
        EXPECT_FALSE(board.idleDue().has_value()) << c.name;
        EXPECT_EQ(board.receive(good, now + 50ms).size(), 1u) << c.name;
    }
}

// The checks in the firmware's order; every refusal is the start byte and its CHECK.
TEST(Board, AnswersStatusesForBadRequests) {
    Board board;
    const auto now = Clock::now();
    const QByteArray block(8, 0);
    struct Case {
        const char* name;
        QByteArray frame;
        uint8_t status;
    };
    const Case cases[] = {
        {"unknown command", request(1, 9, {}), wire::kUnknownCommand},
        {"old version query", request(2, 0, QByteArray(1, 2)), wire::kUnknownCommand},
        {"read without count", request(3, wire::kRead, address(0x400)), wire::kBadLength},
        {"read of 0", request(4, wire::kRead, address(0x400) + char(0)), wire::kBadLength},
        {"digest of 49", request(5, wire::kDigest, address(0x400) + char(49)), wire::kBadLength},
        {"erase of 2 rows", request(6, wire::kErase, address(0x400) + char(2)), wire::kBadLength},
        {"erase the boot block", request(7, wire::kErase, address(0x1C0) + char(1)),
         wire::kAddressRefused},
        {"erase the eeprom", request(8, wire::kErase, address(0xF00000) + char(1)),
         wire::kAddressRefused},
        {"start with an argument", request(9, wire::kStartApp, QByteArray(1, 0)), wire::kBadLength},
        {"write without data", request(10, wire::kWrite, address(0x400)), wire::kBadLength},
        {"write config", request(11, wire::kWrite, address(0x300000) + block),
         wire::kAddressRefused},
        {"write the boot block", request(12, wire::kWrite, address(0x1F8) + block + block),
         wire::kAddressRefused},
        {"write off a block", request(13, wire::kWrite, address(0x404) + block), wire::kMisaligned},
        {"write user ID byte 8", request(14, wire::kWrite, address(0x200008) + block),
         wire::kAddressRefused},
        {"eeprom past FF", request(15, wire::kWrite, address(0xF000FF) + QByteArray(2, 0)),
         wire::kAddressRefused},
        {"digest of eeprom past FF", request(0, wire::kDigest, address(0xF000FF) + char(2)),
         wire::kAddressRefused},
    };
    for (const Case& c : cases) {
        const auto replies = board.receive(c.frame, now);
        ASSERT_EQ(replies.size(), 1u) << c.name;
        EXPECT_EQ(replies[0],
                  wire::encodeReply(wire::requestCrc(c.frame), wire::Status(c.status), {}))
            << c.name;
        EXPECT_EQ(replies[0].size(), wire::kReplyOverheadBytes) << c.name;
    }
    EXPECT_EQ(board.bootBlockFaults(), 0u);
}

// Start and hand-over: an absent application (erased entry word) is never
// started; a present one is, after the answer.
TEST(Board, StartsTheApplicationOnlyWhenItIsThere) {
    Board board;
    const auto now = Clock::now();
    board.load(wire::kEntryBlockAddress, QByteArray(8, char(0xFF)));
    QByteArray start = request(1, wire::kStartApp, {});
    EXPECT_EQ(board.receive(start, now), std::vector<QByteArray>{wire::encodeReply(
                                             wire::requestCrc(start), wire::kAddressRefused, {})});
    EXPECT_EQ(board.mode(), BoardMode::Bootloader);
    board.load(wire::kEntryBlockAddress, QByteArray::fromHex("00ef00f0"));
    start = request(2, wire::kStartApp, {});
    EXPECT_EQ(board.receive(start, now),
              std::vector<QByteArray>{wire::encodeReply(wire::requestCrc(start), wire::kOk, {})});
    EXPECT_EQ(board.mode(), BoardMode::Application);

    // At power-on: the application runs only when its entry word is programmed.
    for (const bool present : {false, true}) {
        BoardOptions options;
        options.startMode = BoardMode::Application;
        Board fresh(options);
        if (!present)
            fresh.load(wire::kEntryBlockAddress, QByteArray(2, char(0xFF)));
        fresh.powerOn();
        EXPECT_EQ(fresh.mode(), present ? BoardMode::Application : BoardMode::Bootloader);
    }
}

TEST(Board, WrongVersionAndStopAfter) {
    BoardOptions options;
    options.wrongVersion = true;
    options.stopAfterExchanges = 2;
    Board board(options);
    const auto now = Clock::now();
    const QByteArray query = versionQuery(0);
    const auto first = board.receive(query, now);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0],
              wire::encodeReply(wire::requestCrc(query), wire::kOk, QByteArray::fromHex("04fa")));
    EXPECT_EQ(board.receive(query, now).size(), 1u);
    EXPECT_TRUE(board.receive(query, now).empty());
    EXPECT_EQ(board.counters().exchanges, 2u);
    EXPECT_EQ(board.counters().requests, 3u);
}

TEST(Board, SameSeedSameFaults) {
    BoardOptions options;
    options.corruptRate = 0.1;
    options.dropRate = 0.2;
    options.lateMs = 30;
    options.burstRate = 0.3;
    options.seed = 7;
    const auto run = [&] {
        Board board(options);
        QByteArray all;
        std::vector<Clock::duration> delays;
        // A clock of its own: the board's choices may depend on the gaps
        // between requests, which a busy machine would otherwise vary.
        Clock::time_point now{};
        for (int i = 0; i < 50; ++i, now += 100ms)
            for (const QByteArray& r : board.receive(versionQuery(i), now, &delays))
                all += r;
        int late = 0;
        for (Clock::duration d : delays)
            late += d == 30ms ? 1 : 0;
        EXPECT_EQ(uint64_t(late), board.counters().lateReplies);
        EXPECT_GT(board.counters().burstBytes, 0u);
        // The host repeating itself: every request asks what the one before did.
        EXPECT_EQ(board.counters().perCommand[wire::kRead].repetitions,
                  board.counters().requests - 1);
        return all;
    };
    EXPECT_EQ(run(), run());
}

class HostEnd {
  public:
    explicit HostEnd(const QString& path) {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        if (fd_ >= 0) {
            termios raw{};
            tcgetattr(fd_, &raw);
            cfmakeraw(&raw);
            tcsetattr(fd_, TCSANOW, &raw);
        }
    }
    ~HostEnd() { close(); }
    bool ok() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void send(const QByteArray& bytes) {
        ASSERT_EQ(::write(fd_, bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    QByteArray receive(int count, std::chrono::milliseconds timeout = 1000ms) {
        QByteArray out;
        const auto deadline = Clock::now() + timeout;
        while (out.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&p, 1, int(left.count()) + 1) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, int(n));
        }
        return out;
    }

  private:
    int fd_ = -1;
};

TEST(PtyBoard, ServesTheTerminalAndDumpsWhenTheHostHangsUp) {
    QTemporaryDir dir;
    PtyBoard board;
    for (const FirmwareArea& area : firmwareAreas())  // a new device: writes land as sent
        board.load(area.base, QByteArray(area.bytes, '\xFF'));
    const QString dump = dir.filePath(QStringLiteral("board.hex"));
    board.setDumpFile(dump);
    QString error;
    ASSERT_TRUE(board.start(&error)) << error.toStdString();
    const QString link = dir.filePath(QStringLiteral("COM3"));
    QFile(link).open(QIODevice::WriteOnly);  // something in the way: replaced
    ASSERT_TRUE(board.linkAs(link, &error)) << error.toStdString();
    EXPECT_EQ(QFile::symLinkTarget(link), board.devicePath());

    for (int session = 1; session <= 2; ++session) {
        HostEnd host(link);
        ASSERT_TRUE(host.ok());
        const QByteArray line(8, char(0x10 + session));
        const QByteArray write =
            request(session, wire::kWrite, address(0x000800 + 8 * uint32_t(session)) + line);
        host.send(write);
        EXPECT_EQ(host.receive(3), wire::encodeReply(wire::requestCrc(write), wire::kOk, {}));
        host.close();
        // The dump follows the hang-up, written by the board's thread.
        const auto deadline = Clock::now() + 2s;
        QByteArray dumped;
        while (dumped != line && Clock::now() < deadline) {
            QFile file(dump);
            PicMemory loaded;
            if (file.open(QIODevice::ReadOnly) && loadIntelHex(file.readAll(), loaded, &error))
                dumped = loaded.peek(0x000800 + 8 * uint32_t(session), 8);
            if (dumped != line)
                QThread::msleep(2);
        }
        EXPECT_EQ(dumped, line) << session;
    }
    const Counters c = board.counters();
    EXPECT_EQ(c.hostOpens, 2u);
    EXPECT_EQ(c.hostCloses, 2u);
    EXPECT_EQ(c.exchanges, 2u);
    EXPECT_EQ(c.bytesReceived, 2u * (8 + 3 + 1 + 4));
    EXPECT_EQ(c.bytesSent, 2u * 3);
    board.stop();
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(PtyBoard, PacedBytesTakeTheirTimeOnTheWire) {
    BoardOptions options;
    options.paced = true;
    options.workDelayMs = 5;
    PtyBoard board(options);
    ASSERT_TRUE(board.start());
    HostEnd host(board.devicePath());
    ASSERT_TRUE(host.ok());
    const QByteArray query = request(0, wire::kRead, address(0x000400) + char(16));
    const auto start = Clock::now();
    host.send(query);
    const QByteArray reply = host.receive(19);
    const auto took = Clock::now() - start;
    ASSERT_EQ(reply.size(), 19);
    // 9 + 19 bytes at 1.0417 ms each, plus the working time.
    EXPECT_GE(took, 28 * kPacedByteTime + 5ms);
    EXPECT_LT(took, 28 * kPacedByteTime + 5ms + 40ms);
}

TEST(PtyBoard, UnplugTakesTheTerminalAway) {
    PtyBoard board;
    ASSERT_TRUE(board.start());
    const QString path = board.devicePath();
    HostEnd host(path);
    ASSERT_TRUE(host.ok());
    board.unplug();
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(host.receive(1, 200ms).isEmpty());
}

}  // namespace

namespace {

// The application answers the identification with the version its record in
// program memory holds; without a record, with what the options say.
struct VersionRecordCase {
    const char* name;
    QByteArray record;  // written at the record's address; empty: memory as it starts
    QByteArray answer;
};

QByteArray versionRecord(const char* marker, uint8_t layout, uint16_t version, uint16_t build,
                         uint16_t brand) {
    QByteArray r(marker);
    r.append(char(layout)).append('\0');
    for (uint16_t n : {version, build, brand})
        r.append(char(n & 0xFF)).append(char(n >> 8));
    return r;
}

class VersionRecordTest : public ::testing::TestWithParam<VersionRecordCase> {};

TEST_P(VersionRecordTest, IdentificationAnswersTheApplicationInMemory) {
    const VersionRecordCase& c = GetParam();
    BoardOptions options;
    options.startMode = BoardMode::Application;
    options.appVersion = 4;
    options.appBuild = 3;
    options.appBrand = 7;
    Board board(options);
    if (!c.record.isEmpty()) {
        ASSERT_TRUE(board.load(kAppVersionRecord, c.record));
    }
    const std::vector<QByteArray> replies = board.receive("$V?\r", Clock::now());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], c.answer);
}

const VersionRecordCase kVersionRecordCases[] = {
    {"previous_firmware", {}, "#V,4,3,7*4A\r"},
    {"record", versionRecord("APPV", 1, 5, 12, 20), "#V,5,12,20*4E\r"},
    {"largest_numbers", versionRecord("APPV", 1, 65535, 65535, 65535), "#V,65535,65535,65535*4A\r"},
    {"wrong_marker", versionRecord("APPW", 1, 5, 12, 20), "#V,4,3,7*4A\r"},
    {"unknown_layout", versionRecord("APPV", 2, 5, 12, 20), "#V,4,3,7*4A\r"},
    {"erased", QByteArray(kAppVersionRecordBytes, char(0xFF)), "#V,4,3,7*4A\r"},
};

INSTANTIATE_TEST_SUITE_P(Records, VersionRecordTest, ::testing::ValuesIn(kVersionRecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The record the board's own application carries stands where the board reads it.
TEST(VersionRecord, TheBuiltApplicationAnswersItsConfiguredVersion) {
    QFile file(QStringLiteral(DWNFRW_FIRMWARE_DIR "/app.hex"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << "build the firmware target first";
    BoardOptions options;
    options.startMode = BoardMode::Application;
    options.appVersion = 99;
    Board board(options);
    QString error;
    ASSERT_TRUE(board.loadHex(file.readAll(), &error)) << error.toStdString();
    const std::vector<QByteArray> replies = board.receive("$V?\r", Clock::now());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0],
              ctrllink::versionAnswer(DWNFRW_APP_VERSION, DWNFRW_APP_BUILD, DWNFRW_APP_BRAND));
}

}  // namespace
