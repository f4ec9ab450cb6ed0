// The whole download run, in-process: the real link component, loader entry and
// bootloader library over a pseudo-terminal against the virtual board, the
// person's answers given by a script.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <algorithm>

#include "ctrllink.h"
#include "tests/download/run_fixture.h"

namespace dwnfrw {
namespace {

using testing::failureReport;
using testing::kProgramBase;
using testing::kRunPort;
using testing::kUserIdBase;
using testing::ShownMessage;
using testing::textWith;

constexpr uint32_t kEepromBase = testing::kEepromBase;
const QString kLoaderEntryLine = QStringLiteral("TX: 24 45 30 0d");
const QString kConnectLine = QStringLiteral("Connessione con il dispositivo in porta 3");
const QString kLinkRequestLine = QStringLiteral("LINK TX: 24 56 3f 0d");

QString detectedLine(int32_t version, int32_t build, int32_t brand) {
    return QStringLiteral("RILEVATO VerFW:%1BuildFW:%2Brand:%3").arg(version).arg(build).arg(brand);
}

// The message boxes as the person saw them, one short text each.
std::vector<std::string> shown(const std::vector<ShownMessage>& messages) {
    std::vector<std::string> texts;
    for (const ShownMessage& m : messages) {
        const char* buttons = m.buttons == MsgButtons::Ok         ? "Ok"
                              : m.buttons == MsgButtons::OkCancel ? "OkCancel"
                                                                  : "YesNo";
        const char* icon = m.icon == MsgIcon::Critical      ? "Critical"
                           : m.icon == MsgIcon::Question    ? "Question"
                           : m.icon == MsgIcon::Information ? "Information"
                                                            : "other";
        texts.push_back(m.prompt.toStdString() + " |" + buttons + "|" + icon +
                        (m.title == GetText(1002) ? "" : "|wrong title"));
    }
    return texts;
}

std::string box(const QString& prompt, const char* buttons, const char* icon) {
    return prompt.toStdString() + " |" + buttons + "|" + icon;
}

std::string confirmation() {
    return box(GetText(1001) + QLatin1Char('\r'), "OkCancel", "Information");
}
std::string success() {
    return box(GetText(1006), "Ok", "Information");
}
std::string failure(const QString& description) {
    return box(failureReport(description), "Ok", "Critical");
}

class RunDownloadTest : public testing::RunFixture {
  protected:
    QByteArray oldProgram() const { return QByteArray(testing::kProgramLines * 16, '\x11'); }
    QByteArray programNow() { return board().read(kProgramBase, testing::kProgramLines * 16); }
};

TEST_F(RunDownloadTest, CompleteUpdate) {
    startBoard(application(4, 0, 7));
    prepareImage();
    QMap<QString, bool> toolsDuringRun;
    bool busyDuringRun = false;
    fe_.events.onYield = [&](int count) {
        if (count == 1) {
            toolsDuringRun = fe_.toolbar.enabled;
            busyDuringRun = fe_.toolbar.busy;
        }
    };

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Succeeded) << report.failureText.toStdString();
    EXPECT_EQ(shown(fe_.dialogs.messages), (std::vector<std::string>{confirmation(), success()}));
    const vboard::ImageCheck check = checkBoard();
    EXPECT_TRUE(check.equal) << check.report.toStdString();
    EXPECT_EQ(board().read(kProgramBase, 16), testing::lineBytes(kProgramBase));
    EXPECT_EQ(board().read(kEepromBase, 16), QByteArrayLiteral("eeprom-of-a-run!"));
    EXPECT_EQ(board().read(kUserIdBase, 8), QByteArrayLiteral("ID-RUN-1"));

    // The whole log, the link component's own lines apart.
    QStringList expected = {detectedLine(4, 0, 7),
                            kLoaderEntryLine,
                            kConnectLine,
                            QStringLiteral("Cancellazione flash"),
                            QStringLiteral("Cancellazione eeprom"),
                            QStringLiteral("INIZIO DOWNLOAD FIRMWARE")};
    expected += writePassLog();
    expected += {QStringLiteral("FINE DOWNLOAD FIRMWARE"),
                 QStringLiteral("Disconnessione con il dispositivo")};
    EXPECT_EQ(runLogTexts(), expected);
    EXPECT_EQ(logTexts().mid(0, 3),
              (QStringList{kLinkRequestLine,
                           QStringLiteral("LINK RX: ") +
                               QString::fromLatin1(ctrllink::versionAnswer(4, 0, 7).chopped(1)),
                           detectedLine(4, 0, 7)}));

