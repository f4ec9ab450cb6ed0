// The download run behind "dwn": confirmation, identification, loader entry,
// bootloader connection, erase, write and verify, disconnection.
#pragma once

#include <QString>
#include <optional>

#include "download/identify.h"
#include "download/loader_entry.h"
#include "package/package_session.h"
#include "startup/frontend.h"

namespace dwnfrw {

// Where and why a run stopped, for the details of its failure message.
struct RunFailureDetails {
    QString port;    // "COM" + number
    QString device;  // what the port name resolves to; empty when nothing
    RunPhase phase = RunPhase::Identifying;
    int line = 0;           // the region line being written; 0 outside the write passes
    int64_t address = -1;   // the byte address being erased or written; -1 when none
    QString libraryReason;  // the bootloader library's sentence for its failed result
    QString logFile;        // the day's log file when logging
};

// The details as the failure message shows them, one per line (CR between lines).
QString failureDetailsText(const RunFailureDetails& details);

// The phase's name and the overall progress as a front end shows them.
QString phaseName(RunPhase phase);
QString overallProgressText(const OverallProgress& overall);

struct RunReport {
    // Cancelled: the confirmation was not given, nothing started. Declined: a
    // question of the run was answered No; nothing reached the board.
    enum class End { Cancelled, Succeeded, Failed, Declined };
    End end = End::Cancelled;
    QString failureText;                 // the description shown after text 1018
    QString declinedReason;              // why the question was asked, when Declined
    std::optional<DeviceReport> device;  // what the application reported, if it was asked
    std::optional<IdentifyOutcome> outcome;
    bool loaderEntrySent = false;
    int64_t linesWritten = 0;                  // region lines the board took
    int64_t linesVerified = 0;                 // region lines written and verified
    std::optional<RunFailureDetails> failure;  // set when the run failed
    bool boardTouched = false;                 // the first erase packet was sent
    QString incompleteLog;  // with "/LOG": the log file that misses lines, if any
};

// The run log's first line of a run and its ending lines.
QString runBeginLogText(int32_t port, const PackageSession& session);
QString runEndLogText(const RunReport& report, bool stopped);

// Runs the whole update on the calling (user-interface) thread. Everything the
// person sees goes through frontend; the report is for front ends that print.
RunReport RunDownload(PackageSession& session, Frontend& frontend, RunClock& clock);

}  // namespace dwnfrw
