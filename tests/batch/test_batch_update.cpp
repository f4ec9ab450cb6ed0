// dwnfrw-batch update against a virtual board: exit codes, the JSON report,
// the board's memory afterwards, progress on a pipe and on a terminal, Ctrl-C.
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <thread>

#include "batch/board_port.h"
#include "download/run_download.h"
#include "platform/port_lock.h"
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

// Text 1190 (a port that does not exist) as the tables' missing COM64 fills it.
constexpr int kNoSuchPortText = 1190;

QString joinedTexts(const std::vector<int>& numbers) {
    QStringList texts;
    for (int number : numbers) {
        QString text = GetText(number);
        if (number == kNoSuchPortText)
            text = text.arg(QStringLiteral("COM64"), QStringLiteral("/dev/ttyUSB31"));
        texts << shown(text);
    }
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
    {"OlderPackageWithYes", "4.1.7", 5, 7, 3, {kYes}, 3, "declined", {}, false, true, false, 1098},
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
    {"MissingPort", "4.1.7", 4, 7, 64, {kYes}, 1, "failure", {1018, 1190}, false, false, true, 0},
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
        EXPECT_TRUE(QString::fromUtf8(result.err).contains(joinedTexts({c.failureTexts.back()})))
            << result;
    }
    if (c.exitCode == 3) {
        // Declined is no failure: the summary names why the question was asked.
        const QString reason =
            c.question == 1098 ? GetText(1220).arg(QStringLiteral("5.0.0"), QStringLiteral("4.1.7"))
                               : GetText(1222);
        EXPECT_EQ(report[QStringLiteral("declinedReason")].toString(), reason);
        const QString option =
            c.question == 1098 ? QStringLiteral("--allow-downgrade") : QStringLiteral("--yes");
        EXPECT_TRUE(
            QString::fromUtf8(result.err)
                .contains(QStringLiteral("dwnfrw-batch: ") + GetText(1224).arg(reason, option)))
            << result;
        EXPECT_FALSE(result.err.contains("[ERROR]")) << result;
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
// Runs the batch with a pseudo-terminal for standard output; screen receives
// what the terminal showed.
BatchResult runOnTerminal(const BatchScratch& scratch, const QStringList& arguments,
                          QByteArray& screen) {
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return BatchResult{};
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
    scratch.start(process, arguments, [slave](QProcess& p) {
        p.setChildProcessModifier([slave] { ::dup2(slave, STDOUT_FILENO); });
    });
    const BatchResult result = BatchScratch::collect(process);
    ::close(slave);
    reader.join();
    ::close(master);
    return result;
}

TEST_F(BatchUpdateTest, BarOnATerminal) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    auto board = startBoard({});
    QByteArray screen;
    const BatchResult result =
        runOnTerminal(scratch_,
                      {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
                       QStringLiteral("--package"), package, QStringLiteral("--yes")},
                      screen);
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
    int signal;                // Ctrl-C (SIGINT), a closed terminal (SIGHUP), SIGTERM
    RunPhase phase;            // the signal once the run shows this phase
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
        options.appSilent = true;  // the identification would wait six seconds
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
    QElapsedTimer sinceSignal;
    sinceSignal.start();
    ASSERT_EQ(::kill(pid_t(process.processId()), c.signal), 0);

    BatchResult result = BatchScratch::collect(process);
    ASSERT_TRUE(result.finished) << result;
    if (!c.bootloaderReached) {
        EXPECT_LT(sinceSignal.elapsed(), 1500) << "the identification ends within a second";
    }
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
        InterruptCase{"during_the_erase", SIGINT, RunPhase::ErasingProgram, {1018, 1005}, true},
        InterruptCase{
            "during_the_identification", SIGINT, RunPhase::Identifying, {1018, 1005}, false},
        InterruptCase{
            "hangup_during_the_erase", SIGHUP, RunPhase::ErasingProgram, {1018, 1005}, true},
        InterruptCase{
            "terminate_during_the_erase", SIGTERM, RunPhase::ErasingProgram, {1018, 1005}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Runs on other ports go side by side; a second run on the same device is
// refused, whatever name, temporary folder or user the first one had: the
// lock is the device's own. Here the first run is this test process.
TEST_F(BatchUpdateTest, SamePortRefused) {
    auto board = startBoard({});
    const QString otherTemp = scratch_.path(QStringLiteral("other-tmp"));
    ASSERT_TRUE(QDir().mkpath(otherTemp));
    for (const QString& heldAs : {board->board().devicePath(), QStringLiteral("COM3")}) {
        serial::PortLock running;
        ASSERT_EQ(running.claim(heldAs), serial::PortLock::Claim::Held) << heldAs.toStdString();
        QProcess process;
        scratch_.start(process,
                       {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
                        QStringLiteral("--package"), makePackage(QStringLiteral("4.1.7")),
                        QStringLiteral("--json"), kYes},
                       [&](QProcess& p) {
                           QProcessEnvironment environment = p.processEnvironment();
                           environment.insert(QStringLiteral("TMPDIR"), otherTemp);
                           p.setProcessEnvironment(environment);
                       });
        const BatchResult result = BatchScratch::collect(process);
        ASSERT_TRUE(result.finished) << result;
        EXPECT_EQ(result.exitCode, 1) << result;
        EXPECT_EQ(result.json()[QStringLiteral("outcome")].toString(), QStringLiteral("failure"));
        EXPECT_TRUE(result.err.contains("COM3 (" + board->board().devicePath().toUtf8() +
                                        ") is being updated by another run"))
            << result;
    }
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
        if (i == 1)  // as far as the third line's write, whose check goes unanswered
            options.stopAfterExchanges = 2 + 1 + 505 + 2 * 2 + 1;
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
    // The board took three lines and confirmed two.
    EXPECT_EQ(reports[1].toObject()[QStringLiteral("bytesWritten")].toInt(), 48);
    EXPECT_EQ(reports[1].toObject()[QStringLiteral("bytesVerified")].toInt(), 32);
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

// Every text of the program by number in one language; English stays loaded.
QMap<int, QString> textsOf(const char* code) {
    QString language = QString::fromLatin1(code);
    QString message;
    EXPECT_TRUE(LoadLanguage(brandProductId(0), language, message)) << code;
    QMap<int, QString> texts;
    for (int number = 1001; number < 1300; ++number) {
        const QString text = GetText(number);
        if (text != QLatin1String("NOSTRING"))
            texts.insert(number, text);
    }
    language = QStringLiteral("ENG");
    LoadLanguage(brandProductId(0), language, message);
    return texts;
}

// Under ITA the terminal shows no English text of the program: not in the
// bar's line, not in the messages, not in a declined question's summary.
TEST_F(BatchUpdateTest, ItalianSessionShowsNoEnglishText) {
    const QMap<int, QString> italian = textsOf("ITA");
    const QMap<int, QString> english = textsOf("ENG");
    const QString package = makePackage(QStringLiteral("4.1.7"));
    const QStringList italianUpdate{QStringLiteral("update"),
                                    QStringLiteral("--port"),
                                    QStringLiteral("3"),
                                    QStringLiteral("--package"),
                                    package,
                                    QStringLiteral("--lang"),
                                    QStringLiteral("ITA"),
                                    kYes};
    QByteArray screen;
    {
        auto board = startBoard({});
        const BatchResult updated = runOnTerminal(scratch_, italianUpdate, screen);
        ASSERT_EQ(updated.exitCode, 0) << updated << screen.toStdString();
    }
    vboard::BoardOptions newer;
    newer.appVersion = 5;
    auto board = startBoard(newer);
    const BatchResult declined = scratch_.run(italianUpdate);
    ASSERT_EQ(declined.exitCode, 3) << declined;
    const QString shownText = QString::fromUtf8(screen + declined.out + declined.err);

    // The Italian bar line, the Italian summary.
    const QStringList barParts =
        italian.value(1225).split(QRegularExpression(QStringLiteral("%\\d")), Qt::SkipEmptyParts);
    for (const QString& part : barParts)
        EXPECT_TRUE(shownText.contains(part)) << part.toStdString();
    const QString reason =
        italian.value(1220).arg(QStringLiteral("5.0.0"), QStringLiteral("4.1.7"));
    EXPECT_TRUE(
        shownText.contains(italian.value(1224).arg(reason, QStringLiteral("--allow-downgrade"))))
        << declined;
    // No English text, nor a piece of one between its placeholders.
    for (auto it = english.begin(); it != english.end(); ++it) {
        if (italian.value(it.key()) == it.value())
            continue;
        for (const QString& piece : it.value().split(
                 QRegularExpression(QStringLiteral("%\\d|\\\\r|\\r")), Qt::SkipEmptyParts)) {
            if (piece.trimmed().size() < 6)
                continue;
            EXPECT_FALSE(shownText.contains(piece))
                << "text " << it.key() << ": \"" << piece.toStdString() << "\"";
        }
    }
}

// One layout per log file: a board alone writes the window's lines, "stamp
// TAB text"; the boards of a line put their port between stamp and text. The
// texts are the same, line for line.
TEST_F(BatchUpdateTest, OneLayoutPerLogFile) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    const QString ports = scratch_.path(QStringLiteral("ports"));
    ASSERT_TRUE(QDir().mkpath(ports));
    scratch_.setPortsFolder(ports);
    const QDir logs(scratch_.path(QStringLiteral("data/Norvexa/VelmorStudio_0200/logs")));
    // The texts of the log's lines, by the port column they carry ("" for none).
    const auto takeLog = [&logs]() {
        QMap<QString, QStringList> byPort;
        for (const QString& name : logs.entryList({QStringLiteral("*.LOG")}, QDir::Files)) {
            QFile log(logs.filePath(name));
            EXPECT_TRUE(log.open(QIODevice::ReadOnly));
            for (QByteArray line : log.readAll().split('\n')) {
                if (line.isEmpty())
                    continue;
                EXPECT_TRUE(line.endsWith('\r'));
                QStringList fields = QString::fromLocal8Bit(line.chopped(1)).split(u'\t');
                fields.removeFirst();  // the stamp
                const bool tagged = fields.size() > 1 && fields.first().startsWith(u"COM") &&
                                    !fields.first().contains(u' ');
                const QString port = tagged ? fields.takeFirst() : QString();
                byPort[port].append(fields.join(u'\t'));
            }
            log.close();
            QFile::remove(log.fileName());
        }
        return byPort;
    };
    // Boards running their application on COM3 and COM4, as every run finds them.
    std::vector<std::unique_ptr<vboard::PtyBoard>> boards;
    const auto freshBoards = [&] {
        boards.clear();
        for (int i = 0; i < 2; ++i) {
            const QString link = ports + QStringLiteral("/COM%1").arg(3 + i);
            QFile::remove(link);
            vboard::BoardOptions options;
            options.startMode = vboard::BoardMode::Application;
            boards.push_back(std::make_unique<vboard::PtyBoard>(options));
            ASSERT_TRUE(boards.back()->start());
            ASSERT_TRUE(boards.back()->linkAs(link));
        }
    };
    freshBoards();
    const QStringList update{QStringLiteral("update"), QStringLiteral("--package"), package, kYes,
                             QStringLiteral("--log"),  QStringLiteral("--port")};

    const BatchResult alone = scratch_.run(update + QStringList{QStringLiteral("3")});
    ASSERT_EQ(alone.exitCode, 0) << alone;
    const QMap<QString, QStringList> aloneLog = takeLog();
    EXPECT_EQ(aloneLog.keys(), QStringList{QString()}) << "no port column";
    const QStringList window = aloneLog.value(QString());
    ASSERT_FALSE(window.isEmpty());
    EXPECT_EQ(window.first(),
              QStringLiteral("AGGIORNAMENTO porta COM3, pacchetto %1, versione 4.1.7")
                  .arg(QFileInfo(package).absoluteFilePath()));
    EXPECT_TRUE(window.contains(QStringLiteral("Connessione con il dispositivo in porta 3")));
    EXPECT_EQ(window.last(), QStringLiteral("ESITO: aggiornamento riuscito"));

    freshBoards();
    const BatchResult line = scratch_.run(update + QStringList{QStringLiteral("3,4")});
    ASSERT_EQ(line.exitCode, 0) << line;
    const QMap<QString, QStringList> lineLog = takeLog();
    EXPECT_EQ(lineLog.keys(), (QStringList{QStringLiteral("COM3"), QStringLiteral("COM4")}));
    // The link's own lines depend on its retries; every other line is exact.
    const auto withoutLinkTimes = [](QStringList texts) {
        texts.removeIf([](const QString& text) { return text.startsWith(u"LINK "); });
        return texts;
    };
    EXPECT_EQ(withoutLinkTimes(lineLog.value(QStringLiteral("COM3"))), withoutLinkTimes(window));
    EXPECT_EQ(lineLog.value(QStringLiteral("COM4")).size(), window.size());
}

// The processes whose parent is pid, with their command lines.
QMap<pid_t, QByteArray> childrenOf(pid_t pid) {
    QMap<pid_t, QByteArray> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t child = entry.toInt(&number);
        if (!number)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(child));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (name) state ppid ...": the name may hold blanks, so count from ')'.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 2 || fields[1].toInt() != pid)
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(child));
        if (cmdline.open(QIODevice::ReadOnly))
            children.insert(child, cmdline.readAll().replace('\0', ' '));
    }
    return children;
}

