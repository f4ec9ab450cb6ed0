// Both ends of the identification link: the link component over a
// pseudo-terminal against the virtual board's application, and the
// application's reading of the loader-entry command.
#include <gtest/gtest.h>

#include <QDate>
#include <QElapsedTimer>

#include "components/nxpicboot/nxpic_wire.h"
#include "ctrllink.h"
#include "download/loader_entry.h"
#include "startup/runlog.h"
#include "tests/download/run_fixture.h"

namespace dwnfrw {
namespace {

using testing::kRunPort;
using testing::VirtualBoardOnPort;

const QString kRequestLine = QStringLiteral("LINK TX: 24 56 3f 0d");
const QString kNoAnswerLine = QStringLiteral("LINK RX: nessuna risposta");

struct LinkCase {
    const char* name;
    vboard::BoardOptions board;
    int32_t settingA;  // tenths of a second per attempt
    int32_t settingB;  // attempts
    bool logging;
    int32_t version, build, brand, linkError;
    QStringList log;
    int atLeastMs;  // the attempts' time-outs
};

vboard::BoardOptions application(void (*change)(vboard::BoardOptions&) = nullptr) {
    vboard::BoardOptions options;
    options.startMode = vboard::BoardMode::Application;
    options.appVersion = 4;
    options.appBuild = 3;
    options.appBrand = 7;
    if (change)
        change(options);
    return options;
}

class LinkTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkTest, ReadVersion) {
    const LinkCase& c = GetParam();
    VirtualBoardOnPort port(c.board, kRunPort);
    ASSERT_TRUE(port.ok()) << port.error().toStdString();
    QStringList log;
    ctrllink::CtrlLinkClient link;
    link.PortNumber = kRunPort;
    link.BaudRate = 9600;
    link.SettingA = c.settingA;
    link.LinkLogging = c.logging;
    link.SettingB = c.settingB;
    link.logSink = [&log](const QString& line) { log.append(line); };
    QElapsedTimer clock;
    clock.start();

    ASSERT_TRUE(link.Open());
    int32_t version = -1, build = -1, brand = -1, linkError = -1;
    link.ReadVersion(version, build, brand, linkError);
    bool closed = false;
    link.Close(closed);

    EXPECT_EQ(linkError, c.linkError);
    EXPECT_EQ(version, c.version);
    EXPECT_EQ(build, c.build);
    EXPECT_EQ(brand, c.brand);
    EXPECT_EQ(log, c.log);
    EXPECT_TRUE(closed);
    EXPECT_GE(clock.elapsed(), c.atLeastMs);
    EXPECT_EQ(port.board().counters().bytesReceived,
              uint64_t(c.log.count(kRequestLine) * ctrllink::identificationRequest().size()))
        << "one request per attempt";
    const bool answered =
        c.linkError == ctrllink::kLinkOk || c.linkError > ctrllink::kLinkDeviceError;
    EXPECT_EQ(port.board().counters().exchanges, answered ? 1u : 0u) << "answered requests only";
}

const LinkCase kLinkCases[] = {
    {"answers_its_version",
     application(),
     10,
     6,
     true,
     4,
     3,
     7,
     ctrllink::kLinkOk,
     {kRequestLine, QStringLiteral("LINK RX: #V,4,3,7*4A")},
     0},
    {"reports_its_own_error",
     application([](vboard::BoardOptions& o) { o.appLinkError = 5; }),
     10,
     6,
     true,
     0,
     0,
     0,
     ctrllink::kLinkDeviceError + 5,
     {kRequestLine, QStringLiteral("LINK RX: #E,5*5C")},
     0},
    {"silent_application_every_attempt_times_out",
     application([](vboard::BoardOptions& o) { o.appSilent = true; }),
     1,
     3,
     true,
     0,
     0,
     0,
     ctrllink::kLinkNoAnswer,
     {kRequestLine, kRequestLine, kRequestLine, kNoAnswerLine},
     300},
    {"board_in_its_bootloader",
     vboard::BoardOptions{},
     1,
     2,
     true,
     0,
     0,
     0,
     ctrllink::kLinkNoAnswer,
     {kRequestLine, kRequestLine, kNoAnswerLine},
     200},
};

INSTANTIATE_TEST_SUITE_P(Board, LinkTest, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkTest, LoggingOffWritesNothing) {
    VirtualBoardOnPort port(application(), kRunPort);
    ASSERT_TRUE(port.ok()) << port.error().toStdString();
    QStringList log;
    ctrllink::CtrlLinkClient link;
    link.PortNumber = kRunPort;
    link.LinkLogging = false;
    link.logSink = [&log](const QString& line) { log.append(line); };
    ASSERT_TRUE(link.Open());
    int32_t version = 0, build = 0, brand = 0, linkError = -1;
    link.ReadVersion(version, build, brand, linkError);
    EXPECT_EQ(linkError, ctrllink::kLinkOk);
    EXPECT_EQ(version, 4);
    EXPECT_TRUE(log.isEmpty());
}

TEST(LinkTest, PortWithoutABoard) {
    VirtualBoardOnPort port(application(), kRunPort);
    ASSERT_TRUE(port.ok()) << port.error().toStdString();
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent/dwnfrw-board-gone"),
                            QDir(port.portsFolder()).filePath(QStringLiteral("COM4"))));
    ctrllink::CtrlLinkClient link;
    link.PortNumber = 4;
    EXPECT_FALSE(link.Open());
    int32_t version = -1, build = -1, brand = -1, linkError = -1;
    link.ReadVersion(version, build, brand, linkError);
    EXPECT_EQ(linkError, ctrllink::kLinkNotOpen);
    EXPECT_EQ(version, 0);
    bool closed = true;
    link.Close(closed);
    EXPECT_FALSE(closed);
    EXPECT_EQ(port.board().counters().hostOpens, 0u);
}

