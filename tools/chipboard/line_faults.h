// The virtual board's line faults on the chip bench: damaged bytes in both
// directions, and lost request frames (the request never reaches the chip) or
// lost answers (the chip executed the request; its answer goes nowhere), from
// one seeded generator so a run replays.
#pragma once

#include <QByteArray>

#include "tools/chipboard/pty_link.h"
#include "tools/vboard/board.h"

namespace chipbench {

class LineFaults : public LineFilter {
  public:
    LineFaults(double corruptRate, double dropRate, uint32_t seed);

    void fromHost(uint8_t byte, std::vector<uint8_t>& out) override;
    bool fromChip(uint8_t& byte) override;
    void hostGone() override;

    const vboard::Counters& counters() const { return counters_; }

  private:
    void frameByte(uint8_t byte, std::vector<uint8_t>& out);
    void release(std::vector<uint8_t>& out);

    vboard::FaultInjector faults_;
    bool framing_;  // only a bench that drops frames holds frames back
    vboard::Counters counters_;
    QByteArray frame_;      // a request frame being taken in
    int answerToLose_ = 0;  // bytes of the next answer to swallow
    int swallowing_ = 0;    // bytes of the current answer still to swallow
};

}  // namespace chipbench
