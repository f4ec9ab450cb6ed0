// The PIC18F452 of the stock simulator, mended where it differs from the
// chip: flash that erases to 0xFF in 64-byte rows and that a write can only
// clear bits of, write protection taken from the configuration, the real
// device ID, a CPU that stalls while flash is erased or written, EEPROM
// writes that take milliseconds, EECON1.WR that clears when a flash operation
// ends, and configuration taken from the image. docs/chip-bench.md lists each
// change and why.
#pragma once

#include <gpsim/p18x.h>

#include <array>
#include <cstdint>

namespace chipbench {

class BenchPic18F452 : public P18F452 {
  public:
    // The name the processor is registered under ("processor p18f452bench").
    static constexpr const char* kTypeName = "p18f452bench";

    explicit BenchPic18F452(const char* name = nullptr);
    ~BenchPic18F452() override;
    static Processor* construct(const char* name);
    void create();

    unsigned int get_device_id() override;
    unsigned int get_program_memory_at_address(unsigned int address) override;
    // Every flash erase and write of the stock simulator ends here, a word at
    // a time; the chip's rules are applied on the way.
    void init_program_memory(unsigned int address, unsigned int value) override;
    using pic_processor::init_program_memory;

    // The chip's whole memory as a programmer sees it, outside the chip's
    // rules: program memory, user ID, configuration, EEPROM (offsets 0-255).
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

    // gpsim halts the simulation at every reset (watchdog, RESET
    // instruction, stack overflow); the chip runs on. The bench counts them
    // and goes on.
    void reset(RESET_TYPE type) override;
    uint64_t resets() const { return resets_; }

    // Flash writes and erases the write protection refused.
    uint64_t protectedWrites() const { return protectedWrites_; }

    // Called by the EECON1 wrapper around each write of the register: the
    // stock simulator erases and writes flash inside it.
    void eecon1Writing(bool writing) { inFlashOperation_ = writing; }
    void eecon1Written(unsigned int before, unsigned int after);

  private:
    class Eecon1Watch;
    class Stall;
    bool writeProtected(uint32_t address) const;
    void applyConfigWord(int offset);

    std::array<uint8_t, 14> config_{};
    bool inFlashOperation_ = false;  // the firmware set EECON1.WR
    uint64_t flashWords_ = 0;
    uint64_t protectedWrites_ = 0;
    uint64_t resets_ = 0;
    Eecon1Watch* eecon1Watch_ = nullptr;
    Stall* stall_ = nullptr;
};

// Registers the processor with the simulator; safe to call more than once.
void registerBenchProcessor();

}  // namespace chipbench
