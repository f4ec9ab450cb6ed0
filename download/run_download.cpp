#include "download/run_download.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <optional>

#include "bootloader/modcomm.h"
#include "components/nxpicboot/nxpicboot.h"
#include "download/overall_progress.h"
#include "platform/port_lock.h"
#include "platform/serial_port_name.h"
#include "startup/command_states.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runlog.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

constexpr int kTextStopped = 1005;
constexpr int kTextLogIncomplete = 1128;
constexpr int kTextNotStarted = 1129;
constexpr int kTextRepeatUpdate = 1134;
constexpr int kTextVersionsReason = 1220;
constexpr int kTextNoVersionReason = 1221;
constexpr int kTextNotConfirmedReason = 1222;
constexpr int kTextNothingSent = 1223;
constexpr int kTextPortInUse = 1189;
constexpr int kTextNoSuchPort = 1190;
constexpr int kTextPortNotReserved = 1191;
constexpr int kTextNotDisconnected = 1194;
// The loader-entry command is sent at most this many times: a damaged copy
// leaves the board in its application, which a repetition mends.
constexpr int kLoaderEntryAttempts = 3;

[[noreturn]] void fail(const QString& message) {
    throw RunTimeError(kOperationFailedError, message);
}

// A question of the run answered No: the run ends before anything reaches
// the board, which is the person's choice and no failure.
struct QuestionDeclined {
    QString reason;
};

// A multi-line text on one log line.
QString oneLogLine(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\r'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = line.trimmed();
    lines.removeAll(QString());
    return lines.join(QLatin1Char(' '));
}

// The ending line must not hide the ending itself: a log that cannot take it
// has already been reported, or will be by the check before the first erase.
void writeEndingLog(const QString& text) {
    try {
        WriteLog(text);
    } catch (const RunTimeError&) {
    }
}

// Whatever can be known before the first erase, known before anything is
// sent: the profile, read here once for the whole run, is sane; the package's
// image fits the device it describes; the region files are those the opening
// made, read once into the copies the passes write; and with "/LOG" the
// day's log can be appended. Needs no board.
RegionImages checkBeforeErasing(const PackageSession& session) {
    QString message;
    PicProfile& profile = bootloaderSettings().profile;
    RegionImages images;
    if (!LoadPicProfile(profile, message) || !CheckPicProfile(profile, message) ||
        !CheckImageForDevice(session.HexPath, profile, message) ||
        !ReadPlannedRegions(images, message))
        fail(message);
    if (!CanAppendLog(message))
        fail(GetText(kTextNotStarted).arg(message));
    return images;
}

// Holds the device behind the port for this run: a second run on it, from
// this or any other program, is refused, and so is a port with no device.
void claimPort(serial::PortLock& lock, int32_t port) {
    const QString name = QStringLiteral("COM") + QString::number(port);
    QString detail;
    switch (lock.claim(name, &detail)) {
        case serial::PortLock::Claim::Held:
            return;
        case serial::PortLock::Claim::NoDevice: {
            const QString device = serial::resolveSerialPortName(name);
            fail(GetText(kTextNoSuchPort).arg(portLabel(port), device.isEmpty() ? name : device));
        }
        case serial::PortLock::Claim::InUse:
            fail(GetText(kTextPortInUse).arg(portLabel(port), detail));
        case serial::PortLock::Claim::Failed:
            fail(GetText(kTextPortNotReserved).arg(portLabel(port), detail));
    }
}

// The sentences an ending adds: what to do about a board that was touched,
// and where the log misses lines.
QString endingNotes(const RunReport& report, bool failed) {
    QString notes;
    if (failed && report.boardTouched)
        notes += QLatin1Char('\r') + GetText(kTextRepeatUpdate);
    if (!report.incompleteLog.isEmpty())
        notes += QLatin1Char('\r') + report.incompleteLog;
    return notes;
}

// The end every run shares: the toolbar and the panel back to idle.
void restoreWindow(Frontend& fe, RunClock& clock) {
    applyRunEnds(fe.toolbar);
    fe.progress.setOperationText(QString());
    fe.toolbar.setBusyCursor(false);
    fe.progress.setPercentText(QString());
    fe.progress.setBarValue(0);
    fe.progress.setBarVisible(false);
    clock.stop();
}

constexpr int kPortText = 1160;
constexpr int kPortDeviceText = 1161;
constexpr int kPhaseText = 1162;
constexpr int kLineAddressText = 1163;
constexpr int kAddressText = 1164;
constexpr int kLibraryReasonText = 1165;
constexpr int kLogFileText = 1166;
constexpr int kFirstPhaseName = 1168;  // then one text per phase, in run order
constexpr int kOverallText = 1177;
constexpr int kOverallLeftText = 1178;

constexpr int kAddressDigits = 6;

QString filled(int number, const QStringList& values) {
    QString text = GetText(number);
    for (qsizetype i = 0; i < values.size(); ++i)
        text.replace(QStringLiteral("%") + QString::number(i + 1), values.at(i));
    return text;
}