    // Locked one tool after the other, then unlocked as the table says.
    EXPECT_EQ(
        fe_.toolbar.changes,
        QStringList({"stop=off", "open=off", "esci=off", "dwn=off", "info=off", "Tool6=off",
                     "Tool7=off", "Tool8=off", "stop=on", "comport=off", "stop=off", "open=on",
                     "esci=on", "dwn=on", "comport=on", "Tool6=on", "Tool7=on", "Tool8=on"}));
    QMap<QString, bool> onlyStop = testing::idleToolbarAfterRun();
    for (auto it = onlyStop.begin(); it != onlyStop.end(); ++it)
        it.value() = it.key() == QLatin1String("stop");
    EXPECT_EQ(toolsDuringRun, onlyStop);
    EXPECT_TRUE(busyDuringRun);
    expectIdleWindow();
    EXPECT_EQ(timer_.history, (std::vector<bool>{true, false}));
    EXPECT_EQ(fe_.progress.operationHistory.mid(0, 4),
              (QStringList{QString(), GetText(1003), GetText(1007), GetText(1103)}));

    EXPECT_EQ(report.outcome, Proceed);
    EXPECT_TRUE(report.loaderEntrySent);
    // The link, the loader entry and the bootloader each opened and closed the port.
    const vboard::Counters counters = board().counters();
    EXPECT_EQ(counters.hostOpens, 3u);
    EXPECT_EQ(counters.hostCloses, 3u);
    EXPECT_EQ(bootloaderSettings().Handle, -1) << "the connection is closed";
}

TEST_F(RunDownloadTest, CancelAtTheConfirmationChangesNothing) {
    startBoard(application());
    prepareImage();
    fe_.dialogs.queueAnswer(MsgAnswer::Cancel);

    const RunReport report = run();

    EXPECT_EQ(report.end, RunReport::End::Cancelled);
    EXPECT_EQ(shown(fe_.dialogs.messages), std::vector<std::string>{confirmation()});
    EXPECT_TRUE(fe_.toolbar.changes.isEmpty());
    EXPECT_FALSE(fe_.toolbar.busy);
    EXPECT_TRUE(fe_.progress.operationHistory.isEmpty());
    EXPECT_TRUE(timer_.history.empty());
    EXPECT_TRUE(QDir(globals().LogsFolder).isEmpty()) << "no log line, not even a log file";
    EXPECT_EQ(board().counters().hostOpens, 0u);
    EXPECT_EQ(bootloaderSettings().Handle, 0);
}

// No board behind the chosen port: the link does not open.
TEST_F(RunDownloadTest, LinkNotOpenedReports1093AndLeavesTheBootloaderAlone) {
    startBoard(application());
    prepareImage();
    // COM4 names a board that has gone away.
    ASSERT_TRUE(QFile::link(QStringLiteral("/nonexistent/dwnfrw-board-gone"),
                            QDir(port_->portsFolder()).filePath(QStringLiteral("COM4"))));
    fe_.toolbar.port = 4;

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Failed);
    EXPECT_EQ(shown(fe_.dialogs.messages),
              (std::vector<std::string>{confirmation(), failure(GetText(1093))}));
    EXPECT_EQ(report.outcome, Refused);
    EXPECT_FALSE(report.device.has_value());
    EXPECT_TRUE(logTexts().isEmpty());
    // The bootloader library never opened a connection; only the closing call ran.
    EXPECT_EQ(bootloaderSettings().Handle, 0);
    EXPECT_EQ(board().counters().hostOpens, 0u);
    EXPECT_EQ(board().counters().bytesReceived, 0u);
    expectIdleWindow();
}

struct BrandCase {
    const char* name;
    int32_t brandMode;
    int32_t deviceBrand;
};

