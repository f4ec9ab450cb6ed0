// A UART on two pins of a simulated chip: it times 8N1 bits on the
// simulator's cycle counter, so the chip's own USART, its baud divisor and its
// bit timing are what a byte crosses. Bytes for the chip wait in a queue and go
// out one after the other; bytes the chip sends are handed to a callback.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include <gpsim/modules.h>
#include <gpsim/trigger.h>

class IOPIN;
class IO_bi_directional;
class Processor;
class Stimulus_Node;

namespace chipbench {

class UartBridge : public Module {
  public:
    explicit UartBridge(const char* name, double baud = 9600.0);
    ~UartBridge() override;

    // Wires the bridge to the chip's USART pins: the bridge listens on the
    // chip's TX (RC6) and drives the chip's RX (RC7).
    bool wireTo(Processor* cpu, std::string* error);

    // Queues a byte for the chip.
    void send(uint8_t byte);
    // Bytes queued or on the wire towards the chip.
    size_t pendingToChip() const { return toChip_.size() + (txBit_ >= 0 ? 1 : 0); }
    // Drops the bytes not yet started (the host went away).
    void forgetPending();

    // Called with each byte the chip sent, once its stop bit is sampled.
    std::function<void(uint8_t)> onByte;

    double baud() const { return baud_; }
    uint64_t framingErrors() const { return framingErrors_; }

    // Simulator side: the chip's TX line changed.
    void lineFromChip(bool level);

  private:
    class Timer;
    void txStep();
    void rxStep();
    uint64_t bitEdge(uint64_t start, int bit) const;
    double cyclesPerBit() const;

    double baud_;
    IO_bi_directional* txPin_ = nullptr;  // drives the chip's RX
    IOPIN* rxPin_ = nullptr;              // listens to the chip's TX
    Stimulus_Node* txNode_ = nullptr;
    Stimulus_Node* rxNode_ = nullptr;
    Timer* txTimer_ = nullptr;
    Timer* rxTimer_ = nullptr;

    std::deque<uint8_t> toChip_;
    int txBit_ = -1;  // bit on the wire towards the chip: 0 start, 1-8 data, 9 stop; -1 idle
    uint16_t txShift_ = 0;
    uint64_t txStart_ = 0;

    bool rxLevel_ = true;
    int rxBit_ = -1;  // bit being sampled from the chip; -1 idle
    uint8_t rxShift_ = 0;
    uint64_t rxStart_ = 0;
    uint64_t framingErrors_ = 0;
};

}  // namespace chipbench
