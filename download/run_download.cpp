#include "download/run_download.h"

#include <optional>

#include "bootloader/modcomm.h"
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

[[noreturn]] void fail(const QString& message) {
    throw RunTimeError(kOperationFailedError, message);
}

// Whatever can be known before the first erase: the profile the connection
// loaded is sane, the package's image fits the device it describes, and with
// "/LOG" the day's log can be appended. Nothing here reaches the board.
void checkBeforeErasing(const PackageSession& session) {
    QString message;
    const PicProfile& profile = bootloaderSettings().profile;
    if (!CheckPicProfile(profile, message) ||
        !CheckImageForDevice(session.HexPath, profile, message))
        fail(message);
    if (!CanAppendLog(message))
        fail(GetText(kTextNotStarted).arg(message));
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

}  // namespace

RunReport RunDownload(PackageSession& session, Frontend& fe, RunClock& clock) {
    RunReport report;
    GlobalSettings& g = globals();
    g.StopRequested = false;
    enterProgramFolder();

    const QString title = GetText(1002);
    if (fe.dialogs.message(GetText(1001) + QLatin1Char('\r'), title, MsgButtons::OkCancel,
                           MsgIcon::Information) != MsgAnswer::Ok) {
        return report;
    }

    PassContext passes{fe.progress, fe.events};
    std::optional<LogFailuresTolerated> logTolerance;
    // Ends tolerating log failures and notes what the passes did.
    const auto closePasses = [&]() {
        report.boardTouched = passes.boardTouched;
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

        int32_t port = fe.toolbar.selectedPort();
        fe.progress.setOperationText(GetText(1003));
        fe.events.processEvents();

        QString message;
        const IdentifyOutcome outcome =
            IdentifyDevice(port, message, session, fe.progress, &report.device);
        report.outcome = outcome;

        bool sendLoaderEntry = false;
        switch (outcome) {
            case NoVersion:
                if (fe.dialogs.message(GetText(1004), title, MsgButtons::YesNo,
                                       MsgIcon::Question) != MsgAnswer::Yes) {
                    fail(GetText(1005));
                }
                break;
            case Refused:
                fail(message);
            case AskUser:
                if (fe.dialogs.message(message, title, MsgButtons::YesNo, MsgIcon::Question) !=
                    MsgAnswer::Yes) {
                    fail(GetText(1005));
                }
                sendLoaderEntry = true;
                break;
            default:
                sendLoaderEntry = true;
                break;
        }
        fe.events.processEvents();
        // Asked to quit before the board left its application: nothing more
        // goes to it.
        if (fe.events.quitRequested())
            fail(GetText(kTextStopped));

        if (sendLoaderEntry) {
            SendLoaderEntry(port, fe.events);
            report.loaderEntrySent = true;
        }

        WriteLog(QStringLiteral("Connessione con il dispositivo in porta ") +
                 QString::number(port));
        if (!ConnectBootloader(port, message))
            fail(message);

        checkBeforeErasing(session);

        // From the first erase on, a failed log line no longer ends the run.
        logTolerance.emplace();
        if (!EraseDevice(passes, true, true, message))
            fail(message);
        WriteLog(QStringLiteral("INIZIO DOWNLOAD FIRMWARE"));
        if (!DownloadRegions(passes, message))
            fail(message);
        WriteLog(QStringLiteral("FINE DOWNLOAD FIRMWARE"));
        WriteLog(QStringLiteral("Disconnessione con il dispositivo"));
        if (!DisconnectBootloader())
            fail(message);
        PauseOneSecond(fe.events);
        closePasses();

        restoreWindow(fe, clock);
        report.end = RunReport::End::Succeeded;
        fe.dialogs.message(GetText(1006) + endingNotes(report, false), title, MsgButtons::Ok,
                           MsgIcon::Information);
        return report;
    } catch (const RunTimeError& error) {
        report.failureText = error.description();
    } catch (const std::exception& error) {
        report.failureText = QString::fromLocal8Bit(error.what());
    }

    closePasses();
    report.failureText += endingNotes(report, true);
    report.end = RunReport::End::Failed;
    fe.dialogs.message(GetText(1018) + QLatin1Char('\r') + report.failureText, title,
                       MsgButtons::Ok, MsgIcon::Critical);
    restoreWindow(fe, clock);
    DisconnectBootloader();
    return report;
}

}  // namespace dwnfrw