// The loader-entry command on the line, as the board sees it.
TEST(LoaderEntryTest, SendsExactlyTheCommandAndTheBoardHandsOver) {
    resetGlobals();
    resetBootloaderSettings();
    ASSERT_TRUE(testing::loadItalianTexts());
    QTemporaryDir logs;
    ASSERT_TRUE(logs.isValid());
    globals().LogsFolder = logs.path();
    globals().LogEnabled = true;
    VirtualBoardOnPort port(application(), kRunPort);
    ASSERT_TRUE(port.ok()) << port.error().toStdString();
    testing::CountingPump pump;
    QElapsedTimer clock;
    clock.start();

    SendLoaderEntry(kRunPort, pump);

    const qint64 elapsedMs = clock.elapsed();
    EXPECT_GE(elapsedMs, kLoaderEntryHoldMs + kPauseMs);
    EXPECT_LT(elapsedMs, kLoaderEntryHoldMs + kPauseMs + 800);
    EXPECT_GE(pump.count, 9) << "the pause lets the window run";
    // The port was opened once and closed again, and carried the four bytes only.
    const vboard::Counters counters = port.board().counters();
    EXPECT_EQ(counters.hostOpens, 1u);
    EXPECT_EQ(counters.hostCloses, 1u);
    EXPECT_EQ(counters.bytesReceived, 4u);
    EXPECT_EQ(counters.bytesSent, 0u);

    // The board now answers as its bootloader.
    QString message;
    ASSERT_TRUE(InitBootloader(kRunPort, message)) << message.toStdString();
    EXPECT_TRUE(ConnectBootloader(kRunPort, message)) << message.toStdString();
    DisconnectBootloader();
    resetBootloaderSettings();

    QFile log(QDir(logs.path()).filePath(logFileName(QDate::currentDate())));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    ASSERT_GE(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("\tTX: 24 45 30 0d\r")) << lines[0].toStdString();
    resetGlobals();
}

struct EntryCase {
    const char* name;
    QList<QByteArray> feeds;  // bytes from the host, in separate arrivals
    bool handsOver;
    int replies;
};

class ApplicationModeTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ApplicationModeTest, HandsOverOnExactlyTheLoaderEntryCommand) {
    const EntryCase& c = GetParam();
    vboard::Board board(application());
    std::vector<QByteArray> replies;
    for (const QByteArray& feed : c.feeds) {
        for (QByteArray& reply : board.receive(feed, vboard::Clock::now()))
            replies.push_back(reply);
    }
    EXPECT_EQ(board.mode(),
              c.handsOver ? vboard::BoardMode::Bootloader : vboard::BoardMode::Application);
    ASSERT_EQ(int(replies.size()), c.replies);
    if (c.replies > 0 && !c.handsOver) {
        EXPECT_EQ(replies[0], ctrllink::versionAnswer(4, 3, 7));
    }
}

// The bootloader's version query, as the first frame after the hand-over.
QByteArray versionQuery() {
    namespace wire = nxpic::wire;
    const auto request = wire::toWire(0, QByteArray(1, char(wire::kVersionRecordBytes)));
    return wire::encodeRequest(char(wire::makeTag(1, request->command)) + request->args);
}

const EntryCase kEntryCases[] = {
    {"command", {"$E0\r"}, true, 0},
    {"command_in_two_pieces", {"$E", "0\r"}, true, 0},
    {"command_after_an_identification", {"$V?\r$E0\r"}, true, 1},
    {"command_after_a_noise_line", {"noise\r$E0\r"}, true, 0},
    {"bootloader_frame_right_after", {QByteArray("$E0\r") + versionQuery()}, true, 1},
    {"identification_only", {"$V?\r"}, false, 1},
    {"lower_case", {"$e0\r"}, false, 0},
    {"line_feed_instead_of_cr", {"$E0\n"}, false, 0},
    {"prefixed", {"x$E0\r"}, false, 0},
    {"one_byte_too_many", {"$E00\r"}, false, 0},
    {"no_cr", {"$E0"}, false, 0},
};

INSTANTIATE_TEST_SUITE_P(Bytes, ApplicationModeTest, ::testing::ValuesIn(kEntryCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dwnfrw
