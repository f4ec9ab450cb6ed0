#include "download/run_download.h"

#include <QDir>

#include "bootloader/modcomm.h"
#include "startup/command_states.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runlog.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

[[noreturn]] void fail(const QString& message) {
    throw RunTimeError(kOperationFailedError, message);
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
    QDir::setCurrent(programFolder());

    const QString title = GetText(1002);
    if (fe.dialogs.message(GetText(1001) + QLatin1Char('\r'), title, MsgButtons::OkCancel,
                           MsgIcon::Information) != MsgAnswer::Ok) {
        return report;
    }

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

        if (sendLoaderEntry) {
            SendLoaderEntry(port, fe.events);
            report.loaderEntrySent = true;
        }

        WriteLog(QStringLiteral("Connessione con il dispositivo in porta ") +
                 QString::number(port));
        if (!ConnectBootloader(port, message))
            fail(message);

        PassContext passes{fe.progress, fe.events};
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

        restoreWindow(fe, clock);
        report.end = RunReport::End::Succeeded;
        fe.dialogs.message(GetText(1006), title, MsgButtons::Ok, MsgIcon::Information);
        return report;
    } catch (const RunTimeError& error) {
        report.failureText = error.description();
    } catch (const std::exception& error) {
        report.failureText = QString::fromLocal8Bit(error.what());
    }

    report.end = RunReport::End::Failed;
    fe.dialogs.message(GetText(1018) + QLatin1Char('\r') + report.failureText, title,
                       MsgButtons::Ok, MsgIcon::Critical);
    restoreWindow(fe, clock);
    DisconnectBootloader();
    return report;
}

}  // namespace dwnfrw
