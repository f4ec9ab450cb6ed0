// dwnfrw-batch update against a virtual board: exit codes, the JSON report,
// the board's memory afterwards, progress on a pipe and on a terminal, Ctrl-C.
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <thread>

#include "batch/board_port.h"
#include "download/run_download.h"
#include "startup/single_instance.h"
#include "tests/batch/batch_process.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/vboard_fixture.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"

namespace dwnfrw::testing {
namespace {

// One Intel HEX record.
QByteArray hexRecord(uint16_t address, uint8_t type, const QByteArray& data) {
    return vboard::intelHexRecord(type, address, data);
}

QByteArray upperAddress(uint16_t upper) {
    return hexRecord(0, 0x04, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
}

QByteArray pattern(int length, int seed) {
    QByteArray bytes(length, '\0');
    for (int i = 0; i < length; ++i)
        bytes[i] = char((i * 7 + seed * 31) & 0xFF);
    return bytes;
}

// A small image in every region the update writes: four program lines above
// the boot block, one EEPROM line and the user ID (configuration is never
// written). Six region lines, 96 bytes on the wire.
QByteArray smallImage() {
    QByteArray hex = upperAddress(0x0000);
    for (int i = 0; i < 4; ++i)
        hex += hexRecord(uint16_t(0x0200 + 16 * i), 0x00, pattern(16, i));
    hex += upperAddress(0x0020) + hexRecord(0x0000, 0x00, QByteArrayLiteral("BATCH-ID"));
    hex += upperAddress(0x0030) + hexRecord(0x0000, 0x00, QByteArray::fromHex("0022"));
    hex += upperAddress(0x00F0) + hexRecord(0x0000, 0x00, QByteArrayLiteral("eeprom settings!"));
    return hex + ":00000001FF\r\n";
}
constexpr int kSmallImageLines = 6;

// Texts as the terminal shows them: line breaks are "\n".
QString shown(const QString& text) {
    QString out = text;
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

QString joinedTexts(const std::vector<int>& numbers) {
    QStringList texts;
    for (int number : numbers)
        texts << shown(GetText(number));
    return texts.join(QLatin1Char('\n'));
}

class BatchUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.valid());
        ASSERT_TRUE(loadPackageTexts()) << "the English text module is not built";
    }

    // The package with the small image, its version as given.
    QString makePackage(const QString& version) {
        const QString path = scratch_.path(QStringLiteral("update.fwz"));
        EXPECT_TRUE(buildZip(
            path,
            {{QStringLiteral("info.txt"), infoBlock(QStringLiteral("board.hex"), version, "Board")},
             {QStringLiteral("board.hex"), smallImage()}},
            Encryption::Aes256));
        return path;
    }

    std::unique_ptr<VirtualBoardOnPort> startBoard(vboard::BoardOptions options) {
        options.startMode = vboard::BoardMode::Application;
        auto board = std::make_unique<VirtualBoardOnPort>(options);
        EXPECT_TRUE(board->ok()) << board->error().toStdString();
        scratch_.setPortsFolder(board->portsFolder());
        return board;
    }

    static vboard::ImageCheck memoryCheck(VirtualBoardOnPort& board) {
        return vboard::checkImage(smallImage(), [&](uint32_t address, int length) {
            return board.board().read(address, length);
        });
    }

