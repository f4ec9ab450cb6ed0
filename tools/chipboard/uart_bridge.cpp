#include "tools/chipboard/uart_bridge.h"

#include <gpsim/gpsim_time.h>
#include <gpsim/processor.h>
#include <gpsim/stimuli.h>

#include <cmath>

namespace chipbench {

namespace {

// The chip's USART pins on the 40-pin package.
constexpr unsigned kChipTxPin = 25;  // RC6/TX/CK
constexpr unsigned kChipRxPin = 26;  // RC7/RX/DT

constexpr int kStartBit = 0;
constexpr int kStopBit = 9;

// A pin that tells the bridge each level the chip puts on it. Its own weak
// pull-up keeps the line idle (high) while the chip's pin is an input, as the
// line driver on a board does.
class ListeningPin : public IOPIN {
  public:
    ListeningPin(const char* name, UartBridge& bridge) : IOPIN(name, 5.0, 10e3), bridge_(bridge) {}
    void setDrivenState(bool state) override {
        IOPIN::setDrivenState(state);
        bridge_.lineFromChip(state);
    }

  private:
    UartBridge& bridge_;
};

}  // namespace

class UartBridge::Timer : public TriggerObject {
  public:
    explicit Timer(std::function<void()> step) : step_(std::move(step)) {}
    void callback() override { step_(); }
    void callback_print() override {}

  private:
    std::function<void()> step_;
};

UartBridge::UartBridge(const char* name, double baud)
    : Module(name, "8N1 UART bridge"), baud_(baud) {
    txTimer_ = new Timer([this] { txStep(); });
    rxTimer_ = new Timer([this] { rxStep(); });
}

UartBridge::~UartBridge() {
    get_cycles().clear_break(txTimer_);
    get_cycles().clear_break(rxTimer_);
    delete txTimer_;
    delete rxTimer_;
}

bool UartBridge::wireTo(Processor* cpu, std::string* error) {
    IOPIN* chipTx = cpu ? cpu->get_pin(kChipTxPin) : nullptr;
    IOPIN* chipRx = cpu ? cpu->get_pin(kChipRxPin) : nullptr;
    if (!chipTx || !chipRx) {
        if (error)
            *error = "the processor has no RC6/RC7 pins at 25/26";
        return false;
    }
    const std::string base = name();
    txPin_ = new IO_bi_directional((base + ".tx").c_str());
    txPin_->update_direction(1, true);
    txPin_->putState(true);
    rxPin_ = new ListeningPin((base + ".rx").c_str(), *this);
    create_pkg(2);
    assign_pin(1, txPin_);
    assign_pin(2, rxPin_);

    txNode_ = new Stimulus_Node((base + "_to_chip").c_str());
    txNode_->attach_stimulus(txPin_);
    txNode_->attach_stimulus(chipRx);
    rxNode_ = new Stimulus_Node((base + "_from_chip").c_str());
    rxNode_->attach_stimulus(chipTx);
    rxNode_->attach_stimulus(rxPin_);
    txNode_->update();
    rxNode_->update();
    rxLevel_ = true;
    return true;
}

double UartBridge::cyclesPerBit() const {
    return 1.0 / (get_cycles().seconds_per_cycle() * baud_);
}

// Bit edges are placed from the frame's start, so the fractional part of a
// bit's length never accumulates.
uint64_t UartBridge::bitEdge(uint64_t start, int bit) const {
    return start + uint64_t(std::llround(bit * cyclesPerBit()));
}

void UartBridge::send(uint8_t byte) {
    toChip_.push_back(byte);
    if (txBit_ < 0 && txPin_)
        txStep();
}

void UartBridge::forgetPending() {
    toChip_.clear();
}

// One bit towards the chip: start bit, eight data bits LSB first, stop bit.
void UartBridge::txStep() {
    if (txBit_ < 0) {
        if (toChip_.empty())
            return;
        txShift_ = toChip_.front();
        toChip_.pop_front();
        txStart_ = get_cycles().get();
        txBit_ = kStartBit;
        txPin_->putState(false);
    } else if (txBit_ < kStopBit) {
        ++txBit_;
        txPin_->putState(txBit_ == kStopBit ? true : ((txShift_ >> (txBit_ - 1)) & 1) != 0);
    } else {
        // The stop bit is over: the next byte's start bit follows at once.
        txBit_ = -1;
        if (toChip_.empty())
            return;
        txStep();
        return;
    }
    get_cycles().set_break(bitEdge(txStart_, txBit_ + 1), txTimer_);
}

void UartBridge::lineFromChip(bool level) {
    const bool falling = rxLevel_ && !level;
    rxLevel_ = level;
    if (!falling || rxBit_ >= 0)
        return;
    // A start bit: sample it and the following bits in their middles.
    rxStart_ = get_cycles().get();
    rxBit_ = kStartBit;
    rxShift_ = 0;
    get_cycles().set_break(rxStart_ + uint64_t(std::llround(cyclesPerBit() / 2)), rxTimer_);
}

void UartBridge::rxStep() {
    const bool level = rxLevel_;
    if (rxBit_ == kStartBit && level) {
        rxBit_ = -1;  // a glitch, not a start bit
        return;
    }
    if (rxBit_ > kStartBit && rxBit_ < kStopBit)
        rxShift_ = uint8_t(rxShift_ | (level ? 1u << (rxBit_ - 1) : 0u));
    if (rxBit_ == kStopBit) {
        rxBit_ = -1;
        if (!level) {
            ++framingErrors_;
            return;
        }
        if (onByte)
            onByte(rxShift_);
        return;
    }
    ++rxBit_;
    const double middle = (rxBit_ + 0.5) * cyclesPerBit();
    get_cycles().set_break(rxStart_ + uint64_t(std::llround(middle)), rxTimer_);
}

}  // namespace chipbench
