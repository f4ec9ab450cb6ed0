// The erase, write and verify passes that program the board once a connection
// stands and the region files are ready.
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
constexpr int kNoAnswerText = 1131;
constexpr int kPortGoneText = 1132;
constexpr int kRefusedText = 1133;
constexpr int kWhereText = 1141;

constexpr uint8_t kEraseCommand = NXPIC_CMD_ERASE_PROGRAM;
constexpr uint8_t kEraseRowCount = 0x01;
constexpr int16_t kEraseSendBytes = 5;
constexpr int16_t kEraseReceiveLimit = 255;
constexpr int16_t kEraseRetries = 5;

// A region line: address in characters 1-6, byte i at character 8 + 3i.
constexpr size_t kLineAddressChars = 6;
constexpr size_t kLineFirstByteAt = 7;
constexpr size_t kLineByteStride = 3;
constexpr uint32_t kLineAddressMask = 0xFFFFFF;

struct WritePass {
    RunPhase phase;
    QString (*path)();
    int operationText;
    const char* logLine;
    bool useWriteBlock;    // BlockSize: the profile's writeblock, or 1
    bool useBytesPerAddr;  // BytesPerAddr: the profile's bytesperaddr, or 1
    uint8_t writeCommand;
};

QString progMemPath() {
    const QString& path = bootloaderSettings().ProgMemPath;
    return path.isEmpty() ? regionFilePath(kProgMemRegion) : path;
}
QString eeDataPath() {
    const QString& path = bootloaderSettings().EeDataPath;
    return path.isEmpty() ? regionFilePath(kEeDataRegion) : path;
}
QString userIdPath() {
    const QString& path = bootloaderSettings().UserIdPath;
    return path.isEmpty() ? regionFilePath(kUserIdRegion) : path;
}

// The configuration region is split but never written: the board's
// configuration stays as the bootloader set it.
const WritePass kWritePasses[] = {
    {RunPhase::WritingProgram, progMemPath, kFlashPassText, "Download flash", true, true,
     NXPIC_CMD_WRITE_PROGRAM},
    {RunPhase::WritingEeprom, eeDataPath, kEepromPassText, "Download eeprom", false, false,
     NXPIC_CMD_WRITE_EEPROM},
    {RunPhase::WritingUserId, userIdPath, kUserIdPassText, "Download Userid", true, false,
     NXPIC_CMD_WRITE_PROGRAM},
};

// The cause of a failed exchange in the session's language, or the bootloader
// library's own reason for the results without a text of ours.
QString linkCause(int result) {
    switch (result) {
        case NXPIC_ERR_TIMEOUT:
            return GetText(kNoAnswerText);
        case NXPIC_ERR_PORT_IO:
        case NXPIC_ERR_BAD_HANDLE:
            return GetText(kPortGoneText);
        case NXPIC_ERR_REFUSED:
            return GetText(kRefusedText);
        default:
            return QString::fromLatin1(NxpicResultText(result));
    }
}

// The text of a failed erase: 1005 for a stop the person asked for, else the
// port, the row and the cause.
QString eraseFailure(const PassContext& ctx, int16_t result) {
    if (result == kEraseStopped)
        return GetText(kStoppedText);
    return GetText(kEraseFailedText)
        .arg(bootloaderSettings().PortName, HexPad(ctx.eraseAddress, 6), linkCause(result));
}

// A failed write or read-back: its text followed by the port, line, address
// and cause.
QString lineFailure(int text, int lineNumber, uint32_t address, int result) {
    return GetText(text) + QLatin1Char(' ') +
           GetText(kWhereText)
               .arg(bootloaderSettings().PortName, QString::number(lineNumber), HexPad(address, 6),
                    linkCause(result));
}

int clampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX));
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
    globals().StopRequested = false;
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

bool DownloadRegions(PassContext& ctx, QString& message) {
    enterProgramFolder();
    bootloaderSettings().ImageVerified = false;
    const PicProfile& profile = bootloaderSettings().profile;
    try {
        for (const WritePass& pass : kWritePasses) {
            const QString path = pass.path();
            if (!QFileInfo(path).isFile())
                continue;
            ctx.progress.setOperationText(GetText(pass.operationText));
            WriteLog(QString::fromLatin1(pass.logLine));
            ctx.phase = pass.phase;
            const uint8_t blockSize = pass.useWriteBlock ? profile.writeblock : 1;
            const uint8_t bytesPerAddr = pass.useBytesPerAddr ? profile.bytesperaddr : 1;
            if (!WriteRegionFile(ctx, blockSize, bytesPerAddr, pass.writeCommand, path, message)) {
                return false;
            }
        }
    } catch (const RunTimeError& error) {
        message = error.description();
        return false;
    }
    bootloaderSettings().ImageVerified = true;
    return true;
}

bool WriteRegionFile(PassContext& ctx, uint8_t blockSize, uint8_t bytesPerAddr,
                     uint8_t writeCommand, const QString& regionPath, QString& message) {
    enterProgramFolder();
    QFile file(regionPath);
    if (!file.open(QIODevice::ReadOnly)) {
        message = QStringLiteral("Cannot open the region file \"%1\": %2")
                      .arg(regionPath, file.errorString());
        return false;
    }
    // The file stays open for the pass and closes with it, also on a failure.
    globals().StopRequested = false;
    ctx.progress.setBarVisible(false);
    ctx.progress.setPercentText(QString());

    const BootloaderSettings& settings = bootloaderSettings();
    try {
        FileLineReader reader(file);
        std::string_view line;
        while (reader.read(line)) {
            const int lineNumber = reader.number();
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
                              .arg(regionPath);
                return false;
            }

            PicBlock block{};
            block.Command = writeCommand;
            block.DataLength = kRegionLineDataBytes;
            const uint32_t byteAddress = leadingHex(line, 0, kLineAddressChars) & kLineAddressMask;
            block.Address = static_cast<int32_t>(byteAddress / bytesPerAddr);
            block.BlockSize = blockSize;
            block.BytesPerAddr = bytesPerAddr;
            block.MaxRetries = settings.RetryCount;

            std::array<uint8_t, NXPIC_DATA_BUFFER_BYTES> buffer{};
            for (size_t i = 0; i < kRegionLineDataBytes; ++i) {
                // A line cut short sends 0 for the bytes it lacks.
                buffer[i] = static_cast<uint8_t>(
                    leadingHex(line, kLineFirstByteAt + kLineByteStride * i, 2));
            }

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
            block.Command = static_cast<uint8_t>(writeCommand - 1);
            const int16_t verified = VerifyPIC(settings.Handle, &block, buffer.data());
            step.failedResult = verified < 0 ? verified : 0;
            step.done = verified < 0 ? lineNumber - 1 : lineNumber;
            ctx.progress.setPassStep(step);
            if (verified >= 0) {
                WriteLog(QStringLiteral("-> RX riga validata"));
            } else if (verified == NXPIC_ERR_VERIFY) {
                WriteLog(QStringLiteral("-> RX riga NON validata"));
                message = GetText(kVerifyFailedText);
                return false;
            } else {
                WriteLog(QStringLiteral("-> RX ERRORE"));
                message = lineFailure(kVerifyFailedText, lineNumber, byteAddress, verified);
                return false;
            }
        }
        if (reader.failed()) {
            message = QStringLiteral("Cannot read the region file \"%1\": %2")
                          .arg(regionPath, file.errorString());
            return false;
        }
    } catch (const RunTimeError& error) {
        message = error.description();
        return false;
    }
    return true;
}

}  // namespace dwnfrw