RunFailureDetails failureDetails(int32_t port, const OverallProgressCalculation& progress) {
    RunFailureDetails details;
    const QString name = QStringLiteral("COM") + QString::number(port);
    details.port = portLabel(port);
    // A name in the ports folder is a link: the device is what it points to.
    const QFileInfo resolved(serial::resolveSerialPortName(name));
    details.device = resolved.isSymLink() ? resolved.symLinkTarget() : resolved.filePath();
    if (details.device == details.port)
        details.device.clear();
    const PassStep& last = progress.lastStep();
    details.phase = last.phase;
    details.line = last.line;
    details.address = last.address;
    if (last.failedResult < 0)
        details.libraryReason = bootloaderResultCause(last.failedResult);
    if (globals().LogEnabled) {
        details.logFile = QDir(globals().LogsFolder).filePath(logFileName(QDate::currentDate()));
    }
    return details;
}

}  // namespace

QString runBeginLogText(int32_t port, const PackageSession& session) {
    return QStringLiteral("AGGIORNAMENTO porta COM%1, pacchetto %2, versione %3")
        .arg(port)
        .arg(session.PackagePath, packageVersionText(session));
}

QString runEndLogText(const RunReport& report, bool stopped) {
    switch (report.end) {
        case RunReport::End::Succeeded:
            return QStringLiteral("ESITO: aggiornamento riuscito");
        case RunReport::End::Declined:
        case RunReport::End::Cancelled:
            return QStringLiteral("ESITO: risposta No: ") + oneLogLine(report.declinedReason);
        case RunReport::End::Failed:
            break;
    }
    return (stopped ? QStringLiteral("ESITO: aggiornamento fermato: ")
                    : QStringLiteral("ESITO: aggiornamento non riuscito: ")) +
           oneLogLine(report.failureText);
}

QString phaseName(RunPhase phase) {
    return GetText(kFirstPhaseName + static_cast<int>(phase));
}

QString overallProgressText(const OverallProgress& overall) {
    const QString percent = QString::number(overall.percent);
    if (overall.secondsLeft < 0)
        return filled(kOverallText, {phaseName(overall.phase), percent});
    const QString left = QStringLiteral("%1:%2")
                             .arg(overall.secondsLeft / 60)
                             .arg(overall.secondsLeft % 60, 2, 10, QLatin1Char('0'));
    return filled(kOverallLeftText, {phaseName(overall.phase), percent, left});
}

QString failureDetailsText(const RunFailureDetails& details) {
    QStringList lines;
    lines << (details.device.isEmpty() ? filled(kPortText, {details.port})
                                       : filled(kPortDeviceText, {details.port, details.device}));
    lines << filled(kPhaseText, {phaseName(details.phase)});
    const QString address =
        details.address < 0 ? QString() : HexPad(details.address, kAddressDigits);
    if (details.line > 0)
        lines << filled(kLineAddressText, {QString::number(details.line), address});
    else if (!address.isEmpty())
        lines << filled(kAddressText, {address});
    if (!details.libraryReason.isEmpty())
        lines << filled(kLibraryReasonText, {details.libraryReason});
    if (!details.logFile.isEmpty())
        lines << filled(kLogFileText, {details.logFile});
    return lines.join(QLatin1Char('\r'));
}

