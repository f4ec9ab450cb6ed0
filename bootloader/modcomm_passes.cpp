// The erase, write and verify passes that program the board once a connection
// stands and the region files are ready.
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <climits>
#include <string_view>

#include "bootloader/modcomm.h"
#include "bootloader/text_lines.h"
#include "components/nxpicboot/nxpicboot.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runlog.h"
#include "startup/runtime_error.h"

namespace dwnfrw {

namespace {

constexpr int kStoppedText = 1005;
constexpr int kFlashPassText = 1099;
constexpr int kEepromPassText = 1100;
constexpr int kUserIdPassText = 1101;
constexpr int kLineText = 1102;
constexpr int kFlashEraseText = 1103;
constexpr int kUserIdEraseText = 1104;
constexpr int kWriteFailedText = 1106;
constexpr int kVerifyFailedText = 1107;
constexpr int kEraseFailedText = 1130;
constexpr int kWhereText = 1141;
constexpr int kRegionMissingText = 1157;
constexpr int kRegionLineText = 1158;
constexpr int kRegionChangedText = 1179;

constexpr uint8_t kEraseCommand = NXPIC_CMD_ERASE_PROGRAM;
constexpr uint8_t kEraseRowCount = 0x01;
constexpr int16_t kEraseSendBytes = 5;
constexpr int16_t kEraseReceiveLimit = 255;
constexpr int16_t kEraseRetries = 5;

// A region line: the address in six to eight digits, then byte i at three
// characters per byte after the space.
constexpr size_t kLineAddressMinChars = 6;
constexpr size_t kLineAddressMaxChars = 8;
constexpr size_t kLineByteStride = 3;
constexpr uint32_t kLineAddressMask = 0xFFFFFF;

struct WritePass {
    RunPhase phase;
    RegionIndex region;
    int operationText;
    const char* logLine;
    bool useWriteBlock;    // BlockSize: the profile's writeblock, or 1
    bool useBytesPerAddr;  // BytesPerAddr: the profile's bytesperaddr, or 1
    uint8_t writeCommand;
};

// The configuration region is split but never written: the board's
// configuration stays as the bootloader set it.
const WritePass kWritePasses[] = {
    {RunPhase::WritingProgram, kProgMemRegion, kFlashPassText, "Download flash", true, true,
     NXPIC_CMD_WRITE_PROGRAM},
    {RunPhase::WritingEeprom, kEeDataRegion, kEepromPassText, "Download eeprom", false, false,
     NXPIC_CMD_WRITE_EEPROM},
    {RunPhase::WritingUserId, kUserIdRegion, kUserIdPassText, "Download Userid", true, false,
     NXPIC_CMD_WRITE_PROGRAM},
};

// The text of a failed erase: 1005 for a stop the person asked for, else the
// port, the row and the cause.
QString eraseFailure(const PassContext& ctx, int16_t result) {
    if (result == kEraseStopped)
        return GetText(kStoppedText);
    return GetText(kEraseFailedText)
        .arg(portLabel(), HexPad(ctx.eraseAddress, 6), bootloaderResultCause(result));
}

// A failed write or read-back: its text followed by the port, line, address
// and cause.
QString lineFailure(int text, int lineNumber, uint32_t address, int result) {
    return GetText(text) + QLatin1Char(' ') +
           GetText(kWhereText)
               .arg(portLabel(), QString::number(lineNumber), HexPad(address, 6),
                    bootloaderResultCause(result));
}

int clampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX));
}

// Visits the lines of a region's text (CR LF, CR or LF ends) with their
// numbers from 1; stops when visit returns false.
template <typename Visit>
bool forEachLine(const QByteArray& text, Visit visit) {
    const std::string_view all(text.constData(), static_cast<size_t>(text.size()));
    size_t at = 0;
    int number = 0;
    while (at < all.size()) {
        size_t end = all.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = all.size();
        if (!visit(all.substr(at, end - at), ++number))
            return false;
        at = end;
        if (at < all.size() && all[at] == '\r')
            ++at;
        if (at < all.size() && all[at] == '\n')
            ++at;
    }
    return true;
}

// Reads the file of a region the split made, whole, and holds it against the
// split's record. False with the text.
bool readRegion(const RegionRecord& record, RegionImage& image, QString& message) {
    QFile file(record.path);
    if (!QFileInfo::exists(record.path)) {
        message = GetText(kRegionMissingText).arg(record.path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        message = QStringLiteral("Cannot open the region file \"%1\": %2")
                      .arg(record.path, file.errorString());
        return false;
    }
    image.text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        message = QStringLiteral("Cannot read the region file \"%1\": %2")
                      .arg(record.path, file.errorString());
        return false;
    }
    int64_t lines = 0;
    forEachLine(image.text, [&lines](std::string_view, int) {
        ++lines;
        return true;
    });
    if (lines != record.lines ||
        QCryptographicHash::hash(image.text, QCryptographicHash::Sha256) != record.digest) {
        message = GetText(kRegionChangedText).arg(record.path);
        return false;
    }
    uint32_t address = 0;
    std::array<uint8_t, kRegionLineDataBytes> bytes{};
    return forEachLine(image.text, [&](std::string_view line, int number) {
        if (ParseRegionLine(line, address, bytes))
            return true;
        message = GetText(kRegionLineText).arg(number).arg(record.path);
        return false;
    });
}

}  // namespace

