// The PIC18F452 of the stock simulator, mended where it differs from the
// chip: flash that erases to 0xFF in 64-byte rows and that a write can only
// clear bits of, a boot block the configuration write-protects, the real
// device ID, EEPROM writes that take milliseconds, and configuration taken
// from the image. docs/chip-bench.md lists each change and why.
#pragma once

#include <gpsim/p18x.h>

#include <cstdint>
#include <vector>

namespace chipbench {

class BenchPic18F452 : public P18F452 {
  public:
    // The name the processor is registered under ("processor p18f452bench").
    static constexpr const char* kTypeName = "p18f452bench";

    explicit BenchPic18F452(const char* name = nullptr);
    static Processor* construct(const char* name);
    void create();

    unsigned int get_device_id() override;

    // The chip's whole memory, byte by byte, as a programmer sees it:
    // program memory, user ID, configuration, EEPROM (offsets 0-255).
    uint8_t programByte(uint32_t address);
    // Replacing a program word is slow in the simulator (it decodes the
    // instruction again): words are written whole, and only when they change.
    void setProgramWord(uint32_t address, uint16_t word);
    uint8_t userIdByte(int offset);
    void setUserIdByte(int offset, uint8_t value);
    uint8_t configByte(int offset);
    void setConfigByte(int offset, uint8_t value);
    uint8_t eepromByte(int offset);
    void setEepromByte(int offset, uint8_t value);
};

// Registers the processor with the simulator; safe to call more than once.
void registerBenchProcessor();

}  // namespace chipbench