class WrongBrandTest : public RunDownloadTest, public ::testing::WithParamInterface<BrandCase> {};

TEST_P(WrongBrandTest, Refused1108BeforeAnythingIsSent) {
    const BrandCase& c = GetParam();
    globals().Brand = c.brandMode;
    startBoard(application(3, 0, c.deviceBrand));  // older firmware: the version would pass
    prepareImage();

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Failed);
    EXPECT_EQ(shown(fe_.dialogs.messages),
              (std::vector<std::string>{confirmation(), failure(GetText(1108))}));
    EXPECT_EQ(runLogTexts(), QStringList{detectedLine(3, 0, c.deviceBrand)});
    // Only the one identification request reached the board.
    EXPECT_EQ(board().counters().bytesReceived, uint64_t(ctrllink::identificationRequest().size()));
    EXPECT_EQ(bootloaderSettings().Handle, 0);
    EXPECT_EQ(programNow(), oldProgram());
    expectIdleWindow();
}

INSTANTIATE_TEST_SUITE_P(BrandModes, WrongBrandTest,
                         ::testing::Values(BrandCase{"first_brand_mode_second_brand_board", 0, 20},
                                           BrandCase{"second_brand_mode_first_brand_board", 1, 7}),
                         [](const auto& info) { return std::string(info.param.name); });

class OlderPackageTest : public RunDownloadTest, public ::testing::WithParamInterface<bool> {};

// The board runs 5.0.2, the package holds 4.1.7.
TEST_P(OlderPackageTest, AsksWithBothVersions) {
    const bool answerYes = GetParam();
    startBoard(application(5, 2, 7));
    prepareImage();
    QString question = GetText(1098);
    question.replace(QLatin1String("%1"), QLatin1String("5.0.2"));
    question.replace(QLatin1String("%2"), QLatin1String("4.1.7"));
    ASSERT_NE(question, GetText(1098)) << "text 1098 has its placeholders";
    fe_.dialogs.queueAnswer(MsgAnswer::Ok);
    fe_.dialogs.queueAnswer(answerYes ? MsgAnswer::Yes : MsgAnswer::No);
    // A stop pressed before the passes begin changes nothing.
    fe_.dialogs.onMessage = [](const ShownMessage&) { globals().StopRequested = true; };

    const RunReport report = run();

    const std::string asked = box(question, "YesNo", "Question");
    if (!answerYes) {
        ASSERT_EQ(report.end, RunReport::End::Failed);
        EXPECT_EQ(shown(fe_.dialogs.messages),
                  (std::vector<std::string>{confirmation(), asked, failure(GetText(1005))}));
        EXPECT_EQ(runLogTexts(), QStringList{detectedLine(5, 2, 7)});
        EXPECT_EQ(board().counters().bytesReceived,
                  uint64_t(ctrllink::identificationRequest().size()));
        EXPECT_EQ(programNow(), oldProgram()) << "nothing written";
    } else {
        ASSERT_EQ(report.end, RunReport::End::Succeeded) << report.failureText.toStdString();
        EXPECT_EQ(shown(fe_.dialogs.messages),
                  (std::vector<std::string>{confirmation(), asked, success()}));
        EXPECT_EQ(runLogTexts().mid(0, 3),
                  (QStringList{detectedLine(5, 2, 7), kLoaderEntryLine, kConnectLine}));
        EXPECT_TRUE(checkBoard().equal) << checkBoard().report.toStdString();
    }
    EXPECT_EQ(report.outcome, AskUser);
    expectIdleWindow();
}

INSTANTIATE_TEST_SUITE_P(Answers, OlderPackageTest, ::testing::Values(false, true),
                         [](const auto& info) {
                             return std::string(info.param ? "answered_yes" : "answered_no");
                         });

