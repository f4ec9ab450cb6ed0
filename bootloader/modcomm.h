// ModComm: the bootloader settings and the one connection to the board's
// bootloader, the HEX split into region files, and the erase, write and verify
// passes. Every operation returns a Boolean and hands its failure text back.
#pragma once

#include <QString>
#include <cstdint>

#include "bootloader/modpic.h"
#include "startup/frontend.h"

namespace dwnfrw {

struct BootloaderSettings {
    int32_t Handle = 0;  // from OpenPIC; 0 at start, -1 after a close
    QString PortName;    // "COM" + number
    int32_t BitRate = 0;
    int32_t ReadTimeout = 0;
    int16_t RetryCount = 0;
    uint8_t SkipDeviceCheck = 0;
    QString DeviceName;
    QString DeviceNumber;
    QString ProgMemPath;
    QString EeDataPath;
    QString UserIdPath;
    QString ConfigPath;
    PicProfile profile;
    // Set when DownloadRegions has written and verified every region over the
    // open connection; DisconnectBootloader then asks the board to start the
    // application. A failed or stopped run leaves it false: the board stays
    // in its bootloader.
    bool ImageVerified = false;
};

// The module's one set of settings, alive for the whole program.
BootloaderSettings& bootloaderSettings();
void resetBootloaderSettings();  // tests only

// --- Connection ---
bool InitBootloader(int32_t port, QString& message);
bool ConnectBootloader(int32_t port, QString& message);
bool DisconnectBootloader();
bool ReadBootloaderVersion(uint8_t& first, uint8_t& second);
QString ReadDeviceNumber();

// --- Intel HEX and region files ---
bool ValidateHexFile(const QString& hexPath, QString& message);
bool SplitHexFile(const QString& hexPath, QString& message);
bool MergeRegionFile(const QString& regionPath, QString& message);
void DeleteRegionFiles();
QString HexPad(int64_t value, int width);

// Judges whether the device can hold the image before anything is erased: at
// least one program-memory byte inside the profile's program range; no data
// outside the program range, the 256 bytes of EEPROM or the user-ID range
// (configuration data is allowed: it is split and never written); no
// extended segment address other than 0. The text names the HEX line and the
// first offending address. Reads only the file; nothing reaches the board.
bool CheckImageForDevice(const QString& hexPath, const PicProfile& profile, QString& message);

// The file at path is a regular file (not a folder, device or pipe, which
// could block a reader or be no file at all); otherwise false with the text.
bool IsRegularFile(const QString& path, QString& message);

// The region files in TempFolder, one per memory region, in the split's order.
// Configuration is split but never written to the board.
enum RegionIndex { kProgMemRegion, kEeDataRegion, kUserIdRegion, kConfigRegion, kRegionCount };
inline constexpr const char* kRegionFileNames[kRegionCount] = {"progmem", "eedata", "userid",
                                                               "config"};
// The data bytes of one region line (one 16-byte group of the image).
inline constexpr int kRegionLineDataBytes = 16;

QString regionFilePath(RegionIndex region);
QString regionFilePath(const QString& name);  // a file in TempFolder by its name

// --- Erase, write and verify passes ---
// The passes show progress through `progress` and yield through `events`.
struct PassContext {
    ProgressView& progress;
    EventPump& events;
    // The phase the passes report their steps under; EraseDevice and
    // DownloadRegions set it for each range and region.
    RunPhase phase = RunPhase::ErasingProgram;
    bool boardTouched = false;  // the first erase packet was sent
    int64_t eraseAddress = 0;   // the row the erase was at last
};

// Results of EraseRange besides 1 (erased) and the negative results of SendGetPacket.
inline constexpr int16_t kEraseStopped = -100;  // the stop command was given
inline constexpr int16_t kEraseNoStep = -101;   // the profile's eraseblock is 0

bool EraseDevice(PassContext& ctx, bool programMemory, bool userIdRange, QString& message);
int16_t EraseRange(PassContext& ctx, int32_t low, int32_t high);
bool DownloadRegions(PassContext& ctx, QString& message);
bool WriteRegionFile(PassContext& ctx, uint8_t blockSize, uint8_t bytesPerAddr,
                     uint8_t writeCommand, const QString& regionPath, QString& message);

}  // namespace dwnfrw