    BatchScratch scratch_;
};

struct UpdateCase {
    const char* name;
    const char* packageVersion;
    int32_t appVersion = 4;
    int32_t appBrand = 7;
    int port = 3;  // the board's port
    QStringList options;
    int exitCode;
    const char* outcome;
    std::vector<int> failureTexts;  // the failure report, one text a line
    bool written;                   // the board now holds the image
    bool identified;                // the application gave its version
    bool boardUntouched;            // the serial line was never opened
    int question;                   // a question the run asked besides the confirmation
};

std::ostream& operator<<(std::ostream& out, const UpdateCase& c) {
    return out << c.name;
}

const QString kYes = QStringLiteral("--yes");

const std::vector<UpdateCase> kUpdateCases = {
    {"Success", "4.1.7", 4, 7, 3, {kYes}, 0, "success", {}, true, true, false, 0},
    // An older package than the board's firmware is written only with --allow-downgrade.
    {"OlderPackageWithYes",
     "4.1.7",
     5,
     7,
     3,
     {kYes},
     3,
     "declined",
     {1018, 1005},
     false,
     true,
     false,
     1098},
    {"OlderPackageAllowed",
     "4.1.7",
     5,
     7,
     3,
     {kYes, QStringLiteral("--allow-downgrade")},
     0,
     "success",
     {},
     true,
     true,
     false,
     1098},
    {"RefusedVersion",
     "3.9.9",
     4,
     7,
     3,
     {kYes},
     1,
     "package refused",
     {1011, 1015},
     false,
     false,
     true,
     0},
    {"OldVersionWithNoCheck",
     "3.9.9",
     4,
     7,
     3,
     {kYes, QStringLiteral("--no-check")},
     0,
     "success",
     {},
     true,
     true,
     false,
     0},
    {"DeclinedWithoutYes", "4.1.7", 4, 7, 3, {}, 3, "declined", {}, false, false, true, 0},
    // No link for COM64 in the ports folder, and no /dev/ttyUSB31 either.
    {"MissingPort", "4.1.7", 4, 7, 64, {kYes}, 1, "failure", {1018, 1093}, false, false, true, 0},
    {"WrongBrand", "4.1.7", 4, 20, 3, {kYes}, 1, "failure", {1018, 1108}, false, true, false, 0},
};

class BatchUpdateOutcome : public BatchUpdateTest,
                           public ::testing::WithParamInterface<UpdateCase> {};

TEST_P(BatchUpdateOutcome, ExitCodeReportAndBoard) {
    const UpdateCase& c = GetParam();
    const QString package = makePackage(QString::fromLatin1(c.packageVersion));
    vboard::BoardOptions options;
    options.appVersion = c.appVersion;
    options.appBrand = c.appBrand;
    auto board = startBoard(options);

    const BatchResult result = scratch_.run(
        QStringList{QStringLiteral("update"), QStringLiteral("--port"), QString::number(c.port),
                    QStringLiteral("--package"), package, QStringLiteral("--json")} +
        c.options);
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, c.exitCode) << result;

    const QJsonObject report = result.json();
    ASSERT_FALSE(report.isEmpty()) << "standard output is not one JSON report\n" << result;
    EXPECT_EQ(report[QStringLiteral("exitCode")].toInt(), c.exitCode);
    EXPECT_EQ(report[QStringLiteral("outcome")].toString(), QString::fromLatin1(c.outcome));
    EXPECT_EQ(report[QStringLiteral("failure")].toString(), joinedTexts(c.failureTexts));
    if (c.exitCode == 1) {
        // The reason reaches standard error.
        EXPECT_TRUE(QString::fromUtf8(result.err).contains(shown(GetText(c.failureTexts.back()))))
            << result;
    }

    const bool accepted = c.failureTexts.empty() || c.failureTexts.front() != 1011;
    EXPECT_EQ(report.contains(QStringLiteral("packageVersion")), accepted);
    if (accepted) {
        EXPECT_EQ(report[QStringLiteral("packageVersion")].toString(),
                  QString::fromLatin1(c.packageVersion));
    }
    EXPECT_EQ(report.contains(QStringLiteral("device")), c.identified);
    if (c.identified) {
        const QJsonObject device = report[QStringLiteral("device")].toObject();
        EXPECT_EQ(device[QStringLiteral("version")].toInt(), c.appVersion);
        EXPECT_EQ(device[QStringLiteral("build")].toInt(), 0);
        EXPECT_EQ(device[QStringLiteral("brand")].toInt(), c.appBrand);
    }
    const int bytes = c.written ? kSmallImageLines * 16 : 0;
    EXPECT_EQ(report[QStringLiteral("bytesWritten")].toInt(), bytes);
    EXPECT_EQ(report[QStringLiteral("bytesVerified")].toInt(), bytes);
    EXPECT_EQ(report[QStringLiteral("boardTouched")].toBool(), c.written);
    EXPECT_GE(report[QStringLiteral("seconds")].toDouble(-1), 0.0);

    QStringList texts;
    for (const QJsonValue& text : report[QStringLiteral("texts")].toArray())
        texts << text.toString();
    if (c.written) {
        ASSERT_FALSE(texts.isEmpty());
        EXPECT_EQ(texts.back(), shown(GetText(1006)));
    }
    if (c.question != 0) {
        const QString asked = shown(GetText(c.question))
                                  .replace(QStringLiteral("%1"), QStringLiteral("5.0.0"))
                                  .replace(QStringLiteral("%2"), QStringLiteral("4.1.7"));
        EXPECT_TRUE(texts.contains(asked)) << texts.join(u'|').toStdString();
        const QJsonObject last = report[QStringLiteral("questions")].toArray().last().toObject();
        EXPECT_EQ(last[QStringLiteral("text")].toString(), asked);
        EXPECT_EQ(last[QStringLiteral("answer")].toString(), c.exitCode == 0 ? "Yes" : "No");
    }

