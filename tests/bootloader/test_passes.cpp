// The erase, write and verify passes, run by the real bootloader library over a
// pseudo-terminal against the virtual board.
#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <iostream>
#include <memory>

#include "bootloader/modcomm.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runlog.h"
#include "tests/bootloader/bootloader_test_support.h"
#include "tests/support/scripted_frontend.h"
#include "tests/support/vboard_fixture.h"

namespace dwnfrw {
namespace {

using testing::readFileBytes;
using testing::writeFileBytes;

constexpr uint32_t kBootBlockEnd = 0x000200;
constexpr int kProgramBytes = 0x8000;
constexpr int kUserIdBytes = 16;
constexpr int kEepromBytes = 256;
constexpr uint32_t kUserIdBase = 0x200000;
constexpr uint32_t kConfigBase = 0x300000;
constexpr uint32_t kEepromHexBase = 0xF00000;
// Short enough that a silent board fails a test in a few seconds.
constexpr int32_t kTestReadTimeoutMs = 100;

// Intel HEX of a few memory areas, 16 bytes a record.
class HexImage {
  public:
    void add(uint32_t base, const QByteArray& bytes) {
        for (int at = 0; at < bytes.size(); at += 16) {
            const uint32_t address = base + uint32_t(at);
            if ((address >> 16) != upper_) {
                upper_ = address >> 16;
                record(0, 4,
                       QByteArray::fromHex(QByteArray::number(upper_, 16).rightJustified(4, '0')));
            }
            record(uint16_t(address & 0xFFFF), 0, bytes.mid(at, 16));
        }
    }
    QByteArray text() const { return text_ + ":00000001FF\r\n"; }