RunReport RunDownload(PackageSession& session, Frontend& fe, RunClock& clock) {
    RunReport report;
    GlobalSettings& g = globals();
    enterProgramFolder();

    const QString title = GetText(1002);
    if (fe.dialogs.message(GetText(1001) + QLatin1Char('\r'), title, MsgButtons::OkCancel,
                           MsgIcon::Information) != MsgAnswer::Ok) {
        report.declinedReason = GetText(kTextNotConfirmedReason);
        return report;
    }
    // The one place the stop flag is cleared, as the run starts: a stop asked
    // for at any later moment ends it, at the latest before the next packet.
    g.StopRequested = false;

    // Everything the run and its passes show goes through the tracker, which
    // adds the overall progress.
    RunProgress tracker(fe.progress, planRun());
    int32_t port = fe.toolbar.selectedPort();
    PassContext passes{tracker, fe.events};
    std::optional<LogFailuresTolerated> logTolerance;
    serial::PortLock portLock;
    // Window events run while the board is awaited, so that its stop acts.
    const auto stopAsked = [&fe, &g]() {
        fe.events.processEvents();
        return g.StopRequested || fe.events.quitRequested();
    };
    const auto endIfStopped = [&]() {
        if (stopAsked())
            fail(GetText(kTextStopped));
    };
    // Ends tolerating log failures and notes what the passes did.
    const auto closePasses = [&]() {
        report.boardTouched = passes.boardTouched;
        report.linesWritten = passes.linesWritten;
        if (logTolerance && !logTolerance->firstFailure().path.isEmpty()) {
            const LogFailure& failure = logTolerance->firstFailure();
            report.incompleteLog = GetText(kTextLogIncomplete).arg(failure.path, failure.cause);
        }
        logTolerance.reset();
    };
    try {
        applyRunStarts(fe.toolbar);
        fe.toolbar.setBusyCursor(true);
        clock.start();
        fe.progress.setOperationText(QString());

        port = fe.toolbar.selectedPort();
        // The beginning line comes first; a log that cannot take it is
        // reported by the check that follows, before anything is sent.
        writeEndingLog(runBeginLogText(port, session));
        const RegionImages images = checkBeforeErasing(session);
        claimPort(portLock, port);
        tracker.setPassStep({RunPhase::Identifying});
        fe.progress.setOperationText(GetText(1003));
        fe.events.processEvents();

        QString message;
        const IdentifyOutcome outcome =
            IdentifyDevice(port, message, session, tracker, &report.device, stopAsked);
        report.outcome = outcome;
        endIfStopped();

        bool sendLoaderEntry = false;
        switch (outcome) {
            case NoVersion:
                if (fe.dialogs.message(GetText(1004), title, MsgButtons::YesNoDefaultNo,
                                       MsgIcon::Question) != MsgAnswer::Yes) {
                    throw QuestionDeclined{GetText(kTextNoVersionReason)};
                }
                break;
            case Refused:
                fail(message);
            case AskUser:
                if (fe.dialogs.message(message, title, MsgButtons::YesNo, MsgIcon::Question) !=
                    MsgAnswer::Yes) {
                    throw QuestionDeclined{
                        GetText(kTextVersionsReason)
                            .arg(deviceVersionText(*report.device), packageVersionText(session))};
                }
                sendLoaderEntry = true;
                break;
            default:
                sendLoaderEntry = true;
                break;
        }
        // A stop asked for before the board left its application: nothing
        // more goes to it.
        endIfStopped();

        for (int attempt = 1;; ++attempt) {
            if (sendLoaderEntry) {
                tracker.setPassStep({RunPhase::EnteringLoader});
                SendLoaderEntry(port, fe.events);
                report.loaderEntrySent = true;
                endIfStopped();
            }
            WriteLog(QStringLiteral("Connessione con il dispositivo in porta ") +
                     QString::number(port));
            tracker.setPassStep({RunPhase::Connecting});
            bool silent = false;
            if (ConnectBootloader(port, message, &silent))
                break;
            if (!sendLoaderEntry || !silent || attempt == kLoaderEntryAttempts)
                fail(message);
            // The board may still run its application: the port goes back
            // to the loader-entry command.
            DisconnectBootloader();
            endIfStopped();
        }

        endIfStopped();

        // From the first erase on, a failed log line no longer ends the run.
        logTolerance.emplace();
        if (!EraseDevice(passes, true, true, message))
            fail(message);
        WriteLog(QStringLiteral("INIZIO DOWNLOAD FIRMWARE"));
        if (!DownloadRegions(passes, images, message))
            fail(message);
        WriteLog(QStringLiteral("FINE DOWNLOAD FIRMWARE"));
        WriteLog(QStringLiteral("Disconnessione con il dispositivo"));
        tracker.setPassStep({RunPhase::Disconnecting});
        QString notStarted;
        if (!DisconnectBootloader(&notStarted))
            fail(notStarted.isEmpty() ? GetText(kTextNotDisconnected).arg(portLabel(port))
                                      : notStarted);
        PauseOneSecond(fe.events);
        tracker.setPassStep({RunPhase::Disconnecting, 1});
        report.linesVerified = tracker.calculation().linesVerified();
        closePasses();

        restoreWindow(fe, clock);
        report.end = RunReport::End::Succeeded;
        writeEndingLog(runEndLogText(report, false));
        fe.dialogs.message(GetText(1006) + endingNotes(report, false), title, MsgButtons::Ok,
                           MsgIcon::Information);
        return report;
    } catch (const QuestionDeclined& declined) {
        // Asked before the loader entry: the board still runs its application.
        report.end = RunReport::End::Declined;
        report.declinedReason = declined.reason;
        writeEndingLog(runEndLogText(report, false));
        restoreWindow(fe, clock);
        fe.dialogs.message(GetText(kTextStopped) + QLatin1Char('\r') +
                               GetText(kTextNothingSent).arg(declined.reason),
                           title, MsgButtons::Ok, MsgIcon::Information);
        return report;
    } catch (const RunTimeError& error) {
        report.failureText = error.description();
    } catch (const std::exception& error) {
        report.failureText = QString::fromLocal8Bit(error.what());
    }

    closePasses();
    report.failureText += endingNotes(report, true);
    report.end = RunReport::End::Failed;
    report.linesVerified = tracker.calculation().linesVerified();
    report.failure = failureDetails(port, tracker.calculation());
    // A stop ends the passes with the flag still set.
    writeEndingLog(runEndLogText(report, g.StopRequested || fe.events.quitRequested()));
    fe.dialogs.messageWithDetails(GetText(1018) + QLatin1Char('\r') + report.failureText, title,
                                  MsgButtons::Ok, MsgIcon::Critical,
                                  failureDetailsText(*report.failure));
    restoreWindow(fe, clock);
    DisconnectBootloader();
    return report;
}

}  // namespace dwnfrw