// A board whose application is broken sits in its bootloader: the link gets no
// answer, and after Yes the update goes straight to the bootloader.
TEST_F(RunDownloadTest, NoVersionAnsweredYesSkipsTheLoaderEntry) {
    startBoard(vboard::BoardOptions{});  // starts in its bootloader
    prepareImage();

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Succeeded) << report.failureText.toStdString();
    EXPECT_EQ(shown(fe_.dialogs.messages),
              (std::vector<std::string>{confirmation(), box(GetText(1004), "YesNo", "Question"),
                                        success()}));
    EXPECT_EQ(report.outcome, NoVersion);
    ASSERT_TRUE(report.device.has_value());
    EXPECT_EQ(report.device->LinkError, ctrllink::kLinkNoAnswer);
    EXPECT_FALSE(report.loaderEntrySent);
    const QStringList log = runLogTexts();
    EXPECT_EQ(log.mid(0, 2), (QStringList{detectedLine(0, 0, 0), kConnectLine}));
    EXPECT_FALSE(log.contains(kLoaderEntryLine));
    // Six attempts, then the link gives up.
    EXPECT_EQ(logTexts().count(kLinkRequestLine), 6);
    EXPECT_EQ(board().counters().hostOpens, 2u) << "the link and the bootloader, nothing between";
    EXPECT_TRUE(checkBoard().equal) << checkBoard().report.toStdString();
    expectIdleWindow();
}

struct CheckOptionCase {
    const char* name;
    bool noCheck;
    bool noCheckPlus;
    bool linkError;  // else: a board of the other brand with newer firmware
};

class CheckOptionsTest : public RunDownloadTest,
                         public ::testing::WithParamInterface<CheckOptionCase> {};

TEST_P(CheckOptionsTest, SkipBrandAndVersionButNotAnUnreadableVersion) {
    const CheckOptionCase& c = GetParam();
    globals().NoCheck = c.noCheck;
    globals().NoCheckPlus = c.noCheckPlus;
    vboard::BoardOptions options = application(5, 9, 20);
    if (c.linkError)
        options.appLinkError = 5;
    startBoard(options);
    prepareImage();
    fe_.dialogs.queueAnswer(MsgAnswer::Ok);
    fe_.dialogs.queueAnswer(MsgAnswer::No);

    const RunReport report = run();

    if (c.linkError) {
        ASSERT_EQ(report.end, RunReport::End::Failed);
        EXPECT_EQ(shown(fe_.dialogs.messages),
                  (std::vector<std::string>{confirmation(), box(GetText(1004), "YesNo", "Question"),
                                            failure(GetText(1005))}));
        EXPECT_EQ(report.outcome, NoVersion);
        ASSERT_TRUE(report.device.has_value());
        EXPECT_EQ(report.device->LinkError, ctrllink::kLinkDeviceError + 5);
        EXPECT_EQ(runLogTexts(), QStringList{detectedLine(0, 0, 0)});
        EXPECT_EQ(programNow(), oldProgram());
    } else {
        ASSERT_EQ(report.end, RunReport::End::Succeeded) << report.failureText.toStdString();
        EXPECT_EQ(shown(fe_.dialogs.messages),
                  (std::vector<std::string>{confirmation(), success()}));
        EXPECT_EQ(report.outcome, Proceed);
        EXPECT_EQ(runLogTexts().mid(0, 3),
                  (QStringList{detectedLine(5, 9, 20), kLoaderEntryLine, kConnectLine}));
        EXPECT_TRUE(checkBoard().equal) << checkBoard().report.toStdString();
    }
    expectIdleWindow();
}

