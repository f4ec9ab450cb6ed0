// The simulated chip with its serial line: gpsim's core in this process, the
// bench processor, the UART bridge on RC6/RC7 and the pseudo-terminal link.
// Memory goes in and out as a vboard::PicMemory, so images, dumps and state
// files have the virtual board's layout.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "tools/chipboard/pty_link.h"
#include "tools/vboard/pic_memory.h"

namespace chipbench {

class BenchPic18F452;
class UartBridge;

struct ChipOptions {
    double clockHz = 10e6;  // the crystal; the chip runs an instruction every 4 clocks
    LinkOptions link;
    // Where gpsim's standard output goes (a file), trimmed now and then: gpsim
    // writes a screenful at every reset. -1: not ours to trim.
    int chatterFd = -1;
};

enum class RunEnd {
    Stopped,  // the stop descriptor became readable
    Halted,   // the simulation stopped by itself (a breakpoint, a fault of the firmware)
};

class ChipBench {
  public:
    explicit ChipBench(ChipOptions options);
    ~ChipBench();
    ChipBench(const ChipBench&) = delete;
    ChipBench& operator=(const ChipBench&) = delete;

    // Starts gpsim's core with the chip and the bridge. One bench a process:
    // the simulator's state is global.
    bool create(QString* error);
    // Puts the whole memory into the chip (configuration included) and resets it.
    void loadMemory(const vboard::PicMemory& memory);
    // Copies the chip's whole memory out.
    void readMemory(vboard::PicMemory& memory);

    // Serves the chip's USART on master from now on: a host that opens
    // devicePath after this is seen. Call before telling anyone the path.
    void serve(int master, const char* devicePath, int stopFd, LineFilter* filter);
    // Runs the chip until stopFd is readable or the simulation halts by itself.
    RunEnd run();

    LinkCounters linkCounters() const;
    uint64_t cycles() const;
    uint32_t programCounter() const;
    uint64_t framingErrors() const;
    uint64_t resets() const;  // other than power-on
    uint64_t protectedWrites() const;

  private:
    void trimChatter();

    ChipOptions options_;
    BenchPic18F452* chip_ = nullptr;
    UartBridge* bridge_ = nullptr;
    std::unique_ptr<PtyLink> link_;
};

}  // namespace chipbench
