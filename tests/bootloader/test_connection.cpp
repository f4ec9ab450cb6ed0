// The bootloader connection over a real pseudo-terminal against the virtual
// board, through the real bootloader library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstring>

#include "bootloader/modcomm.h"
#include "components/nxpicboot/nxpicboot.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "tests/support/vboard_fixture.h"

using namespace dwnfrw;
using dwnfrw::testing::VirtualBoardOnPort;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kBoardPort = 3;
// Keeps the silent-board cases short; the exchanges need far less.
constexpr int32_t kTestReadTimeoutMs = 100;

class ConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folders_.isValid());
        resetGlobals();
        resetBootloaderSettings();
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        // Real texts make the comparisons below mean something; they hold
        // with empty ones as well.
        static const bool loaded = [] {
            QString code = QStringLiteral("ITA");
            QString message;
            return LoadLanguage(brandProductId(0), code, message);
        }();
        (void)loaded;
        QDir(folders_.path()).mkpath(QStringLiteral("temp"));
        QDir(folders_.path()).mkpath(QStringLiteral("logs"));
        globals().TempFolder = folders_.filePath(QStringLiteral("temp"));
        globals().LogsFolder = folders_.filePath(QStringLiteral("logs"));
    }
    void TearDown() override {
        DisconnectBootloader();
        resetBootloaderSettings();
        resetGlobals();
    }
    // InitBootloader for the board's port, with a short read time-out.
    void init(int32_t port = kBoardPort) {
        QString message;
        ASSERT_TRUE(InitBootloader(port, message)) << message.toStdString();
        bootloaderSettings().ReadTimeout = kTestReadTimeoutMs;
    }
    static QString text(int number, int port) {
        return GetText(number) + QStringLiteral(" COM") + QString::number(port);
    }

    QTemporaryDir folders_;
};

TEST_F(ConnectionTest, InitResetsTheSettingsAndRemovesRegionFiles) {
    const char* const names[] = {"progmem", "eedata", "userid", "config"};
    for (const char* name : names) {
        QFile file(regionFilePath(QString::fromLatin1(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("000000 FF \r\n");
        file.close();
        file.setPermissions(QFile::ReadOwner);  // read-only files go as well
    }
    bootloaderSettings().Handle = 0;
    QString message;
    ASSERT_TRUE(InitBootloader(0, message));
    for (const char* name : names)
        EXPECT_FALSE(QFile::exists(regionFilePath(QString::fromLatin1(name))));
    const BootloaderSettings& s = bootloaderSettings();
    EXPECT_EQ(s.ProgMemPath, globals().TempFolder + QStringLiteral("/progmem"));
    EXPECT_EQ(s.EeDataPath, globals().TempFolder + QStringLiteral("/eedata"));
    EXPECT_EQ(s.UserIdPath, globals().TempFolder + QStringLiteral("/userid"));
    EXPECT_EQ(s.ConfigPath, globals().TempFolder + QStringLiteral("/config"));
    EXPECT_EQ(s.PortName, QStringLiteral("COM1"));  // port 0 is taken as port 1
    EXPECT_EQ(s.BitRate, 9600);
    EXPECT_EQ(s.ReadTimeout, 1000);
    EXPECT_EQ(s.RetryCount, 3);
    EXPECT_EQ(s.SkipDeviceCheck, 1);
    EXPECT_EQ(s.DeviceName, QStringLiteral("PIC18F452"));
    EXPECT_EQ(s.DeviceNumber, QStringLiteral("36"));
    ASSERT_TRUE(InitBootloader(12, message));
    EXPECT_EQ(s.PortName, QStringLiteral("COM12"));
}

TEST_F(ConnectionTest, InitFailsWhenARegionFileCannotBeRemoved) {
    // A folder in the way of "userid" cannot be removed as a file (even by root).
    ASSERT_TRUE(QDir(globals().TempFolder).mkpath(QStringLiteral("userid/inside")));
    QString message;
    EXPECT_FALSE(InitBootloader(4, message));
    EXPECT_EQ(message, QStringLiteral("Impossibile eliminare i file temporanei"));
    const BootloaderSettings& s = bootloaderSettings();
    EXPECT_FALSE(s.EeDataPath.isEmpty());  // set before the failure
    EXPECT_TRUE(s.UserIdPath.isEmpty());
    EXPECT_TRUE(s.PortName.isEmpty());
}

TEST_F(ConnectionTest, ConnectsToTheRightBootloaderAndLoadsTheProfile) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok()) << board.error().toStdString();
    init();
    QDir::setCurrent(QDir::rootPath());
    QString message;
    ASSERT_TRUE(ConnectBootloader(0, message)) << message.toStdString();
    EXPECT_EQ(QDir::currentPath(), QDir(programFolder()).absolutePath());
    const BootloaderSettings& s = bootloaderSettings();
    EXPECT_GT(s.Handle, 0);
    EXPECT_EQ(s.PortName, QStringLiteral("COM3"));
    EXPECT_EQ(s.profile.eerangelow, 0x000020);
    EXPECT_EQ(s.profile.eraseblock, 64);
    EXPECT_EQ(s.DeviceNumber, QStringLiteral("36"));
    // With the device check skipped, only the version was asked (a read of
    // its record).
    EXPECT_EQ(board.board().counters().perCommand[1].requests, 1u);

    uint8_t major = 0, minor = 0;
    ASSERT_TRUE(ReadBootloaderVersion(major, minor));
    EXPECT_EQ(major, 0xFA);
    EXPECT_EQ(minor, 4);
}

TEST_F(ConnectionTest, DeviceCheckReadsTheDeviceNumber) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    // Device ID 0x0524: device number 41.
    board.board().load(0x3FFFFE, QByteArray::fromHex("2405"));
    init();
    bootloaderSettings().SkipDeviceCheck = 0;
    bootloaderSettings().DeviceName = QStringLiteral("other");
    QString message;
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message)) << message.toStdString();
    EXPECT_EQ(bootloaderSettings().DeviceNumber, QStringLiteral("41"));
    EXPECT_EQ(bootloaderSettings().DeviceName, QStringLiteral("PIC18F452"));
    EXPECT_EQ(board.board().counters().perCommand[1].requests, 2u);  // version, device ID
}

