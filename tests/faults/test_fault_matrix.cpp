// The fault-injection matrix: whole updates against a virtual board that
// damages bytes, loses frames, stops answering, goes away or answers wrongly.
// For each row: the message the person sees, nothing lost (package, region
// files, log), the log showing how far the run came, and a second run on a
// healthy board that leaves the memory equal to the image.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <functional>

#include "bootloader/modcomm.h"
#include "download/run_download.h"
#include "package/package_opening.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"
#include "tests/support/vboard_fixture.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"

namespace dwnfrw {
namespace {

using testing::ScriptedFrontend;
using testing::VirtualBoardOnPort;

constexpr int kPort = 3;
// A board that goes away ends the run within this long after the last line began.
constexpr auto kVanishedBoardEndsWithin = std::chrono::seconds(5);
// Exchanges before the bootloader: identification and the loader-entry command
// (the board counts both), then the version query.
constexpr int kExchangesBeforeErase = 3;
constexpr int kErasePackets = 505;

// Program memory 0x000200..0x0005FF (64 lines), 16 EEPROM bytes and the user ID.
QByteArray testImage() {
    auto record = [](uint16_t address, uint8_t type, const QByteArray& data) {
        return vboard::intelHexRecord(type, address, data);
    };
    QByteArray hex = record(0, 4, QByteArray::fromHex("0000"));
    for (uint32_t a = 0x200; a < 0x600; a += 16) {
        QByteArray data;
        for (uint32_t i = 0; i < 16; ++i)
            data.append(char((a + i) * 13 + (a >> 4)));
        hex += record(uint16_t(a), 0, data);
    }
    hex += record(0, 4, QByteArray::fromHex("0020"));
    hex += record(0, 0, QByteArrayLiteral("MATRIX01"));
    hex += record(0, 4, QByteArray::fromHex("00F0"));
    hex += record(0, 0, QByteArrayLiteral("eeprom-of-tests!"));
    hex += ":00000001FF\r\n";
    return hex;
}

QByteArray fileHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

struct Row {
    const char* name;
    vboard::BoardOptions board;
    // Pressed from the event pump after this many yields; null: never.
    std::function<void(VirtualBoardOnPort&, int)> onYield;
    std::vector<MsgAnswer> answers;  // to the questions after the confirmation
    // Texts the failure may carry; empty: the run must succeed.
    std::vector<int32_t> failureTexts;
    bool mayAlsoSucceed = false;  // a noisy line may get through
};

vboard::BoardOptions app() {
    vboard::BoardOptions o;
    o.startMode = vboard::BoardMode::Application;
    o.appVersion = 3;  // older than the package: no question
    return o;
}

vboard::BoardOptions with(std::function<void(vboard::BoardOptions&)> change) {
    vboard::BoardOptions o = app();
    change(o);
    return o;
}

class FaultMatrixTest : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(data_.isValid());
        resetGlobals();
        resetBootloaderSettings();
        GlobalSettings& g = globals();
        g.DataFolder = data_.path();
        g.TempFolder = data_.filePath(QStringLiteral("temp"));
        g.LogsFolder = data_.filePath(QStringLiteral("logs"));
        g.LogEnabled = true;
        g.AppName = brandAppName(0);
        QDir().mkpath(g.TempFolder);
        QDir().mkpath(g.LogsFolder);
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        QString code = QStringLiteral("ITA");
        QString message;
        ASSERT_TRUE(LoadLanguage(brandProductId(0), code, message));

        image_ = testImage();
        package_ = data_.filePath(QStringLiteral("matrix.fwz"));
        ASSERT_TRUE(testing::buildZip(
            package_,
            {{QStringLiteral("info.txt"),
              testing::infoBlock(QStringLiteral("fw.hex"), QStringLiteral("4.0.1"),
                                 QStringLiteral("Matrice"))},
             {QStringLiteral("fw.hex"), image_}},
            testing::Encryption::Aes256));
        session_.WorkFolder = data_.filePath(QStringLiteral("tempfrw"));
    }

    void TearDown() override {
        DisconnectBootloader();
        UnloadLanguage();
    }

