// Device identification: asks the board's application who it is and judges
// the loaded package against the answer.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

#include "package/package_session.h"
#include "startup/frontend.h"
#include "startup/globals.h"

namespace dwnfrw {

enum IdentifyOutcome : int32_t {
    Proceed = -1,   // the package may be written
    NoVersion = 0,  // the link opened but the version could not be read
    Refused = 1,    // no link, or a board of the other brand
    AskUser = 2,    // the package is older than the board's firmware
};

// Controllers of the second brand report this brand code.
inline constexpr int32_t kSecondBrandCode = 20;

// What the link component reported.
struct DeviceReport {
    int32_t DeviceVerFW = 0;
    int32_t DeviceBuildFW = 0;
    int32_t DeviceBrand = 0;
    int32_t LinkError = 0;
};

// The rules after a successful ReadVersion: link error, the check options,
// brand, then version (the minor number takes no part). message is set for
// every outcome but Proceed.
IdentifyOutcome judgeDevice(const DeviceReport& report, const PackageSession& package,
                            const GlobalSettings& settings, QString& message);

// The versions as the person reads them: the board's "5.0.2" (it reports no
// minor number), the package's "4.1.7".
QString deviceVersionText(const DeviceReport& report);
QString packageVersionText(const PackageSession& package);

// The whole identification over the link component on port. Failures of the
// component or of the run log raise RunTimeError.
// reported, when given, receives what the component read. stopCheck, when
// given, is asked while the board is awaited: true ends the identification at
// once (the caller then asks stopCheck itself and ends the run).
IdentifyOutcome IdentifyDevice(int32_t& port, QString& message, const PackageSession& package,
                               ProgressView& progress,
                               std::optional<DeviceReport>* reported = nullptr,
                               const std::function<bool()>& stopCheck = {});

}  // namespace dwnfrw
