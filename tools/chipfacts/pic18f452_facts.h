// The PIC18F452's facts, in one place for everything that models or checks
// the chip: the virtual board, the simulated chip's adapter and the tests.
// Addresses are byte addresses in program space, as table reads see them;
// the EEPROM stands at kEepromHexBase in an Intel HEX image.
#pragma once

#include <cstdint>

namespace chipfacts {

// Program memory: 32 KiB of flash, erased in 64-byte rows and written in
// 8-byte blocks through the table-write latches.
inline constexpr uint32_t kProgramBytes = 0x8000;
inline constexpr uint32_t kEraseRowBytes = 64;
inline constexpr uint32_t kWriteBlockBytes = 8;

// The bootloader's boot block, write-protected by CONFIG6H WRTB.
inline constexpr uint32_t kBootBlockEnd = 0x000200;

// User ID: eight bytes, erased and written like program memory.
inline constexpr uint32_t kUserIdFirst = 0x200000;
inline constexpr uint32_t kUserIdBytes = 8;

// Configuration: CONFIG1L (300000) to CONFIG7H (30000D), and the values an
// unprogrammed chip holds.
inline constexpr uint32_t kConfigFirst = 0x300000;
inline constexpr uint32_t kConfigBytes = 14;
inline constexpr uint8_t kConfigDefaults[kConfigBytes] = {0xFF, 0x27, 0x0F, 0x0F, 0xFF, 0x01, 0x85,
                                                          0xFF, 0x0F, 0xC0, 0x0F, 0xE0, 0x0F, 0x40};

// What a bootloader serves of the user ID and the configuration: the updater
// reads and writes each as one 16-byte line. Past the chip's own bytes the
// window holds nothing (0xFF).
inline constexpr uint32_t kUserIdWindowBytes = 16;
inline constexpr uint32_t kConfigWindowBytes = 16;

// Device ID: DEVID1 then DEVID2. The device number a program reads is
// (DEVID2 * 256 + DEVID1) / 32 = 33 (DEV bits 0000 0100 001); the low five
// bits are the silicon revision.
inline constexpr uint32_t kDeviceIdAddress = 0x3FFFFE;
inline constexpr uint8_t kDeviceId[2] = {0x26, 0x04};
inline constexpr int kDeviceNumber = 33;

// Data EEPROM: 256 bytes, written a byte at a time.
inline constexpr uint32_t kEepromBytes = 256;
inline constexpr uint32_t kEepromHexBase = 0xF00000;

// Write protection of program memory: each block is protected while its
// configuration bit is 0.
struct ProtectedBlock {
    uint32_t first;
    uint32_t end;  // one past the last byte
    uint32_t configOffset;
    uint8_t bit;
};
inline constexpr ProtectedBlock kWriteProtection[] = {
    {0x000000, kBootBlockEnd, 0x0B, 0x40},  // CONFIG6H WRTB: boot block
    {kBootBlockEnd, 0x002000, 0x0A, 0x01},  // CONFIG6L WRT0
    {0x002000, 0x004000, 0x0A, 0x02},       // CONFIG6L WRT1
    {0x004000, 0x006000, 0x0A, 0x04},       // CONFIG6L WRT2
    {0x006000, 0x008000, 0x0A, 0x08},       // CONFIG6L WRT3
};

// Self-timed operations: a flash erase or write stalls the CPU about 2 ms,
// an EEPROM write runs about 4 ms beside it.
inline constexpr double kFlashWriteSeconds = 0.002;
inline constexpr double kEepromWriteSeconds = 0.004;

// The board's serial line: 9600 baud 8N1.
inline constexpr double kBaud = 9600.0;

}  // namespace chipfacts