    // Opens the package through the "open" command, as the window does.
    bool openPackage(ScriptedFrontend& fe) {
        fe.toolbar.port = kPort;
        fe.dialogs.queueFile(package_);
        Frontend frontend = fe.frontend();
        OpenFile(session_, frontend);
        return fe.toolbar.isToolEnabled(QStringLiteral("dwn"));
    }

    // With the time-outs the program ships.
    RunReport run(ScriptedFrontend& fe) {
        testing::FakeToolbar& toolbar = fe.toolbar;
        toolbar.port = kPort;
        class Timer : public RunClockTimer {
            void setTimerEnabled(bool) override {}
        } timer;
        RunClock clock(timer, fe.progress);
        Frontend frontend = fe.frontend();
        return RunDownload(session_, frontend, clock);
    }

    QStringList logLines() const {
        QStringList lines;
        for (const QString& name :
             QDir(globals().LogsFolder).entryList({QStringLiteral("*.LOG")})) {
            QFile file(QDir(globals().LogsFolder).filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.trimmed().isEmpty())
                    lines.append(QString::fromLocal8Bit(line.trimmed()));
            }
        }
        return lines;
    }

    QTemporaryDir data_;
    QByteArray image_;
    QString package_;
    PackageSession session_;
};

TEST_P(FaultMatrixTest, OutcomeNothingLostAndASecondRunSucceeds) {
    const Row& row = GetParam();
    ScriptedFrontend fe;
    ASSERT_TRUE(openPackage(fe));

    QMap<QString, QByteArray> regionsBefore;
    for (const char* name : {"progmem", "eedata", "userid", "config"}) {
        regionsBefore.insert(QString::fromLatin1(name),
                             fileHash(regionFilePath(QString::fromLatin1(name))));
    }
    const QByteArray packageBefore = fileHash(package_);

    RunReport first;
    vboard::Counters faults;
    std::chrono::steady_clock::time_point lastYieldAt = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point endedAt;
    {
        VirtualBoardOnPort board(row.board, kPort);
        ASSERT_TRUE(board.ok()) << board.error().toStdString();
        fe.events.onYield = [&](int count) {
            lastYieldAt = std::chrono::steady_clock::now();
            if (row.onYield)
                row.onYield(board, count);
        };
        fe.dialogs.queueAnswer(MsgAnswer::Ok);
        for (MsgAnswer answer : row.answers)
            fe.dialogs.queueAnswer(answer);
        first = run(fe);
        endedAt = std::chrono::steady_clock::now();
        fe.events.onYield = nullptr;
        faults = board.board().counters();
    }
    if (first.end != RunReport::End::Succeeded) {
        EXPECT_LT(endedAt - lastYieldAt, kVanishedBoardEndsWithin);
    }

    // The message the person sees.
    const QString shown = fe.dialogs.messages.back().prompt;
    if (first.end == RunReport::End::Succeeded) {
        EXPECT_TRUE(row.failureTexts.empty() || row.mayAlsoSucceed) << shown.toStdString();
        EXPECT_EQ(shown, GetText(1006));
    } else {
        ASSERT_FALSE(row.failureTexts.empty()) << shown.toStdString();
        bool known = false;
        for (int32_t n : row.failureTexts) {
            // A text with blanks to fill in is known by what comes before them.
            known = known || shown.startsWith(GetText(1018) + QLatin1Char('\r') +
                                              GetText(n).section(u'%', 0, 0));
        }
        EXPECT_TRUE(known) << shown.toStdString();
    }

    // Nothing lost: the package and the region files are as the opening left them.
    EXPECT_EQ(fileHash(package_), packageBefore);
    for (auto it = regionsBefore.cbegin(); it != regionsBefore.cend(); ++it) {
        EXPECT_EQ(fileHash(regionFilePath(it.key())), it.value()) << it.key().toStdString();
    }
    // The log tells how far the run came.
    const QStringList log = logLines();
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.first().contains(QLatin1String("LINK TX")));
    QString lastLine;
    for (const QString& line : log) {
        if (line.contains(QLatin1String("<- TX ")))
            lastLine = line.section(QLatin1String("<- TX "), 1);
    }

    // A second run on a healthy board.
    ScriptedFrontend again;
    {
        VirtualBoardOnPort healthy(app(), kPort);
        ASSERT_TRUE(healthy.ok());
        again.dialogs.queueAnswer(MsgAnswer::Ok);
        const RunReport second = run(again);
        EXPECT_EQ(second.end, RunReport::End::Succeeded) << second.failureText.toStdString();
        const vboard::ImageCheck check = vboard::checkImage(
            image_, [&](uint32_t a, int n) { return healthy.board().read(a, n); });
        EXPECT_TRUE(check.equal) << check.report.toStdString();
    }

    // One line per row for docs/reliability.md.
    uint64_t repetitions = 0;
    for (const vboard::CommandCounters& perCommand : faults.perCommand)
        repetitions += perCommand.repetitions;
    std::printf(
        "MATRIX | %s | %s | corrupted %llu, lost requests %llu, lost replies %llu, late %llu, "
        "stray bytes %llu, repeated requests %llu, exchanges %llu | last line sent: "
        "%s | %.1f s after the last line began |\n",
        row.name,
        first.end == RunReport::End::Succeeded ? "success" : qPrintable(first.failureText),
        static_cast<unsigned long long>(faults.corruptedBytes),
        static_cast<unsigned long long>(faults.droppedRequests),
        static_cast<unsigned long long>(faults.droppedReplies),
        static_cast<unsigned long long>(faults.lateReplies),
        static_cast<unsigned long long>(faults.burstBytes),
        static_cast<unsigned long long>(repetitions),
        static_cast<unsigned long long>(faults.exchanges),
        lastLine.isEmpty() ? "none" : qPrintable(lastLine.left(6)),
        std::chrono::duration<double>(endedAt - lastYieldAt).count());
}