    board->board().stop();
    const vboard::ImageCheck check = memoryCheck(*board);
    EXPECT_EQ(check.equal, c.written) << check.report.toStdString();
    if (c.boardUntouched) {
        EXPECT_EQ(board->board().counters().hostOpens, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchUpdateOutcome, ::testing::ValuesIn(kUpdateCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Without a terminal the progress is plain lines: one per kind of operation
// and one per tenth of the work, ending at 100%.
TEST_F(BatchUpdateTest, PlainLinesWhenNotATerminal) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    auto board = startBoard({});
    const BatchResult result =
        scratch_.run({QStringLiteral("update"), QStringLiteral("--port=COM3"),
                      QStringLiteral("--package"), package, QStringLiteral("--yes")});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 0) << result;
    const QString out = QString::fromUtf8(result.out);
    EXPECT_FALSE(out.contains(u'\r'));
    EXPECT_FALSE(out.contains(u'\033'));
    static const QRegularExpression finalLine(QStringLiteral("^\\d\\d:\\d\\d 100%$"),
                                              QRegularExpression::MultilineOption);
    EXPECT_TRUE(finalLine.match(out).hasMatch()) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral(" ") + phaseName(RunPhase::ErasingProgram)))
        << out.toStdString();
    EXPECT_TRUE(out.contains(GetText(1006)));
    board->board().stop();
    EXPECT_TRUE(memoryCheck(*board).equal);
}

// On a terminal the progress is one bar line redrawn in place, with percent,
// elapsed time and the time left; messages start on lines of their own.
TEST_F(BatchUpdateTest, BarOnATerminal) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    auto board = startBoard({});

    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    QByteArray screen;
    // Drains the terminal while the program runs; ends when the last holder
    // of the other side has closed it.
    std::thread reader([&] {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            screen.append(buffer, n);
        }
    });
    QProcess process;
    scratch_.start(process,
                   {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
                    QStringLiteral("--package"), package, QStringLiteral("--yes")},
                   [slave](QProcess& p) {
                       p.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
                   });
    const BatchResult result = BatchScratch::collect(process);
    ::close(slave);
    reader.join();
    ::close(master);

    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 0) << result << screen.toStdString();
    const QString text = QString::fromUtf8(screen);
    EXPECT_TRUE(text.contains(QStringLiteral("\r[##############################] 100%")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral(" elapsed  ~")));
    EXPECT_TRUE(text.contains(QStringLiteral(" left")));
    EXPECT_TRUE(text.contains(QStringLiteral("\033[K")));
    // The success message does not share a line with the bar.
    const qsizetype success = text.indexOf(GetText(1006));
    ASSERT_GE(success, 0) << text.toStdString();
    const qsizetype lineStart = text.lastIndexOf(u'\n', success);
    EXPECT_FALSE(text.mid(lineStart, success - lineStart).contains(u'['));
}

struct InterruptCase {
    const char* name;
    RunPhase phase;            // Ctrl-C once the run shows this phase
    std::vector<int> failure;  // the failure report, one text a line
    bool bootloaderReached;    // the loader-entry command went out
};

class BatchInterrupt : public BatchUpdateTest,
                       public ::testing::WithParamInterface<InterruptCase> {};