struct LostBoardCase {
    const char* name;
    bool killCommand;  // else one board's own process is killed
};

class BatchLostBoard : public BatchUpdateTest,
                       public ::testing::WithParamInterface<LostBoardCase> {};

// A board's process killed mid-run is reported as possibly touched, with what
// to do about it; when the command itself is killed, its boards end with it.
TEST_P(BatchLostBoard, EndsTruthfully) {
    const LostBoardCase& c = GetParam();
    const QString package = makePackage(QStringLiteral("4.1.7"));
    const QString ports = scratch_.path(QStringLiteral("ports"));
    ASSERT_TRUE(QDir().mkpath(ports));
    scratch_.setPortsFolder(ports);
    std::vector<std::unique_ptr<vboard::PtyBoard>> boards;
    for (int i = 0; i < 2; ++i) {
        vboard::BoardOptions options;
        options.startMode = vboard::BoardMode::Application;
        options.workDelayMs = 5;  // an erase of a few seconds
        boards.push_back(std::make_unique<vboard::PtyBoard>(options));
        ASSERT_TRUE(boards.back()->start());
        ASSERT_TRUE(boards.back()->linkAs(ports + QStringLiteral("/COM%1").arg(3 + i)));
    }
    QProcess process;
    scratch_.start(process,
                   {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3,4"),
                    QStringLiteral("--package"), package, kYes, QStringLiteral("--json")});
    ASSERT_TRUE(process.waitForStarted());
    const pid_t command = pid_t(process.processId());
    // Once COM4 is past a fifth of its run, its erase has begun.
    QByteArray progress;
    const QDeadlineTimer deadline(kBatchRunTimeoutMs);
    static const QRegularExpression erasing(QStringLiteral("COM4 \\d\\d:\\d\\d [2-9]0%"));
    while (!erasing.match(QString::fromUtf8(progress)).hasMatch() && !deadline.hasExpired() &&
           process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        progress += process.readAllStandardError();
    }
    ASSERT_TRUE(erasing.match(QString::fromUtf8(progress)).hasMatch()) << progress.toStdString();
    const QMap<pid_t, QByteArray> children = childrenOf(command);
    ASSERT_EQ(children.size(), 2);
    if (c.killCommand) {
        ASSERT_EQ(::kill(command, SIGKILL), 0);
        process.waitForFinished();
        // Each board stops its run at its next line and ends.
        const QDeadlineTimer ending(10000);
        QList<pid_t> left = children.keys();
        while (!left.isEmpty() && !ending.hasExpired()) {
            left.removeIf([](pid_t pid) { return ::kill(pid, 0) != 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(left.isEmpty()) << "boards run on after their command died";
        for (auto& board : boards)
            board->stop();
        EXPECT_FALSE(vboard::checkImage(smallImage(), [&](uint32_t address, int length) {
                         return boards[1]->read(address, length);
                     }).equal);
        return;
    }
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it.value().contains(" COM4 ")) {
            ASSERT_EQ(::kill(it.key(), SIGKILL), 0);
        }
    }
    const BatchResult result = BatchScratch::collect(process);
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    const QJsonArray reports = QJsonDocument::fromJson(result.out).array();
    ASSERT_EQ(reports.size(), 2) << result;
    EXPECT_EQ(reports[0].toObject()[QStringLiteral("outcome")].toString(),
              QStringLiteral("success"));
    const QJsonObject lost = reports[1].toObject();
    EXPECT_EQ(lost[QStringLiteral("outcome")].toString(), QStringLiteral("failure"));
    EXPECT_TRUE(lost[QStringLiteral("boardTouched")].toBool()) << result;
    EXPECT_TRUE(lost[QStringLiteral("failure")].toString().endsWith(shown(GetText(1134))))
        << result;
}

INSTANTIATE_TEST_SUITE_P(Kills, BatchLostBoard,
                         ::testing::Values(LostBoardCase{"board_process_killed", false},
                                           LostBoardCase{"command_killed", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A run on a device path names the device in its failure texts, never the
// port number the run uses behind the scenes.
TEST_F(BatchUpdateTest, DevicePathRunNamesTheDevice) {
    vboard::BoardOptions options;
    options.stopAfterExchanges = 2 + 3;  // silent in the erase
    auto board = startBoard(options);
    const QString device = board->board().devicePath();
    const BatchResult result = scratch_.run(
        {QStringLiteral("update"), QStringLiteral("--port"), device, QStringLiteral("--package"),
         makePackage(QStringLiteral("4.1.7")), kYes, QStringLiteral("--json")});
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 1) << result;
    const QString failure = result.json()[QStringLiteral("failure")].toString();
    EXPECT_TRUE(failure.contains(device)) << result;
    EXPECT_FALSE(result.err.contains("COM1")) << result;
}

// The command's output goes away mid-run ("| head"): the run finishes the
// board all the same and ends with its own exit code.
TEST_F(BatchUpdateTest, OutputGoneFinishesTheRun) {
    const QString package = makePackage(QStringLiteral("4.1.7"));
    auto board = startBoard({});
    QProcess process;
    scratch_.start(process, {QStringLiteral("update"), QStringLiteral("--port"),
                             QStringLiteral("3"), QStringLiteral("--package"), package, kYes});
    ASSERT_TRUE(process.waitForStarted());
    ASSERT_TRUE(process.waitForReadyRead(kBatchRunTimeoutMs));
    process.closeReadChannel(QProcess::StandardOutput);
    const BatchResult result = BatchScratch::collect(process);
    ASSERT_TRUE(result.finished) << result;
    EXPECT_EQ(result.exitCode, 0) << result;
    board->board().stop();
    EXPECT_TRUE(memoryCheck(*board).equal);
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

// Each port's files go to a folder of its own: two ports never share one,
// however their names differ ("/" against "-", a leading "/dev/", "COM").
TEST(BoardPortFolder, TagsAreOnePerPort) {
    const struct {
        const char* port;
        const char* tag;
    } cases[] = {
        {"COM3", "COM3"},       {"3", "COM3"},
        {"/COM3", "-COM3"},     {"/dev/ttyS0", "-dev-ttyS0"},
        {"/ttyS0", "-ttyS0"},   {"/x/a/b", "-x-a-b"},
        {"/x/a-b", "-x-a%2Db"}, {"/x/a%2Db", "-x-a%252Db"},
        {"/x/a b", "-x-a%20b"}, {"/x/à", "-x-%C3%A0"},
    };
    QMap<QString, QString> portOfTag;
    for (const auto& c : cases) {
        const std::optional<batch::BoardPort> port = batch::boardPort(QString::fromUtf8(c.port));
        ASSERT_TRUE(port) << c.port;
        EXPECT_EQ(port->folderTag(), QString::fromUtf8(c.tag)) << c.port;
        const QString tag = port->folderTag();
        if (portOfTag.contains(tag)) {
            EXPECT_EQ(portOfTag.value(tag), port->label) << c.port << " shares a folder";
        }
        portOfTag.insert(tag, port->label);
    }
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
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("65"),
         QStringLiteral("--package"), pkg},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
         QStringLiteral("--package"), pkg, QStringLiteral("--lang"), QStringLiteral("FRA")},
        {QStringLiteral("update"), QStringLiteral("--port"), QStringLiteral("3"),
         QStringLiteral("--package"), pkg, QStringLiteral("--lang"), QStringLiteral("XYZ")},
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