INSTANTIATE_TEST_SUITE_P(
    Options, CheckOptionsTest,
    ::testing::Values(CheckOptionCase{"nocheck_other_brand_newer_firmware", true, false, false},
                      CheckOptionCase{"nocheckplus_other_brand_newer_firmware", false, true, false},
                      CheckOptionCase{"no_option_link_error_asks", false, false, true},
                      CheckOptionCase{"nocheck_link_error_still_asks", true, false, true},
                      CheckOptionCase{"nocheckplus_link_error_still_asks", false, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// Lines 1 and 2 of program memory are written when "stop" is pressed as line 3 shows.
TEST_F(RunDownloadTest, StopDuringTheWritePassKeepsWhatWasWritten) {
    startBoard(application());
    prepareImage();
    const QString thirdLine = textWith(1102, QStringLiteral("3"));
    fe_.events.onYield = [&](int) {
        if (fe_.progress.operationText == thirdLine)
            globals().StopRequested = true;
    };

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Failed);
    EXPECT_EQ(shown(fe_.dialogs.messages),
              (std::vector<std::string>{confirmation(), failure(GetText(1005))}));
    EXPECT_EQ(board().read(kProgramBase, 32),
              testing::lineBytes(kProgramBase) + testing::lineBytes(kProgramBase + 16));
    EXPECT_EQ(board().read(kProgramBase + 32, 32), QByteArray(32, '\xFF')) << "erased, not written";
    EXPECT_EQ(board().read(kEepromBase, 16), QByteArray(16, '\x33')) << "the EEPROM pass never ran";
    const QStringList log = runLogTexts();
    EXPECT_EQ(log.filter(QStringLiteral("<- TX ")).size(), 2);
    EXPECT_EQ(log.last(), QStringLiteral("-> RX riga validata"));
    EXPECT_EQ(bootloaderSettings().Handle, -1) << "the ending closed the connection";
    expectIdleWindow();
}

struct DropCase {
    const char* name;
    bool unplug;  // else the board stops answering
};

class LinkDropTest : public RunDownloadTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(LinkDropTest, InTheWritePassEndsWithTheWriteOrVerifyFailure) {
    const DropCase& c = GetParam();
    vboard::BoardOptions options = application();
    // Identification, loader entry, version query and 505 erase packets, then
    // two lines of two exchanges each.
    if (!c.unplug)
        options.stopAfterExchanges = 2 + 1 + 505 + 2 * 2;
    startBoard(options);
    prepareImage();
    const QString thirdLine = textWith(1102, QStringLiteral("3"));
    bool unplugged = false;
    if (c.unplug) {
        fe_.events.onYield = [&](int) {
            if (!unplugged && fe_.progress.operationText == thirdLine) {
                unplugged = true;
                board().unplug();
            }
        };
    }
    QElapsedTimer clock;
    clock.start();

    const RunReport report = run();

    ASSERT_EQ(report.end, RunReport::End::Failed);
    ASSERT_EQ(fe_.dialogs.messages.size(), 2u);
    const QString reported = fe_.dialogs.messages.back().prompt;
    if (c.unplug) {
        EXPECT_TRUE(reported == failureReport(GetText(1106)) ||
                    reported == failureReport(GetText(1107)))
            << reported.toStdString();
    } else {
        EXPECT_EQ(reported, failureReport(GetText(1106)));
    }
    EXPECT_EQ(board().read(kProgramBase, 32),
              testing::lineBytes(kProgramBase) + testing::lineBytes(kProgramBase + 16));
    // The log tells how far the run came: the third line was sent.
    const QStringList sent = runLogTexts().filter(QStringLiteral("<- TX "));
    ASSERT_EQ(sent.size(), 3);
    EXPECT_TRUE(sent.last().startsWith(QStringLiteral("<- TX 000220")));
    EXPECT_FALSE(runLogTexts().contains(QStringLiteral("FINE DOWNLOAD FIRMWARE")));
    // The details say where the run stopped, why, and that the board was erased.
    ASSERT_TRUE(report.failure.has_value());
    EXPECT_EQ(report.failure->port, QStringLiteral("COM3"));
    EXPECT_EQ(report.failure->phase, RunPhase::WritingProgram);
    EXPECT_EQ(report.failure->line, 3);
    EXPECT_EQ(report.failure->address, kProgramBase + 32);
    EXPECT_FALSE(report.failure->libraryReason.isEmpty());
    EXPECT_TRUE(report.failure->boardErased);
    EXPECT_EQ(report.linesVerified, 2);
    EXPECT_EQ(fe_.dialogs.messages.back().details, failureDetailsText(*report.failure));
    expectIdleWindow();
    EXPECT_LT(clock.elapsed(), 10000) << "a dead line is given up within the retries";
}

INSTANTIATE_TEST_SUITE_P(Drops, LinkDropTest,
                         ::testing::Values(DropCase{"board_unplugged", true},
                                           DropCase{"board_stops_answering", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dwnfrw