// Ctrl-C during the erase stops the pass through the stop flag: the run ends
// with the stop's text, as the window's stop command ends it, and goes no
// further. During the identification it ends the run before the loader entry.
TEST_P(BatchInterrupt, EndsTheRunWithTheStopsText) {
    const InterruptCase& c = GetParam();
    const QString package = makePackage(QStringLiteral("4.1.7"));
    vboard::BoardOptions options;
    options.workDelayMs = 5;  // the erase would take about three seconds
    if (!c.bootloaderReached) {
        options.startMode = vboard::BoardMode::Application;
        options.workDelayMs = 300;  // time to interrupt the identification
    }
    auto board = startBoard(options);

    QProcess process;
    scratch_.start(process, {QStringLiteral("update"), QStringLiteral("--port"),
                             QStringLiteral("3"), QStringLiteral("--package"), package,
                             QStringLiteral("--yes"), QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForStarted());
    process.setReadChannel(QProcess::StandardError);  // --json: progress goes there
    QByteArray progress;
    const QByteArray phase = phaseName(c.phase).toUtf8();
    const QDeadlineTimer deadline(kBatchRunTimeoutMs);
    while (!progress.contains(phase) && !deadline.hasExpired() &&
           process.state() == QProcess::Running) {
        process.waitForReadyRead(int(deadline.remainingTime()));
        progress += process.readAllStandardError();
    }
    ASSERT_TRUE(progress.contains(phase)) << progress.toStdString();
    ASSERT_EQ(::kill(pid_t(process.processId()), SIGINT), 0);

    BatchResult result = BatchScratch::collect(process);
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    const QJsonObject report = result.json();
    // A stop that came after the first erase packet adds what to do about it.
    const bool touched = report[QStringLiteral("boardTouched")].toBool();
    std::vector<int> failure = c.failure;
    if (touched)
        failure.push_back(1134);
    EXPECT_EQ(report[QStringLiteral("failure")].toString(), joinedTexts(failure));
    EXPECT_TRUE(c.bootloaderReached || !touched);
    EXPECT_EQ(report[QStringLiteral("bytesWritten")].toInt(), 0);
    progress += result.err;
    EXPECT_FALSE(progress.contains(phaseName(RunPhase::WritingProgram).toUtf8()))
        << "the run went on writing";
    board->board().stop();
    EXPECT_FALSE(memoryCheck(*board).equal);
    // No bootloader exchange at all when stopped before the loader entry (the
    // version query is a read, code 1 on the wire).
    EXPECT_EQ(board->board().counters().perCommand[1].requests > 0, c.bootloaderReached);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, BatchInterrupt,
    ::testing::Values(
        InterruptCase{"during_the_erase", RunPhase::ErasingProgram, {1018, 1005}, true},
        InterruptCase{"during_the_identification", RunPhase::Identifying, {1018, 1005}, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs on other ports go side by side; a second run on the same port is refused.
TEST_F(BatchUpdateTest, SamePortRefused) {
    auto board = startBoard({});
    SingleInstance running(batch::boardPort(QStringLiteral("COM3"))->lockPath());
    ASSERT_TRUE(running.acquire());
    const BatchResult result =
        scratch_.run({QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
                      QStringLiteral("--package"), makePackage(QStringLiteral("4.1.7")),
                      QStringLiteral("--json"), kYes});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    EXPECT_EQ(result.json()[QStringLiteral("outcome")].toString(), QStringLiteral("failure"));
    EXPECT_TRUE(result.err.contains("COM3 (" + board->board().devicePath().toUtf8() +
                                    ") is being updated by another run"))
        << result;
    EXPECT_EQ(board->board().counters().hostOpens, 0u);
}

// Three boards at once, the second stops answering on its third line: the
// other two are written whole, and the exit code is the failure's.
TEST_F(BatchUpdateTest, SeveralBoardsAtOnce) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    const QString ports = scratch_.path(QStringLiteral("ports"));
    ASSERT_TRUE(QDir().mkpath(ports));
    scratch_.setPortsFolder(ports);
    std::vector<std::unique_ptr<vboard::PtyBoard>> boards;
    for (int i = 0; i < 3; ++i) {
        vboard::BoardOptions options;
        options.startMode = vboard::BoardMode::Application;
        if (i == 1)
            options.stopAfterExchanges = 2 + 1 + 505 + 2 * 2;  // as far as the third line
        boards.push_back(std::make_unique<vboard::PtyBoard>(options));
        ASSERT_TRUE(boards.back()->start());
        ASSERT_TRUE(boards.back()->linkAs(ports + QStringLiteral("/COM%1").arg(3 + i)));
    }
    const BatchResult result =
        scratch_.run({QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3,4"),
                      QStringLiteral("--port=5"), QStringLiteral("--package"), package, kYes,
                      QStringLiteral("--json"), QStringLiteral("--log")});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    const QJsonArray reports = QJsonDocument::fromJson(result.out).array();
    ASSERT_EQ(reports.size(), 3) << result;
    const QStringList outcomes = {QStringLiteral("success"), QStringLiteral("failure"),
                                  QStringLiteral("success")};
    for (int i = 0; i < 3; ++i) {
        const QJsonObject report = reports[i].toObject();
        EXPECT_EQ(report[QStringLiteral("port")].toString(), QStringLiteral("COM%1").arg(3 + i));
        EXPECT_EQ(report[QStringLiteral("outcome")].toString(), outcomes[i]);
        boards[size_t(i)]->stop();
        EXPECT_EQ(vboard::checkImage(smallImage(),
                                     [&](uint32_t address, int length) {
                                         return boards[size_t(i)]->read(address, length);
                                     })
                      .equal,
                  i != 1);
    }
    EXPECT_TRUE(result.err.contains("COM4: failure - ")) << result;
    EXPECT_TRUE(result.err.contains("2 of 3 boards updated")) << result;
    // The day's log holds whole lines, each naming its port.
    const QDir logs(scratch_.path(QStringLiteral("data/Norvexa/VelmorStudio_0200/logs")));
    QFile log(logs.filePath(logs.entryList({QStringLiteral("*.LOG")}).value(0)));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = log.readAll().split('\n');
    EXPECT_GT(lines.size(), 30);
    static const QRegularExpression whole(QStringLiteral("^[^\t]+\tCOM[345]\t.*\r$"));
    for (const QByteArray& line : lines.mid(0, lines.size() - 1))
        EXPECT_TRUE(whole.match(QString::fromLocal8Bit(line)).hasMatch()) << line.toStdString();
}

// A live board's link and a link whose target is gone.
TEST_F(BatchUpdateTest, PortsLiveAndDangling) {
    auto board = startBoard({});
    ASSERT_TRUE(QFile::link(scratch_.path(QStringLiteral("gone")),
                            board->portsFolder() + QStringLiteral("/COM7")));
    const BatchResult result = scratch_.run({QStringLiteral("ports"), QStringLiteral("--json")});
    ASSERT_EQ(result.exitCode, 0) << result;
    QStringList listed;
    for (const QJsonValue& value : QJsonDocument::fromJson(result.out).array()) {
        const QJsonObject port = value.toObject();
        listed << QStringLiteral("%1 %2 %3")
                      .arg(port[QStringLiteral("name")].toString(),
                           port[QStringLiteral("device")].toString())
                      .arg(port[QStringLiteral("present")].toBool() ? "true" : "false");
    }
    EXPECT_TRUE(listed.contains(QStringLiteral("COM3 %1 true").arg(board->board().devicePath())))
        << result;
    EXPECT_TRUE(listed.contains(QStringLiteral("COM7 %1 false").arg(scratch_.path("gone"))))
        << result;
}

TEST(BatchUsage, BadUsageEndsWithTwo) {
    BatchScratch scratch;
    const QString pkg = QStringLiteral("x.fwz");
    const std::vector<QStringList> cases = {
        {},
        {QStringLiteral("frobnicate")},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3")},
        {QStringLiteral("update"), QStringLiteral("--package"), pkg},
        {QStringLiteral("update"), QStringLiteral("--package"), pkg, QStringLiteral("--port")},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("0"),
         QStringLiteral("--package"), pkg},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("COM0"),
         QStringLiteral("--package"), pkg},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3,COM3"),
         QStringLiteral("--package"), pkg},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
         QStringLiteral("--package"), pkg, QStringLiteral("--colour")},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
         QStringLiteral("--package"), pkg, QStringLiteral("--lang"), QStringLiteral("ENG /LOG")},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
         QStringLiteral("--package"), pkg, QStringLiteral("--brand"), QStringLiteral("acme")},
        {QStringLiteral("info")},
        {QStringLiteral("info"), QStringLiteral("a.fwz"), QStringLiteral("b.fwz")},
        {QStringLiteral("split"), QStringLiteral("image.hex")},
        {QStringLiteral("split"), QStringLiteral("--out"), QStringLiteral("regions")},
    };
    for (const QStringList& arguments : cases) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const BatchResult result = scratch.run(arguments);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 2) << result;
        EXPECT_TRUE(result.err.toLower().contains("usage:")) << result;
        EXPECT_TRUE(result.out.isEmpty()) << result;
    }
    const BatchResult help = scratch.run({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("dwnfrw-batch update --port"));
    const BatchResult updateHelp =
        scratch.run({QStringLiteral("update"), QStringLiteral("--help")});
    EXPECT_EQ(updateHelp.exitCode, 0);
    EXPECT_TRUE(updateHelp.out.contains("--allow-downgrade")) << updateHelp;
    EXPECT_TRUE(scratch.run({QStringLiteral("--version")}).out.startsWith("dwnfrw-batch 1."));
}

}  // namespace
}  // namespace dwnfrw::testing
