// The whole download run, in-process: the real link component, loader entry and
// bootloader library over a pseudo-terminal against the virtual board, the
// person's answers given by a script.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <csignal>

#include "package/package_opening.h"
#include "startup/runlog.h"

#include "components/nxpicboot/nxpicboot.h"
#include "ctrllink.h"
#include "tests/download/run_fixture.h"

namespace dwnfrw {
namespace {

using testing::failureReport;
using testing::kProgramBase;
using testing::kRunPort;
using testing::kUserIdBase;
using testing::lineBytes;
using testing::ShownMessage;
using testing::textWith;
using testing::upperAddressRecord;

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
    EXPECT_EQ(
        shown(fe_.dialogs.messages),
        (std::vector<std::string>{confirmation(), failure(GetText(1005) + u'\r' + GetText(1134))}));
    // The application's entry block stays erased: a failed run never starts it.
    EXPECT_EQ(board().read(kProgramBase, 32), QByteArray(8, '\xFF') +
                                                  testing::lineBytes(kProgramBase).mid(8) +
                                                  testing::lineBytes(kProgramBase + 16));
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
    const QString cause = GetText(c.unplug ? 1132 : 1131);
    const QString where = textWith(1141, QStringLiteral("COM3")).arg(3).arg("000220", cause);
    if (c.unplug) {
        EXPECT_TRUE(reported ==
                        failureReport(GetText(1106) + u' ' + where + u'\r' + GetText(1134)) ||
                    reported == failureReport(GetText(1107) + u' ' + where + u'\r' + GetText(1134)))
            << reported.toStdString();
    } else {
        EXPECT_EQ(reported, failureReport(GetText(1106) + u' ' + where + u'\r' + GetText(1134)));
    }
    // The application's entry block stays erased: a failed run never starts it.
    EXPECT_EQ(board().read(kProgramBase, 32), QByteArray(8, '\xFF') +
                                                  testing::lineBytes(kProgramBase).mid(8) +
                                                  testing::lineBytes(kProgramBase + 16));
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
    EXPECT_EQ(report.linesVerified, 2);
    EXPECT_EQ(fe_.dialogs.messages.back().details, failureDetailsText(*report.failure));
    expectIdleWindow();
    EXPECT_LT(clock.elapsed(), 10000) << "a dead line is given up within the retries";
}

INSTANTIATE_TEST_SUITE_P(Drops, LinkDropTest,
                         ::testing::Values(DropCase{"board_unplugged", true},
                                           DropCase{"board_stops_answering", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A board that goes silent in the erase is no stop: its text names the port,
// the row and the cause. Both add that the update must be repeated.
class EraseEndTest : public RunDownloadTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(EraseEndTest, NamesTheCauseUnlessStopped) {
    vboard::BoardOptions options = application();
    const bool stop = GetParam().unplug;  // here: stop pressed instead of a silent board
    if (!stop)
        options.stopAfterExchanges = 2 + 1 + 10;  // silent after ten erase packets
    startBoard(options);
    prepareImage();
    fe_.events.onYield = [&](int) {
        if (stop && fe_.progress.barValue >= 10 * 64)
            globals().StopRequested = true;
    };
    const RunReport report = run();
    ASSERT_EQ(report.end, RunReport::End::Failed);
    const QString text = stop ? GetText(1005) : GetText(1130).arg("COM3", "000480", GetText(1131));
    EXPECT_EQ(fe_.dialogs.messages.back().prompt, failureReport(text + u'\r' + GetText(1134)));
    EXPECT_TRUE(report.boardTouched);
}

INSTANTIATE_TEST_SUITE_P(Ends, EraseEndTest,
                         ::testing::Values(DropCase{"stop_pressed", true},
                                           DropCase{"board_goes_silent", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Images and profiles the device cannot take ---------------------------------

const QByteArray kEndRecord = QByteArrayLiteral(":00000001FF\r\n");

QByteArray programLine(uint32_t address) {
    return upperAddressRecord(address) +
           testing::hexRecord(uint16_t(address), 0, lineBytes(address));
}

// The profile "/D" reads, with one line changed.
QByteArray profileWith(const char* line, const char* replacement) {
    return QByteArrayLiteral(
               "[PIC18F452]\r\nwriteblock=8\r\neraseblock=64\r\nBytesPerAddr=1\r\n"
               "pmrangelow=\"000200\"\r\npmrangehigh=\"007FFF\"\r\n"
               "usrrangelow=\"200000\"\r\nusrrangehigh=\"20000F\"\r\n")
        .replace(line, replacement);
}

struct HostileImage {
    const char* name;
    QByteArray hex;
    QByteArray profile;  // PICCFG.INI read with "/D"; empty: the built-in profile
    std::function<QString()> text;
};

QString outside(int text, int line, const char* address, const char* low, const char* high) {
    return GetText(text).arg(line).arg(address, low, high);
}

QString profileText(int text, const char* key) {
    return GetText(text).arg(QLatin1String(key), picProfilePath());
}

const HostileImage kHostileImages[] = {
    {"end_record_only", kEndRecord, {}, [] { return GetText(1110).arg("000200", "007FFF"); }},
    {"eeprom_only",
     upperAddressRecord(kEepromBase) + testing::hexRecord(0, 0, "EE") + kEndRecord,
     {},
     [] { return GetText(1110).arg("000200", "007FFF"); }},
    {"config_only",
     upperAddressRecord(0x300000) + testing::hexRecord(0, 0, "\xFF\x27") + kEndRecord,
     {},
     [] { return GetText(1110).arg("000200", "007FFF"); }},
    {"program_above_7FFF",
     programLine(0x10000) + kEndRecord,
     {},
     [] { return outside(1111, 2, "010000", "000200", "007FFF"); }},
    {"boot_block",
     programLine(0x100) + kEndRecord,
     {},
     [] { return outside(1111, 2, "000100", "000200", "007FFF"); }},
    {"eeprom_past_FF",
     programLine(0x200) + upperAddressRecord(kEepromBase) + testing::hexRecord(0xFC, 0, "EEPROM") +
         kEndRecord,
     {},
     [] { return GetText(1112).arg(4).arg("F00100"); }},
    {"userid_past_0F",
     programLine(0x200) + upperAddressRecord(kUserIdBase) + testing::hexRecord(0x10, 0, "ID") +
         kEndRecord,
     {},
     [] { return outside(1113, 4, "200010", "200000", "20000F"); }},
    {"segment_record",
     testing::hexRecord(0, 2, QByteArray("\x10\x00", 2)) + programLine(0x200) + kEndRecord,
     {},
     [] { return GetText(1114).arg(1).arg("1000"); }},
    {"profile_without_usrrangelow", programLine(0x200) + kEndRecord,
     profileWith("usrrangelow=\"200000\"\r\n", ""),
     [] { return profileText(1115, "usrrangelow"); }},
    {"profile_with_bytesperaddr_0", programLine(0x200) + kEndRecord,
     profileWith("BytesPerAddr=1", "BytesPerAddr=0"),
     [] { return profileText(1117, "bytesperaddr"); }},
    {"profile_range_backwards", programLine(0x200) + kEndRecord,
     profileWith("pmrangelow=\"000200\"", "pmrangelow=\"008000\""),
     [] {
         return GetText(1116).arg(picProfilePath(), "pmrangelow", "pmrangehigh", "8000", "7FFF");
     }},
};

class HostileImageTest : public RunDownloadTest,
                         public ::testing::WithParamInterface<HostileImage> {};

// Refused when the package is opened, and again by a run that was given the
// image without that check: after the connection, before any erase packet.
TEST_P(HostileImageTest, RefusedAtTheOpeningAndBeforeTheFirstErase) {
    const HostileImage& c = GetParam();
    if (!c.profile.isEmpty()) {
        globals().UseProfileFile = true;
        ASSERT_TRUE(testing::writeAll(picProfilePath(), c.profile));
    }
    const QString package = data_.filePath(QStringLiteral("hostile.fwz"));
    ASSERT_TRUE(testing::buildZip(
        package, {{"info.txt", testing::infoBlock("fw.hex", "4.1.7")}, {"fw.hex", c.hex}}));
    fe_.dialogs.queueFile(package);
    Frontend frontend = fe_.frontend();
    EXPECT_FALSE(OpenFile(session_, frontend));
    ASSERT_EQ(fe_.dialogs.messages.size(), 1u);
    EXPECT_EQ(fe_.dialogs.messages[0].prompt, c.text());
    EXPECT_FALSE(fe_.toolbar.isToolEnabled(QStringLiteral("dwn")));

    fe_.dialogs.messages.clear();
    startBoard(application());
    prepareImage(c.hex);
    const RunReport report = run();
    ASSERT_EQ(report.end, RunReport::End::Failed);
    EXPECT_EQ(fe_.dialogs.messages.back().prompt, failureReport(c.text()));
    EXPECT_FALSE(report.boardTouched);
    EXPECT_EQ(board().counters().perCommand[NXPIC_CMD_ERASE_PROGRAM].requests, 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, HostileImageTest, ::testing::ValuesIn(kHostileImages),
                         [](const auto& info) { return std::string(info.param.name); });

// A log that fills up in the middle of the write pass costs the board nothing:
// the run completes and its ending says where the log misses lines.
TEST_F(RunDownloadTest, FullLogNeitherStopsNorHidesTheUpdate) {
    startBoard(application());
    prepareImage();
    const QString log = joinPath(globals().LogsFolder, logFileName(QDate::currentDate()));
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    // The disk fills once the erase has begun: a few more lines fit, then none.
    fe_.events.onYield = [&](int) {
        if (fe_.progress.operationText != GetText(1103))
            return;
        rlimit small = saved;
        small.rlim_cur = rlim_t(QFileInfo(log).size() + 200);
        setrlimit(RLIMIT_FSIZE, &small);
    };
    const RunReport report = run();
    setrlimit(RLIMIT_FSIZE, &saved);

    ASSERT_EQ(report.end, RunReport::End::Succeeded) << report.failureText.toStdString();
    EXPECT_TRUE(checkBoard().equal) << checkBoard().report.toStdString();
    EXPECT_EQ(fe_.dialogs.messages.back().prompt,
              GetText(1006) + u'\r' + GetText(1128).arg(log, GetText(1121)));
}

}  // namespace
}  // namespace dwnfrw
