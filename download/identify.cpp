#include "download/identify.h"

#include <memory>

#include "ctrllink.h"
#include "startup/localtext.h"
#include "startup/runlog.h"

namespace dwnfrw {

namespace {

// Settings of the link as the application firmware expects them.
constexpr int32_t kLinkBaudRate = 9600;
constexpr int32_t kLinkSettingA = 10;  // answer time-out: 1 s
constexpr int32_t kLinkSettingB = 6;   // attempts

}  // namespace

IdentifyOutcome judgeDevice(const DeviceReport& report, const PackageSession& package,
                            const GlobalSettings& settings, QString& message) {
    if (report.LinkError != 0) {
        message = GetText(1094);
        return NoVersion;
    }
    if (settings.NoCheckPlus || settings.NoCheck)
        return Proceed;

    const bool secondBrandDevice = report.DeviceBrand == kSecondBrandCode;
    if (isSecondBrand(settings.Brand) ? !secondBrandDevice : secondBrandDevice) {
        message = GetText(1108);
        return Refused;
    }

    const bool older = report.DeviceVerFW > package.FwVersionMajor ||
                       (report.DeviceVerFW == package.FwVersionMajor &&
                        report.DeviceBuildFW > package.FwVersionBuild);
    if (!older)
        return Proceed;

    message = GetText(1098);
    message.replace(QLatin1String("%1"), deviceVersionText(report));
    message.replace(QLatin1String("%2"), packageVersionText(package));
    return AskUser;
}

QString deviceVersionText(const DeviceReport& report) {
    return QStringLiteral("%1.0.%2").arg(report.DeviceVerFW).arg(report.DeviceBuildFW);
}

QString packageVersionText(const PackageSession& package) {
    return QStringLiteral("%1.%2.%3")
        .arg(package.FwVersionMajor)
        .arg(package.FwVersionMinor)
        .arg(package.FwVersionBuild);
}

IdentifyOutcome IdentifyDevice(int32_t& port, QString& message, const PackageSession& package,
                               ProgressView& progress, std::optional<DeviceReport>* reported,
                               const std::function<bool()>& stopCheck) {
    progress.setOperationText(GetText(1007));

    auto DeviceLink = std::make_unique<ctrllink::CtrlLinkClient>();
    DeviceLink->PortNumber = port;
    DeviceLink->BaudRate = kLinkBaudRate;
    DeviceLink->SettingA = kLinkSettingA;
    DeviceLink->LinkLogging = globals().LogEnabled;
    DeviceLink->SettingB = kLinkSettingB;
    DeviceLink->logSink = [](const QString& line) { WriteLog(line); };
    DeviceLink->stopCheck = stopCheck;

    IdentifyOutcome outcome;
    if (!DeviceLink->Open()) {
        message = GetText(1093);
        outcome = Refused;
    } else {
        DeviceReport report;
        DeviceLink->ReadVersion(report.DeviceVerFW, report.DeviceBuildFW, report.DeviceBrand,
                                report.LinkError);
        WriteLog(QStringLiteral("RILEVATO VerFW:%1BuildFW:%2Brand:%3")
                     .arg(report.DeviceVerFW)
                     .arg(report.DeviceBuildFW)
                     .arg(report.DeviceBrand));
        if (reported != nullptr)
            *reported = report;
        outcome = judgeDevice(report, package, globals(), message);
    }
    bool closed = false;
    DeviceLink->Close(closed);
    DeviceLink.reset();
    return outcome;
}

}  // namespace dwnfrw