bool EraseDevice(PassContext& ctx, bool programMemory, bool userIdRange, QString& message) {
    enterProgramFolder();
    bootloaderSettings().ImageVerified = false;
    const PicProfile& profile = bootloaderSettings().profile;
    if ((programMemory || userIdRange) && profile.eraseblock == 0) {
        // The erase walks the range in steps of eraseblock; a step of 0 would
        // never reach the end.
        message = QStringLiteral(
                      "Erase not started: the key \"eraseblock\" of section \"%1\" in the PIC "
                      "profile %2 is 0, so the erase could never advance")
                      .arg(bootloaderSettings().DeviceName, picProfilePath());
        return false;
    }
    try {
        if (programMemory) {
            ctx.progress.setOperationText(GetText(kFlashEraseText));
            WriteLog(QStringLiteral("Cancellazione flash"));
            ctx.events.processEvents();
            ctx.phase = RunPhase::ErasingProgram;
            const int16_t result = EraseRange(ctx, profile.pmrangelow, profile.pmrangehigh);
            if (result != 1) {
                message = eraseFailure(ctx, result);
                return false;
            }
        }
        if (userIdRange) {
            // The user-ID range is erased here; the EEPROM is never erased, the
            // eedata pass simply rewrites its bytes.
            ctx.progress.setOperationText(GetText(kUserIdEraseText));
            WriteLog(QStringLiteral("Cancellazione eeprom"));
            ctx.events.processEvents();
            ctx.phase = RunPhase::ErasingUserId;
            const int16_t result = EraseRange(ctx, profile.usrrangelow, profile.usrrangehigh);
            if (result != 1) {
                message = eraseFailure(ctx, result);
                return false;
            }
        }
    } catch (const RunTimeError& error) {
        message = error.description();
        return false;
    }
    return true;
}

int16_t EraseRange(PassContext& ctx, int32_t low, int32_t high) {
    enterProgramFolder();
    const BootloaderSettings& settings = bootloaderSettings();
    const int64_t step = settings.profile.eraseblock;
    const int barMaximum = clampToInt(int64_t{high} - low + 1);
    ctx.progress.setPercentVisible(true);
    ctx.progress.setBarMaximum(barMaximum);
    ctx.progress.setBarValue(0);
    ctx.progress.setBarVisible(true);
    if (step == 0)
        return kEraseNoStep;

    // Wide enough that the last step past a high of 0x7FFFFFFF ends the loop.
    for (int64_t address = low; address <= high; address += step) {
        ctx.events.processEvents();
        if (globals().StopRequested)
            return kEraseStopped;
        // Sized for the receive limit the erase packet asks for.
        std::array<uint8_t, kEraseReceiveLimit + 1> packet{};
        packet[0] = kEraseCommand;
        packet[1] = kEraseRowCount;
        packet[2] = static_cast<uint8_t>(address & 0xFF);
        packet[3] = static_cast<uint8_t>((address >> 8) & 0xFF);
        packet[4] = static_cast<uint8_t>((address >> 16) & 0xFF);
        ctx.eraseAddress = address;
        ctx.boardTouched = true;
        const int16_t result = SendGetPacket(settings.Handle, packet.data(), kEraseSendBytes,
                                             kEraseReceiveLimit, kEraseRetries);
        const int64_t erased = std::min(address + step - low, int64_t{high} - low + 1);
        ctx.progress.setPassStep(
            {ctx.phase, result < 0 ? address - low : erased, 0, address, result < 0 ? result : 0});
        if (result < 0)
            return result;
        ctx.progress.setBarValue(std::min(clampToInt(address + step - low), barMaximum));
    }
    return 1;
}