TEST_F(ConnectionTest, ConnectingTwiceOpensOnceAndAsksTwice) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    init();
    QString message;
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message));
    const int32_t handle = bootloaderSettings().Handle;
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message));
    EXPECT_EQ(bootloaderSettings().Handle, handle);
    const vboard::Counters c = board.board().counters();
    EXPECT_EQ(c.hostOpens, 1u);
    EXPECT_EQ(c.perCommand[1].requests, 2u);  // the version record, read twice
}

TEST_F(ConnectionTest, WrongVersionFailsAndLeavesTheConnectionOpen) {
    vboard::BoardOptions options;
    options.wrongVersion = true;
    VirtualBoardOnPort board(options);
    ASSERT_TRUE(board.ok());
    init();
    QString message;
    EXPECT_FALSE(ConnectBootloader(kBoardPort, message));
    EXPECT_EQ(message, text(1097, kBoardPort));
    EXPECT_GT(message.size(), QStringLiteral(" COM3").size()) << "no text module loaded";
    EXPECT_GT(bootloaderSettings().Handle, 0);
    uint8_t major = 0, minor = 0;
    ASSERT_TRUE(ReadBootloaderVersion(major, minor));
    EXPECT_FALSE(major == 0xFA && minor == 4);
}

TEST_F(ConnectionTest, SilentBoardFailsAfterTheReadTimeOut) {
    vboard::BoardOptions options;
    options.stopAfterExchanges = 0;
    VirtualBoardOnPort board(options);
    ASSERT_TRUE(board.ok());
    init();
    QString message;
    const auto start = Clock::now();
    EXPECT_FALSE(ConnectBootloader(kBoardPort, message));
    const auto took = Clock::now() - start;
    EXPECT_EQ(message, text(1096, kBoardPort));
    EXPECT_GE(took, std::chrono::milliseconds(kTestReadTimeoutMs));
    EXPECT_LT(took, std::chrono::milliseconds(kTestReadTimeoutMs + 300));
    EXPECT_EQ(ReadDeviceNumber(), QStringLiteral("0"));
}

TEST_F(ConnectionTest, MissingPortFailsAndTheNextAttemptOpensAgain) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    // COM5 stands for a board that has gone: its link points nowhere.
    ASSERT_EQ(
        ::symlink("/nonexistent/pts", QFile::encodeName(board.portsFolder() + "/COM5").constData()),
        0);
    init(5);
    QString message;
    EXPECT_FALSE(ConnectBootloader(0, message));
    EXPECT_EQ(message, text(1095, 5));
    EXPECT_LT(bootloaderSettings().Handle, 0);
    EXPECT_FALSE(ConnectBootloader(60, message));  // /dev/ttyUSB27: not on this machine
    EXPECT_EQ(message, text(1095, 60));
    EXPECT_LT(bootloaderSettings().Handle, 0);
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message)) << message.toStdString();
    EXPECT_GT(bootloaderSettings().Handle, 0);
    EXPECT_EQ(bootloaderSettings().PortName, QStringLiteral("COM3"));
}