const Row kRows[] = {
    {"healthy", app(), nullptr, {}, {}},
    {"corrupt_0_1_percent",
     with([](auto& o) {
         o.corruptRate = 0.001;
         o.seed = 11;
     }),
     nullptr,
     {},
     {}},
    {"corrupt_0_5_percent",
     with([](auto& o) {
         o.corruptRate = 0.005;
         o.seed = 12;
     }),
     nullptr,
     {},
     {}},
    {"corrupt_2_percent",
     with([](auto& o) {
         o.corruptRate = 0.02;
         o.seed = 13;
     }),
     nullptr,
     {},
     {}},
    {"drop_5_percent",
     with([](auto& o) {
         o.dropRate = 0.05;
         o.seed = 14;
     }),
     nullptr,
     {},
     {}},
    {"drop_20_percent",
     with([](auto& o) {
         o.dropRate = 0.20;
         o.seed = 15;
     }),
     nullptr,
     {},
     {}},
    {"late_replies_40ms",
     with([](auto& o) {
         o.lateMs = 40;
         o.seed = 16;
     }),
     nullptr,
     {},
     {}},
    {"stray_bursts_10_percent",
     with([](auto& o) {
         o.burstRate = 0.10;
         o.seed = 18;
     }),
     nullptr,
     {},
     {}},
    {"silent_mid_erase",
     with([](auto& o) { o.stopAfterExchanges = kExchangesBeforeErase + 200; }),
     nullptr,
     {},
     {1130}},
    {"silent_mid_write",
     with([](auto& o) { o.stopAfterExchanges = kExchangesBeforeErase + kErasePackets + 41; }),
     nullptr,
     {},
     {1106, 1107}},
    {"unplugged_mid_write",
     app(),
     // The erase yields once a packet; the write pass once a line after it.
     [](VirtualBoardOnPort& board, int yields) {
         if (yields == kErasePackets + 30)
             board.board().unplug();
     },
     {},
     {1106, 1107}},
    {"wrong_bootloader_version", with([](auto& o) { o.wrongVersion = true; }), nullptr, {}, {1097}},
    {"application_link_error_declined",
     with([](auto& o) { o.appLinkError = 5; }),
     nullptr,
     {MsgAnswer::No},
     {1005}},
    {"application_link_error_accepted",
     with([](auto& o) { o.appLinkError = 5; }),
     nullptr,
     // No loader-entry command is sent: the application keeps the line.
     {MsgAnswer::Yes},
     {1096}},
};

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dwnfrw