bool ParseRegionLine(std::string_view line, uint32_t& address,
                     std::array<uint8_t, kRegionLineDataBytes>& bytes) {
    size_t at = 0;
    uint32_t value = 0;
    while (at < line.size() && at < kLineAddressMaxChars && hexValue(line[at]) >= 0)
        value = value * 16 + static_cast<uint32_t>(hexValue(line[at++]));
    if (at < kLineAddressMinChars || at >= line.size() || line[at] != ' ')
        return false;
    ++at;
    if (line.size() - at != kRegionLineDataBytes * kLineByteStride)
        return false;
    for (size_t i = 0; i < kRegionLineDataBytes; ++i, at += kLineByteStride) {
        const int high = hexValue(line[at]);
        const int low = hexValue(line[at + 1]);
        if (high < 0 || low < 0 || line[at + 2] != ' ')
            return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    address = value;
    return true;
}

bool ReadPlannedRegions(RegionImages& images, QString& message) {
    enterProgramFolder();
    const RegionRecords& records = bootloaderSettings().regions;
    if (!records[kProgMemRegion].made) {
        // No split made the image this run would write.
        message = GetText(kRegionMissingText).arg(regionFilePath(kProgMemRegion));
        return false;
    }
    for (int r = 0; r < kConfigRegion; ++r) {
        const RegionRecord& record = records[r];
        RegionImage& image = images[static_cast<size_t>(r)];
        image = RegionImage{record.path, false, {}};
        if (!record.made) {
            // Where the split made no file, one that stands now is someone else's.
            const QFileInfo stray(record.path);
            if (stray.exists() || stray.isSymLink()) {
                message = GetText(kRegionChangedText).arg(record.path);
                return false;
            }
            continue;
        }
        if (!readRegion(record, image, message))
            return false;
        image.present = true;
    }
    return true;
}

bool DownloadRegions(PassContext& ctx, const RegionImages& images, QString& message) {
    enterProgramFolder();
    bootloaderSettings().ImageVerified = false;
    const PicProfile& profile = bootloaderSettings().profile;
    try {
        for (const WritePass& pass : kWritePasses) {
            const RegionImage& image = images[static_cast<size_t>(pass.region)];
            if (!image.present)
                continue;
            ctx.progress.setOperationText(GetText(pass.operationText));
            WriteLog(QString::fromLatin1(pass.logLine));
            ctx.phase = pass.phase;
            const uint8_t blockSize = pass.useWriteBlock ? profile.writeblock : 1;
            const uint8_t bytesPerAddr = pass.useBytesPerAddr ? profile.bytesperaddr : 1;
            if (!WriteRegionLines(ctx, blockSize, bytesPerAddr, pass.writeCommand, image, message))
                return false;
        }
    } catch (const RunTimeError& error) {
        message = error.description();
        return false;
    }
    bootloaderSettings().ImageVerified = true;
    return true;
}

bool WriteRegionLines(PassContext& ctx, uint8_t blockSize, uint8_t bytesPerAddr,
                      uint8_t writeCommand, const RegionImage& region, QString& message) {
    enterProgramFolder();
    ctx.progress.setBarVisible(false);
    ctx.progress.setPercentText(QString());

    const BootloaderSettings& settings = bootloaderSettings();
    try {
        return forEachLine(region.text, [&](std::string_view line, int lineNumber) {
            ctx.progress.setOperationText(
                GetText(kLineText).replace(QStringLiteral("%1"), QString::number(lineNumber)));
            ctx.events.processEvents();
            if (globals().StopRequested) {
                message = GetText(kStoppedText);
                return false;
            }
            if (bytesPerAddr == 0) {
                message = QStringLiteral(
                              "Division by zero: the bytes per address of the PIC profile "
                              "(key \"bytesperaddr\") is 0, so line %1 of \"%2\" has no device "
                              "address")
                              .arg(lineNumber)
                              .arg(region.path);
                return false;
            }
            uint32_t lineAddress = 0;
            std::array<uint8_t, NXPIC_DATA_BUFFER_BYTES> buffer{};
            std::array<uint8_t, kRegionLineDataBytes> bytes{};
            if (!ParseRegionLine(line, lineAddress, bytes)) {
                // Never padded: a byte the line lacks is not made up.
                message = GetText(kRegionLineText).arg(lineNumber).arg(region.path);
                return false;
            }
            std::copy(bytes.begin(), bytes.end(), buffer.begin());

            PicBlock block{};
            block.Command = writeCommand;
            block.DataLength = kRegionLineDataBytes;
            const uint32_t byteAddress = lineAddress & kLineAddressMask;
            block.Address = static_cast<int32_t>(byteAddress / bytesPerAddr);
            block.BlockSize = blockSize;
            block.BytesPerAddr = bytesPerAddr;
            block.MaxRetries = settings.RetryCount;

            WriteLog(QStringLiteral("<- TX ") +
                     QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
            PassStep step{ctx.phase, lineNumber - 1, lineNumber, byteAddress, 0};
            ctx.progress.setPassStep(step);
            const int16_t written = WritePIC(settings.Handle, &block, buffer.data());
            if (written < 0) {
                step.failedResult = written;
                ctx.progress.setPassStep(step);
                message = lineFailure(kWriteFailedText, lineNumber, byteAddress, written);
                return false;
            }
            ++ctx.linesWritten;
            block.Command = static_cast<uint8_t>(writeCommand - 1);
            const int16_t verified = VerifyPIC(settings.Handle, &block, buffer.data());
            step.failedResult = verified < 0 ? verified : 0;
            step.done = verified < 0 ? lineNumber - 1 : lineNumber;
            ctx.progress.setPassStep(step);
            if (verified >= 0) {
                WriteLog(QStringLiteral("-> RX riga validata"));
                return true;
            }
            if (verified == NXPIC_ERR_VERIFY) {
                WriteLog(QStringLiteral("-> RX riga NON validata"));
                message = GetText(kVerifyFailedText);
                return false;
            }
            WriteLog(QStringLiteral("-> RX ERRORE"));
            message = lineFailure(kVerifyFailedText, lineNumber, byteAddress, verified);
            return false;
        });
    } catch (const RunTimeError& error) {
        message = error.description();
        return false;
    }
}

}  // namespace dwnfrw