TEST_F(ConnectionTest, PortNumberBelowOneKeepsTheNameFromInit) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    init();
    QString message;
    ASSERT_TRUE(ConnectBootloader(-2, message)) << message.toStdString();
    EXPECT_EQ(bootloaderSettings().PortName, QStringLiteral("COM3"));
}

TEST_F(ConnectionTest, DisconnectClosesOnceAndAlwaysSucceeds) {
    EXPECT_TRUE(DisconnectBootloader());  // nothing open: the handle stays 0
    EXPECT_EQ(bootloaderSettings().Handle, 0);

    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    init();
    QString message;
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message));
    const int32_t handle = bootloaderSettings().Handle;
    EXPECT_TRUE(DisconnectBootloader());
    EXPECT_EQ(bootloaderSettings().Handle, -1);
    EXPECT_EQ(ClosePIC(handle), NXPIC_ERR_BAD_HANDLE);  // the library let it go
    EXPECT_TRUE(DisconnectBootloader());
    EXPECT_EQ(bootloaderSettings().Handle, -1);

    // A closed connection is opened again by the next connect.
    ASSERT_TRUE(ConnectBootloader(kBoardPort, message));
    EXPECT_GT(bootloaderSettings().Handle, 0);
    EXPECT_NE(bootloaderSettings().Handle, handle);
}

TEST_F(ConnectionTest, ProfileValueOutOfRangeFailsTheConnection) {
    VirtualBoardOnPort board;
    ASSERT_TRUE(board.ok());
    globals().UseProfileFile = true;
    QFile file(picProfilePath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[PIC18F452]\r\neraseblock=300\r\n");
    file.close();
    init();
    QString message;
    EXPECT_FALSE(ConnectBootloader(kBoardPort, message));
    EXPECT_TRUE(message.contains(QStringLiteral("eraseblock"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("300"))) << message.toStdString();
}

// What a programming run does with the connection: erase a row, write and
// verify a line, read the device number, disconnect. Only a run whose image
// was written and verified whole sends the start: then the held entry block
// reaches the board and the board runs the application; otherwise the entry
// word stays erased and the board stays in its bootloader.
TEST_F(ConnectionTest, ConnectionCarriesAProgrammingRun) {
    for (const bool verified : {false, true}) {
        SCOPED_TRACE(verified);
        VirtualBoardOnPort board;
        ASSERT_TRUE(board.ok());
        init();
        QString message;
        ASSERT_TRUE(ConnectBootloader(kBoardPort, message)) << message.toStdString();
        const BootloaderSettings& s = bootloaderSettings();
        uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {0x03, 0x01, 0x00, 0x02, 0x00};
        ASSERT_GE(SendGetPacket(s.Handle, packet, 5, 255, 5), 0);
        uint8_t data[NXPIC_DATA_BUFFER_BYTES] = {};
        const QByteArray line = QByteArray::fromHex("00112233445566778899aabbccddeeff");
        std::memcpy(data, line.constData(), 16);
        PicBlock block{};
        block.Command = 2;
        block.DataLength = 16;
        block.Address = 0x000200 / s.profile.bytesperaddr;
        block.BlockSize = s.profile.writeblock;
        block.BytesPerAddr = s.profile.bytesperaddr;
        block.MaxRetries = s.RetryCount;
        ASSERT_GE(WritePIC(s.Handle, &block, data), 0);
        block.Command = 1;
        EXPECT_GE(VerifyPIC(s.Handle, &block, data), 0);
        EXPECT_EQ(ReadDeviceNumber(), QStringLiteral("33"));
        bootloaderSettings().ImageVerified = verified;
        EXPECT_TRUE(DisconnectBootloader());
        EXPECT_FALSE(bootloaderSettings().ImageVerified);
        EXPECT_EQ(board.board().read(0x000200, 16),
                  verified ? line : QByteArray(8, char(0xFF)) + line.mid(8));
        EXPECT_EQ(board.board().mode(),
                  verified ? vboard::BoardMode::Application : vboard::BoardMode::Bootloader);
        EXPECT_EQ(board.board().counters().perCommand[8].requests, verified ? 1u : 0u);
        resetBootloaderSettings();
    }
}

}  // namespace