  private:
    void record(uint16_t address, uint8_t type, const QByteArray& data) {
        text_ += testing::hexRecord(address, type, data);
    }
    QByteArray text_;
    uint32_t upper_ = 0;
};

QByteArray randomBytes(int count, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(count, '\0');
    for (char& b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

// The lines of the day's run log, without their time stamps.
QStringList logTexts() {
    const auto bytes =
        readFileBytes(joinPath(globals().LogsFolder, logFileName(QDate::currentDate())));
    QStringList texts;
    if (!bytes)
        return texts;
    for (const QByteArray& line : bytes->split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab >= 0)
            texts.append(QString::fromLatin1(line.mid(tab + 1)).chopped(1));
    }
    return texts;
}

QMap<QString, QString> regionLinesByAddress(const QString& path) {
    QMap<QString, QString> lines;
    const QByteArray text = readFileBytes(path).value_or(QByteArray());
    for (const QByteArray& line : text.split('\n')) {
        if (line.size() > 7)
            lines.insert(QString::fromLatin1(line.left(6)), QString::fromLatin1(line.trimmed()));
    }
    return lines;
}

class Passes : public testing::TempFolderTest {
  protected:
    void SetUp() override {
        TempFolderTest::SetUp();
        ASSERT_TRUE(logs_.isValid());
        globals().LogsFolder = logs_.path();
        globals().LogEnabled = true;
        resetBootloaderSettings();
    }
    void TearDown() override {
        DisconnectBootloader();
        resetBootloaderSettings();
        TempFolderTest::TearDown();
    }

    // Starts the board and connects to it as a download run does.
    void connect(vboard::BoardOptions options = {}) {
        port_ = std::make_unique<testing::VirtualBoardOnPort>(options);
        // The passes are tested one by one here, on a new (blank) device.
        for (const vboard::FirmwareArea& area : vboard::firmwareAreas())
            port_->board().load(area.base, QByteArray(area.bytes, '\xFF'));
        ASSERT_TRUE(port_->ok()) << port_->error().toStdString();
        QString message;
        ASSERT_TRUE(InitBootloader(port_->portNumber(), message)) << message.toStdString();
        bootloaderSettings().ReadTimeout = kTestReadTimeoutMs;
        ASSERT_TRUE(ConnectBootloader(port_->portNumber(), message)) << message.toStdString();
    }

    void split(const QByteArray& hex) {
        const QString hexPath = path(QStringLiteral("image.hex"));
        writeFileBytes(hexPath, hex);
        QString message;
        ASSERT_TRUE(SplitHexFile(hexPath, message)) << message.toStdString();
    }

    vboard::PtyBoard& board() { return port_->board(); }
    uint64_t requestsOf(int command) {
        return board().counters().perCommand[size_t(command)].requests;
    }

    dwnfrw::testing::RecordingProgress progress_;
    dwnfrw::testing::CountingPump pump_;
    PassContext ctx_{progress_, pump_};
    QTemporaryDir logs_;
    std::unique_ptr<testing::VirtualBoardOnPort> port_;
};

constexpr int kEraseCommand = 3;
constexpr int kWriteProgramCommand = 2;

// A whole image: program memory above the boot block (which holds the
// bootloader and cannot be written), EEPROM and configuration.
TEST_F(Passes, FullImageIsErasedWrittenAndVerified) {
    vboard::BoardOptions options;
    connect(options);
    const QByteArray bootBlock = randomBytes(int(kBootBlockEnd), 7);
    ASSERT_TRUE(board().load(0, bootBlock));
    // Old firmware of all zeros: only a real erase lets the new bytes in.
    ASSERT_TRUE(board().load(kBootBlockEnd, QByteArray(kProgramBytes - int(kBootBlockEnd), '\0')));
    const QByteArray configBefore = board().read(kConfigBase, 16);

    QByteArray program = randomBytes(kProgramBytes, 1);
    program.replace(0, int(kBootBlockEnd), bootBlock);
    const QByteArray eeprom = randomBytes(kEepromBytes, 2);
    HexImage image;
    image.add(kBootBlockEnd, program.mid(int(kBootBlockEnd)));
    image.add(kConfigBase, randomBytes(16, 4));
    image.add(kEepromHexBase, eeprom);
    split(image.text());

    globals().StopRequested = true;  // left over from an idle "stop": no effect
    QString message;
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(EraseDevice(ctx_, true, true, message)) << message.toStdString();
    // Built-in profile: 504 rows of program memory and one user-ID row.
    EXPECT_EQ(requestsOf(kEraseCommand), 505u);
    EXPECT_EQ(pump_.count, 2 + 505);
    EXPECT_EQ(progress_.barMaximum, 16);
    EXPECT_EQ(progress_.barValue, 16) << "the bar stops at its maximum";
    EXPECT_TRUE(progress_.barVisible);

    pump_.count = 0;
    ASSERT_TRUE(DownloadRegions(ctx_, message)) << message.toStdString();
    const qint64 elapsedMs = clock.elapsed();
    EXPECT_EQ(pump_.count, 2016 + 16) << "one yield per line";
    // Program memory and EEPROM lines are writes on the wire alike.
    EXPECT_EQ(requestsOf(kWriteProgramCommand), 2016u + 16u);
    // The application's entry block reaches the board last, with the start.
    EXPECT_EQ(board().read(kBootBlockEnd, 8), QByteArray(8, char(0xFF)));
    EXPECT_TRUE(bootloaderSettings().ImageVerified);
    EXPECT_TRUE(DisconnectBootloader());
    EXPECT_EQ(board().mode(), vboard::BoardMode::Application);
    EXPECT_FALSE(progress_.barVisible);
    EXPECT_TRUE(progress_.percentText.isEmpty());

    EXPECT_EQ(board().read(kBootBlockEnd, kProgramBytes - int(kBootBlockEnd)),
              program.mid(int(kBootBlockEnd)));
    EXPECT_EQ(board().read(0, int(kBootBlockEnd)), bootBlock);
    EXPECT_EQ(board().read(kUserIdBase, 8), QByteArray(8, char(0xFF)));
    EXPECT_EQ(board().read(kConfigBase, 16), configBefore) << "configuration is never written";

    // The board's dump, split like any image, gives the same region lines.
    const QString imageProgmem = regionFilePath(QStringLiteral("progmem"));
    const auto expectedProgmem = regionLinesByAddress(imageProgmem);
    const auto expectedEedata = regionLinesByAddress(regionFilePath(QStringLiteral("eedata")));
    QTemporaryDir dumpFolder;
    ASSERT_TRUE(dumpFolder.isValid());
    globals().TempFolder = dumpFolder.path();
    const QString dumpPath = joinPath(dumpFolder.path(), QStringLiteral("dump.hex"));
    writeFileBytes(dumpPath, board().dumpHex());
    QString splitMessage;
    ASSERT_TRUE(SplitHexFile(dumpPath, splitMessage)) << splitMessage.toStdString();
    const auto dumpProgmem = regionLinesByAddress(regionFilePath(QStringLiteral("progmem")));
    // The dump holds the boot block too: 32 lines more.
    EXPECT_EQ(dumpProgmem.size(), expectedProgmem.size() + int(kBootBlockEnd) / 16);
    for (auto line = expectedProgmem.begin(); line != expectedProgmem.end(); ++line) {
        EXPECT_EQ(dumpProgmem.value(line.key()), line.value());
    }
    EXPECT_EQ(regionLinesByAddress(regionFilePath(QStringLiteral("eedata"))), expectedEedata);

    const QStringList expectedOperations = {GetText(1103), GetText(1104), GetText(1099)};
    EXPECT_EQ(progress_.operationHistory.mid(0, 3), expectedOperations);
    EXPECT_TRUE(progress_.operationHistory.contains(GetText(1100)));

    const QStringList log = logTexts();
    ASSERT_GE(log.size(), 5);
    EXPECT_EQ(log.mid(0, 3),
              (QStringList{"Cancellazione flash", "Cancellazione eeprom", "Download flash"}));
    EXPECT_TRUE(log[3].startsWith("<- TX 000200 ")) << log[3].toStdString();
    EXPECT_EQ(log[4], "-> RX riga validata");
    EXPECT_TRUE(log.contains("Download eeprom"));
    std::cout << "[ figures  ] erase, write and verify of 32 KiB: " << elapsedMs << " ms\n";
}

TEST_F(Passes, ProgramMemoryOnlySkipsTheOtherPasses) {
    connect();
    HexImage image;
    image.add(0x0400, randomBytes(64, 5));
    split(image.text());
    QString message;
    ASSERT_TRUE(EraseDevice(ctx_, true, false, message)) << message.toStdString();
    EXPECT_EQ(requestsOf(kEraseCommand), 504u);
    ASSERT_TRUE(DownloadRegions(ctx_, message)) << message.toStdString();
    EXPECT_EQ(logTexts().filter("Download"), QStringList{"Download flash"});
    EXPECT_FALSE(progress_.operationHistory.contains(GetText(1100)));
}

TEST_F(Passes, StopDuringAnErase) {
    connect();
    pump_.onYield = [](int count) {
        if (count == 10)
            globals().StopRequested = true;
    };
    QString message;
    EXPECT_FALSE(EraseDevice(ctx_, true, true, message));
    EXPECT_EQ(message, GetText(1005));
    // The first yield comes before the range; the stop is seen at the ninth packet.
    EXPECT_EQ(requestsOf(kEraseCommand), 8u);
    EXPECT_EQ(logTexts(), QStringList{"Cancellazione flash"});
}

TEST_F(Passes, StopDuringAWritePass) {
    connect();
    const QByteArray program = randomBytes(16 * 8, 6);
    HexImage image;
    image.add(0x1000, program);
    split(image.text());
    pump_.onYield = [](int count) {
        if (count == 5)
            globals().StopRequested = true;
    };
    QString message;
    EXPECT_FALSE(DownloadRegions(ctx_, message));
    EXPECT_EQ(message, GetText(1005));
    EXPECT_EQ(progress_.operationText, GetText(1102).replace("%1", "5"));
    // Four lines went to the erased board; the fifth was never sent.
    EXPECT_EQ(board().read(0x1000, 64), program.left(64));
    EXPECT_EQ(board().read(0x1040, 16), QByteArray(16, char(0xFF)));
    EXPECT_EQ(requestsOf(kWriteProgramCommand), 4u);
}

// The chip has eight user-ID bytes; a region line is sixteen. Eight bytes of
// user ID go through (the line's padding is not written); data in the other
// eight is refused by the board.
TEST_F(Passes, UserIdTakesTheChipsEightBytesAndRefusesMore) {
    for (const int bytes : {8, 16}) {
        SCOPED_TRACE(bytes);
        connect();
        HexImage image;
        image.add(0x0400, randomBytes(16, 6));
        const QByteArray userId = randomBytes(bytes, 3);
        image.add(kUserIdBase, userId);
        split(image.text());
        QString message;
        ASSERT_TRUE(EraseDevice(ctx_, true, true, message)) << message.toStdString();
        const bool written = DownloadRegions(ctx_, message);
        EXPECT_EQ(written, bytes == 8) << message.toStdString();
        EXPECT_EQ(bootloaderSettings().ImageVerified, written);
        if (written) {
            EXPECT_EQ(board().read(kUserIdBase, 8), userId);
        } else {
            EXPECT_TRUE(message.startsWith(GetText(1106))) << message.toStdString();
            EXPECT_TRUE(message.contains(QStringLiteral("200000"))) << message.toStdString();
        }
        DisconnectBootloader();
        port_.reset();
        resetBootloaderSettings();
    }
}

TEST_F(Passes, BootBlockLineIsRefused) {
    connect();
    const QString progmem = regionFilePath(QStringLiteral("progmem"));
    writeFileBytes(progmem,
                   "000200 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 \r\n"
                   "000100 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF \r\n"
                   "000210 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 \r\n");
    const QByteArray bootBlock = board().read(0, int(kBootBlockEnd));
    QString message;
    EXPECT_FALSE(DownloadRegions(ctx_, message));
    EXPECT_TRUE(message.startsWith(GetText(1106))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("000100"))) << message.toStdString();
    EXPECT_EQ(logTexts(), (QStringList{
                              "Download flash",
                              "<- TX 000200 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 ",
                              "-> RX riga validata",
                              "<- TX 000100 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF ",
                          }));
    EXPECT_EQ(board().read(0, int(kBootBlockEnd)), bootBlock);
    EXPECT_EQ(board().read(0x210, 16), QByteArray(16, char(0xFF))) << "nothing after the failure";
}

TEST_F(Passes, ShortLineSendsZerosForMissingBytes) {
    connect();
    const QString progmem = regionFilePath(QStringLiteral("progmem"));
    writeFileBytes(progmem, "000300 11 22\n");
    QString message;
    ASSERT_TRUE(WriteRegionFile(ctx_, 8, 1, 2, progmem, message)) << message.toStdString();
    EXPECT_EQ(board().read(0x300, 16), QByteArray::fromHex("11220000000000000000000000000000"));
}

// A link that goes silent fails the pass; what was written stays written.
TEST_F(Passes, SilentLinkFailsThePass) {
    struct Case {
        int answeredAfterConnect;  // exchanges the board still answers
        int expectedText;
        int linesOnBoard;
    };
    // Three lines take six exchanges; then the fourth write or its check goes unanswered.
    for (const Case& c : {Case{6, 1106, 3}, Case{7, 1107, 4}}) {
        SCOPED_TRACE(c.expectedText);
        DisconnectBootloader();
        port_.reset();
        resetBootloaderSettings();
        vboard::BoardOptions options;
        options.stopAfterExchanges = 1 + c.answeredAfterConnect;  // the version query first
        connect(options);
        ASSERT_EQ(board().counters().exchanges, 1u);
        const QByteArray program = randomBytes(16 * 6, 8);
        HexImage image;
        image.add(0x2000, program);
        split(image.text());

        QString message;
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(DownloadRegions(ctx_, message));
        EXPECT_TRUE(message.startsWith(GetText(c.expectedText) + u' ')) << message.toStdString();
        EXPECT_LT(clock.elapsed(), 10000);
        EXPECT_EQ(board().read(0x2000, 16 * c.linesOnBoard), program.left(16 * c.linesOnBoard));
        EXPECT_EQ(board().read(0x2000 + 16 * uint32_t(c.linesOnBoard), 16),
                  QByteArray(16, char(0xFF)));
    }
}

// Profile values that the file may give under "/D".
TEST_F(Passes, ZeroBlockSizesFailClearly) {
    connect();
    HexImage image;
    image.add(0x0400, randomBytes(32, 9));
    split(image.text());

    bootloaderSettings().profile.eraseblock = 0;
    QString message;
    EXPECT_FALSE(EraseDevice(ctx_, true, true, message));
    EXPECT_TRUE(message.contains("eraseblock")) << message.toStdString();
    EXPECT_EQ(pump_.count, 0);
    EXPECT_EQ(EraseRange(ctx_, 0x200, 0x7FFF), kEraseNoStep);
    EXPECT_EQ(requestsOf(kEraseCommand), 0u);

    bootloaderSettings().profile.bytesperaddr = 0;
    message.clear();
    EXPECT_FALSE(DownloadRegions(ctx_, message));
    EXPECT_TRUE(message.contains("bytesperaddr")) << message.toStdString();
    EXPECT_TRUE(message.contains("line 1")) << message.toStdString();
    EXPECT_EQ(logTexts(), QStringList{"Download flash"}) << "no line was sent";
    EXPECT_EQ(requestsOf(kWriteProgramCommand), 0u);
}

TEST_F(Passes, UnwritableLogFailsThePassWithItsText) {
    connect();
    globals().LogsFolder = joinPath(logs_.path(), QStringLiteral("missing/deeper"));
    writeFileBytes(joinPath(logs_.path(), QStringLiteral("missing")), "a file, not a folder");
    QString message;
    EXPECT_FALSE(EraseDevice(ctx_, true, false, message));
    EXPECT_FALSE(message.isEmpty());
    EXPECT_EQ(requestsOf(kEraseCommand), 0u);
}

TEST_F(Passes, MissingRegionFileNamesIt) {
    const QString absent = path(QStringLiteral("absent"));
    QString message;
    EXPECT_FALSE(WriteRegionFile(ctx_, 8, 1, 2, absent, message));
    EXPECT_TRUE(message.contains(absent)) << message.toStdString();
}

}  // namespace
}  // namespace dwnfrw
