// The memory of a PIC18F452 as its resident bootloader sees it: flash that a
// write can only clear bits of, erased in rows; a write-protected boot block;
// EEPROM written byte by byte; read-only configuration and device ID.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

#include "tools/chipfacts/pic18f452_facts.h"

namespace vboard {

enum class RegionKind {
    Flash,     // erased in rows to 0xFF; a write can only clear bits
    Config,    // readable; the bootloader refuses to write it
    ReadOnly,  // the device ID
};

struct RegionSpec {
    const char* name;
    uint32_t first;  // byte address in program space
    uint32_t last;
    RegionKind kind;
    uint32_t eraseBytes;  // the part of the region one erase clears
};

// Outcome of a memory operation, in the bootloader's terms.
enum class MemoryResult { Ok, Refused, Misaligned };

struct DeviceLayout {
    std::vector<RegionSpec> regions;  // program space
    uint32_t eepromBytes;
    uint32_t bootBlockEnd;  // erases and writes below it change nothing
    uint32_t writeBlockBytes;
    std::vector<uint8_t> initialConfig;  // contents of the Config region
    std::vector<uint8_t> deviceId;       // contents of the ReadOnly region
};

const DeviceLayout& pic18f452Layout();

// What program memory, EEPROM and user ID hold when the board starts.
enum class StartContents {
    PreviousFirmware,  // a deterministic pattern, so a skipped erase or row shows
    Blank,             // all 0xFF, as a new device
};

// Where a firmware lives: the flash regions above the boot block (which holds
// the bootloader) and the EEPROM (at kEepromHexBase), as base address and size.
struct FirmwareArea {
    uint32_t base;
    int bytes;
};
std::vector<FirmwareArea> firmwareAreas(const DeviceLayout& layout = pic18f452Layout());

// The byte a board with a previous firmware holds at an address (program space;
// EEPROM at kEepromHexBase + offset).
uint8_t previousFirmwareByte(uint32_t address);

class PicMemory {
  public:
    explicit PicMemory(const DeviceLayout& layout = pic18f452Layout(),
                       StartContents contents = StartContents::PreviousFirmware);

    // The bootloader's operations, with the device's rules.
    MemoryResult readProgram(uint32_t address, int count, QByteArray& out) const;
    MemoryResult writeProgram(uint32_t address, const QByteArray& data);
    MemoryResult eraseRow(uint32_t address);
    MemoryResult readEeprom(uint32_t address, int count, QByteArray& out) const;
    MemoryResult writeEeprom(uint32_t address, const QByteArray& data);

    // Direct access without the device's rules (initial contents, tests).
    // Program-space addresses; EEPROM at kEepromHexBase + offset.
    bool load(uint32_t address, const QByteArray& data);
    QByteArray peek(uint32_t address, int count) const;

    const DeviceLayout& layout() const { return layout_; }

    // Writes and erases aimed at the write-protected boot block: a careful
    // host never sends one.
    uint64_t bootBlockFaults() const { return bootBlockFaults_; }

    // Every area with its base address as an Intel HEX image places it.
    struct Area {
        uint32_t base;
        const QByteArray* bytes;
    };
    std::vector<Area> areas() const;

  private:
    struct Region {
        RegionSpec spec;
        QByteArray bytes;
    };
    const Region* regionOf(uint32_t address, int count) const;
    Region* regionOf(uint32_t address, int count);

    const DeviceLayout& layout_;
    std::vector<Region> regions_;
    QByteArray eeprom_;
    uint64_t bootBlockFaults_ = 0;
};

// Where the EEPROM stands in an Intel HEX image of a PIC18.
inline constexpr uint32_t kEepromHexBase = chipfacts::kEepromHexBase;

}  // namespace vboard
