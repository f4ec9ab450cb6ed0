// The run's overall progress: one calculation of phase, percent and time left
// for every front end, fed by the numbers the run and its passes report.
#pragma once

#include <QElapsedTimer>
#include <array>
#include <cstdint>

#include "startup/frontend.h"

namespace dwnfrw {

// What a run will do: the erase ranges and the region files' lines.
struct RunPlan {
    std::array<int64_t, 2> eraseBytes{};    // program memory, user ID
    std::array<int64_t, 2> erasePackets{};  // one per erase block
    std::array<int64_t, 3> lines{};         // progmem, eedata, userid
};

// The plan of the next run: the device profile and the region files now in
// the temporary folder.
RunPlan planRun();

class OverallProgressCalculation {
  public:
    explicit OverallProgressCalculation(const RunPlan& plan);

    // A step reported nowMs milliseconds after the run started.
    OverallProgress step(const PassStep& step, int64_t nowMs);

    const PassStep& lastStep() const { return last_; }
    int64_t linesVerified() const { return linesBefore_ + linesInPass_; }

  private:
    double workBefore(RunPhase phase) const;
    double workOf(RunPhase phase, int64_t done) const;

    RunPlan plan_;
    PassStep last_;
    int64_t linesBefore_ = 0;  // lines of the finished write passes
    int64_t linesInPass_ = 0;
    double measuredFromWork_ = -1;  // the work done when the rate's measurement began
    int64_t measuredFromMs_ = 0;
};

// Stands between the run and its front end: passes everything on and turns the
// reported steps into the overall progress the front end shows.
class RunProgress : public ProgressView {
  public:
    RunProgress(ProgressView& shown, const RunPlan& plan) : shown_(shown), calculation_(plan) {
        clock_.start();
    }

    void setOperationText(const QString& text) override { shown_.setOperationText(text); }
    void setPercentText(const QString& text) override { shown_.setPercentText(text); }
    void setPercentVisible(bool visible) override { shown_.setPercentVisible(visible); }
    void setBarVisible(bool visible) override { shown_.setBarVisible(visible); }
    void setBarMaximum(int maximum) override { shown_.setBarMaximum(maximum); }
    void setBarValue(int value) override { shown_.setBarValue(value); }
    void setPassStep(const PassStep& step) override;

    const OverallProgressCalculation& calculation() const { return calculation_; }

  private:
    ProgressView& shown_;
    OverallProgressCalculation calculation_;
    QElapsedTimer clock_;
};

}  // namespace dwnfrw
