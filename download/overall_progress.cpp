#include "download/overall_progress.h"

#include <QFile>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "bootloader/modcomm.h"
#include "bootloader/text_lines.h"
#include "components/nxpicboot/nxpic_wire.h"

namespace dwnfrw {

namespace {

// Expected milliseconds of each kind of work with the board at 9600 baud; only
// their proportions matter, the time left comes from the measured rate. The
// passes' exchanges are counted in the bootloader library's own frames: an
// erase packet is one erase exchange, a line one write and one verify.
constexpr double kByteMs = 10 * 1000.0 / 9600;  // 8N1
constexpr double kErasePacketMs = nxpic::wire::kEraseRowExchangeBytes * kByteMs;
constexpr double kLineMs =
    (nxpic::wire::writeExchangeBytes(kRegionLineDataBytes) + nxpic::wire::kVerifyExchangeBytes) *
    kByteMs;
constexpr double kIdentifyingMs = 1500;
constexpr double kEnteringLoaderMs = 1200;  // the command's hold and the one-second pause
constexpr double kConnectingMs = 300;
constexpr double kDisconnectingMs = 1000;  // the pause after the connection closes

// The rate is trusted once the erase and write work has run this long.
constexpr int64_t kRateSettleMs = 1500;

constexpr RunPhase kPhases[] = {
    RunPhase::Identifying,    RunPhase::EnteringLoader, RunPhase::Connecting,
    RunPhase::ErasingProgram, RunPhase::ErasingUserId,  RunPhase::WritingProgram,
    RunPhase::WritingEeprom,  RunPhase::WritingUserId,  RunPhase::Disconnecting,
};

int eraseIndex(RunPhase phase) {
    return phase == RunPhase::ErasingProgram ? 0 : phase == RunPhase::ErasingUserId ? 1 : -1;
}

int writeIndex(RunPhase phase) {
    switch (phase) {
        case RunPhase::WritingProgram:
            return 0;
        case RunPhase::WritingEeprom:
            return 1;
        case RunPhase::WritingUserId:
            return 2;
        default:
            return -1;
    }
}

int64_t regionLines(RegionIndex region) {
    QFile file(regionFilePath(region));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    FileLineReader reader(file);
    std::string_view line;
    int64_t lines = 0;
    while (reader.read(line))
        ++lines;
    return lines;
}

}  // namespace

RunPlan planRun() {
    RunPlan plan;
    // The connection loads the profile only once the board answers; the plan
    // reads the same one ahead of it.
    PicProfile profile;
    QString unused;
    if (!LoadPicProfile(profile, unused))
        profile = builtInPicProfile();
    const std::pair<int64_t, int64_t> ranges[] = {{profile.pmrangelow, profile.pmrangehigh},
                                                  {profile.usrrangelow, profile.usrrangehigh}};
    for (size_t i = 0; i < plan.eraseBytes.size(); ++i) {
        const auto [low, high] = ranges[i];
        if (profile.eraseblock == 0 || high < low)
            continue;
        plan.eraseBytes[i] = high - low + 1;
        plan.erasePackets[i] = (high - low) / profile.eraseblock + 1;
    }
    // The written regions lead the region table, in the order of the passes.
    for (size_t i = 0; i < plan.lines.size(); ++i)
        plan.lines[i] = regionLines(static_cast<RegionIndex>(i));
    return plan;
}

OverallProgressCalculation::OverallProgressCalculation(const RunPlan& plan) : plan_(plan) {}

// A done of -1 stands for the whole phase.
double OverallProgressCalculation::workOf(RunPhase phase, int64_t done) const {
    if (const int i = eraseIndex(phase); i >= 0) {
        const double whole = plan_.erasePackets[size_t(i)] * kErasePacketMs;
        if (done < 0)
            return whole;
        if (plan_.eraseBytes[size_t(i)] <= 0)
            return 0;
        return whole * std::clamp<double>(double(done) / plan_.eraseBytes[size_t(i)], 0, 1);
    }
    if (const int i = writeIndex(phase); i >= 0) {
        const int64_t lines = plan_.lines[size_t(i)];
        return kLineMs * std::clamp<int64_t>(done < 0 ? lines : done, 0, lines);
    }
    const double whole = phase == RunPhase::Identifying      ? kIdentifyingMs
                         : phase == RunPhase::EnteringLoader ? kEnteringLoaderMs
                         : phase == RunPhase::Connecting     ? kConnectingMs
                                                             : kDisconnectingMs;
    return done != 0 ? whole : 0;
}

double OverallProgressCalculation::workBefore(RunPhase phase) const {
    double work = 0;
    for (RunPhase earlier : kPhases) {
        if (earlier == phase)
            break;
        work += workOf(earlier, -1);
    }
    return work;
}

OverallProgress OverallProgressCalculation::step(const PassStep& step, int64_t nowMs) {
    if (const int i = writeIndex(step.phase); i >= 0) {
        if (step.phase != last_.phase) {
            linesBefore_ = 0;
            for (int j = 0; j < i; ++j)
                linesBefore_ += plan_.lines[size_t(j)];
        }
        linesInPass_ = std::max<int64_t>(0, step.done);
    }
    last_ = step;

    const double total = workBefore(RunPhase::Disconnecting) + kDisconnectingMs;
    const double done = workBefore(step.phase) + workOf(step.phase, step.done);
    OverallProgress overall;
    overall.phase = step.phase;
    overall.percent = static_cast<int>(std::floor(100 * std::clamp(done / total, 0.0, 1.0)));
    overall.linesVerified = linesVerified();

    // The identification and the loader's entry wait on the board, not on the
    // line: the rate is measured from the first erase packet on.
    const bool lineWork = step.phase >= RunPhase::ErasingProgram;
    if (lineWork && measuredFromWork_ < 0) {
        measuredFromWork_ = done;
        measuredFromMs_ = nowMs;
    }
    const int64_t measuredMs = nowMs - measuredFromMs_;
    const double measuredWork = done - measuredFromWork_;
    if (lineWork && measuredMs >= kRateSettleMs && measuredWork > 0) {
        const double msPerWork = measuredMs / measuredWork;
        overall.secondsLeft = static_cast<int>(std::ceil((total - done) * msPerWork / 1000));
    }
    return overall;
}

void RunProgress::setPassStep(const PassStep& step) {
    shown_.setOverallProgress(calculation_.step(step, clock_.elapsed()));
}

}  // namespace dwnfrw
