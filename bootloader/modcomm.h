// ModComm: the bootloader settings and the one connection to the board's
// bootloader, the HEX split into region files, and the erase, write and verify
// passes. Every operation returns a Boolean and hands its failure text back.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <string_view>

#include "bootloader/modpic.h"
#include "startup/frontend.h"

namespace dwnfrw {

// The region files in TempFolder, one per memory region, in the split's order.
// Configuration is split but never written to the board.
enum RegionIndex { kProgMemRegion, kEeDataRegion, kUserIdRegion, kConfigRegion, kRegionCount };
inline constexpr const char* kRegionFileNames[kRegionCount] = {"progmem", "eedata", "userid",
                                                               "config"};

// What the split made of one region: the file, whether it holds lines, how
// many, and the digest of its bytes. The run writes only what this says.
struct RegionRecord {
    QString path;
    bool made = false;
    int64_t lines = 0;
    QByteArray digest;
};
using RegionRecords = std::array<RegionRecord, kRegionCount>;

struct BootloaderSettings {
    int32_t Handle = 0;  // from OpenPIC; 0 at start, -1 after a close
    QString PortName;    // "COM" + number
    QString PortLabel;   // what the person called the port, when not PortName (a device path)
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
    RegionRecords regions;  // of the last split; none made before one succeeds
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
// silent, when given, tells whether the failure was a bootloader that did not
// answer (the port opened; the version query had no answer).
bool ConnectBootloader(int32_t port, QString& message, bool* silent = nullptr);
// False when the library refused to close the connection, or when the board
// did not take the request to start the application that a verified image
// sends (message, when given, then says why).
bool DisconnectBootloader(QString* message = nullptr);
// The port as texts name it: PortLabel when set, else "COM<port>" (port 0:
// the connection's own port).
QString portLabel(int32_t port = 0);
bool ReadBootloaderVersion(uint8_t& first, uint8_t& second);
QString ReadDeviceNumber();
// The cause of a failed bootloader library call, in the session's language.
QString bootloaderResultCause(int result);

// --- Intel HEX and region files ---
bool ValidateHexFile(const QString& hexPath, QString& message);
// Writes the region files and records each in bootloaderSettings().regions.
// Every write, flush, close and commit counts: a failure (a full disk, ...)
// ends the split with the file and the cause, and removes every region file
// it made, so nothing cut short is left for a run.
bool SplitHexFile(const QString& hexPath, QString& message);
// Merges the lines of one address; with record, notes the lines and digest
// of what it wrote.
bool MergeRegionFile(const QString& regionPath, QString& message, RegionRecord* record = nullptr);
// Deletes the region files and forgets what the split recorded of them.
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
    int64_t linesWritten = 0;   // region lines the board took, verified or not
    int64_t eraseAddress = 0;   // the row the erase was at last
};

// Results of EraseRange besides 1 (erased) and the negative results of SendGetPacket.
inline constexpr int16_t kEraseStopped = -100;  // the stop command was given
inline constexpr int16_t kEraseNoStep = -101;   // the profile's eraseblock is 0

bool EraseDevice(PassContext& ctx, bool programMemory, bool userIdRange, QString& message);
int16_t EraseRange(PassContext& ctx, int32_t low, int32_t high);
// A region as the run writes it: the bytes of its file, read once.
struct RegionImage {
    QString path;  // named in the texts
    bool present = false;
    QByteArray text;
};
// The regions the write passes write: program memory, EEPROM, user ID.
using RegionImages = std::array<RegionImage, kConfigRegion>;

// Reads each region file the split made, once, and checks it against the
// split's record (line count and digest) and every line's form, before
// anything is erased. A made region that is missing or changed, a file where
// the split made none, or a line that is not a whole region line fails with
// the file named. Nothing reaches the board.
bool ReadPlannedRegions(RegionImages& images, QString& message);

// The write passes of the regions present, from the copies read before.
bool DownloadRegions(PassContext& ctx, const RegionImages& images, QString& message);
bool WriteRegionLines(PassContext& ctx, uint8_t blockSize, uint8_t bytesPerAddr,
                      uint8_t writeCommand, const RegionImage& region, QString& message);

// Reads one region line: the address, a space, then 16 bytes of two
// hexadecimal digits each followed by a space. False for anything else, a
// line cut short included: its missing bytes are never made up.
bool ParseRegionLine(std::string_view line, uint32_t& address,
                     std::array<uint8_t, kRegionLineDataBytes>& bytes);

}  // namespace dwnfrw
