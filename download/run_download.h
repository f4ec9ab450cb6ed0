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

struct RunReport {
    enum class End { Cancelled, Succeeded, Failed };
    End end = End::Cancelled;
    QString failureText;                 // the description shown after text 1018
    std::optional<DeviceReport> device;  // what the application reported, if it was asked
    std::optional<IdentifyOutcome> outcome;
    bool loaderEntrySent = false;
    bool boardTouched = false;  // the first erase packet was sent
    QString incompleteLog;      // with "/LOG": the log file that misses lines, if any
};

// Runs the whole update on the calling (user-interface) thread. Everything the
// person sees goes through frontend; the report is for front ends that print.
RunReport RunDownload(PackageSession& session, Frontend& frontend, RunClock& clock);

}  // namespace dwnfrw
