// ModComm: the bootloader settings and the one connection to the board's
// bootloader.

#include <QFile>
#include <QFileInfo>

#include "bootloader/modcomm.h"
#include "components/nxpicboot/nxpicboot.h"
#include "startup/globals.h"
#include "startup/localtext.h"

namespace dwnfrw {

namespace {

BootloaderSettings g_settings;

constexpr int32_t kBitRate = 9600;
constexpr int32_t kReadTimeoutMs = 1000;
constexpr int16_t kRetryCount = 3;
const QString kDeviceName = QStringLiteral("PIC18F452");
const QString kDefaultDeviceNumber = QStringLiteral("36");

constexpr int kTextPortCannotOpen = 1095;
constexpr int kTextNoAnswerCause = 1131;
constexpr int kTextPortGoneCause = 1132;
constexpr int kTextRefusedCause = 1133;
constexpr int kTextPortOpenCause = 1180;
constexpr int kTextBadRequestCause = 1181;
constexpr int kTextBadReplyCause = 1182;
constexpr int kTextUnknownCommandCause = 1183;
constexpr int kTextBadLengthCause = 1184;
constexpr int kTextMisalignedCause = 1185;
constexpr int kTextVerifyCause = 1186;
constexpr int kTextNoisyLineCause = 1187;
constexpr int kTextUnknownResultCause = 1188;
constexpr int kTextNoAnswer = 1096;
constexpr int kTextWrongVersion = 1097;
constexpr int kTextNotStarted = 1260;

// The version query: command 0, asking for the two version bytes.
constexpr uint8_t kVersionQuery[] = {0x00, 0x02};
constexpr int16_t kVersionReplyLimit = 10;
constexpr uint8_t kExpectedVersionMajor = 0xFA;  // reply byte 3
constexpr uint8_t kExpectedVersionMinor = 4;     // reply byte 2

// After a good update: the board starts the new application (no arguments,
// an empty reply).
constexpr uint8_t kStartApplication[] = {NXPIC_CMD_START_APPLICATION};
constexpr int16_t kStartReplyLimit = 1;

constexpr int32_t kDeviceIdAddress = 0x3FFFFE;
constexpr int kDeviceIdRevisionDivisor = 32;  // the low five bits are the revision

QString portName(int32_t port) {
    return QStringLiteral("COM") + QString::number(port);
}

// Deletes a file, also a read-only one; true when nothing stands at path after.
bool removeFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner | QFile::WriteUser);
    QFile::remove(path);
    const QFileInfo after(path);
    return !after.exists() && !after.isSymLink();
}

}  // namespace

BootloaderSettings& bootloaderSettings() {
    return g_settings;
}

void resetBootloaderSettings() {
    g_settings = BootloaderSettings{};
}

QString regionFilePath(const QString& name) {
    return joinPath(globals().TempFolder, name);
}

QString regionFilePath(RegionIndex region) {
    return regionFilePath(QString::fromLatin1(kRegionFileNames[region]));
}

bool InitBootloader(int32_t port, QString& message) {
    BootloaderSettings& s = g_settings;
    QString BootloaderSettings::*const fields[kRegionCount] = {
        &BootloaderSettings::ProgMemPath, &BootloaderSettings::EeDataPath,
        &BootloaderSettings::UserIdPath, &BootloaderSettings::ConfigPath};
    for (int region = 0; region < kRegionCount; ++region) {
        const QString path = regionFilePath(static_cast<RegionIndex>(region));
        if (!removeFile(path)) {
            message = QStringLiteral("Impossibile eliminare i file temporanei");
            return false;
        }
        s.*fields[region] = path;
        s.regions[static_cast<size_t>(region)] = RegionRecord{path, false, 0, {}};
    }
    s.ReadTimeout = kReadTimeoutMs;
    s.RetryCount = kRetryCount;
    s.SkipDeviceCheck = 1;
    s.DeviceName = kDeviceName;
    s.DeviceNumber = kDefaultDeviceNumber;
    s.PortName = portName(port == 0 ? 1 : port);
    s.BitRate = kBitRate;
    return true;
}

QString portLabel(int32_t port) {
    if (!g_settings.PortLabel.isEmpty())
        return g_settings.PortLabel;
    return port > 0 ? portName(port) : g_settings.PortName;
}

bool ConnectBootloader(int32_t port, QString& message, bool* silent) {
    enterProgramFolder();
    BootloaderSettings& s = g_settings;
    if (silent)
        *silent = false;
    if (port > 0)
        s.PortName = portName(port);
    // An open connection is reused; a failed open left a negative handle, so
    // the next attempt opens again.
    s.ImageVerified = false;
    if (s.Handle < 1) {
        s.Handle = OpenPIC(s.PortName.toLatin1().constData(), s.BitRate, s.ReadTimeout);
        if (s.Handle < 0) {
            message = GetText(kTextPortCannotOpen) + QLatin1Char(' ') + portLabel();
            return false;
        }
    }
    uint8_t major = 0;
    uint8_t minor = 0;
    if (!ReadBootloaderVersion(major, minor)) {
        message = GetText(kTextNoAnswer) + QLatin1Char(' ') + portLabel();
        if (silent)
            *silent = true;
        return false;
    }
    if (major != kExpectedVersionMajor || minor != kExpectedVersionMinor) {
        message = GetText(kTextWrongVersion) + QLatin1Char(' ') + portLabel();
        return false;
    }
    if (s.SkipDeviceCheck == 0) {
        s.DeviceNumber = ReadDeviceNumber();
        s.DeviceName = kDeviceName;
    }
    // The profile was read and judged before the run sent anything; reading
    // it again here would let a change made since slip past that check.
    return true;
}

bool DisconnectBootloader(QString* message) {
    enterProgramFolder();
    BootloaderSettings& s = g_settings;
    bool started = true;
    if (s.Handle > 0) {
        // Only a run that wrote and verified the whole image starts it. The
        // library writes the application's entry block with this request, so
        // a start that fails leaves the board in its bootloader with the entry
        // word erased: the run must not call that a success.
        if (s.ImageVerified) {
            uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {kStartApplication[0]};
            const int16_t result = SendGetPacket(s.Handle, packet, sizeof kStartApplication,
                                                 kStartReplyLimit, kRetryCount);
            if (result < 0) {
                started = false;
                if (message)
                    *message =
                        GetText(kTextNotStarted).arg(portLabel(), bootloaderResultCause(result));
            }
        }
        const int32_t closed = ClosePIC(s.Handle);
        // Refused or not, the handle is not used again.
        s.Handle = -1;
        if (closed < 0)
            started = false;
    }
    s.ImageVerified = false;
    return started;
}

bool ReadBootloaderVersion(uint8_t& first, uint8_t& second) {
    enterProgramFolder();
    uint8_t buffer[NXPIC_PACKET_BUFFER_BYTES] = {kVersionQuery[0], kVersionQuery[1]};
    const int16_t result = SendGetPacket(g_settings.Handle, buffer, sizeof kVersionQuery,
                                         kVersionReplyLimit, kRetryCount);
    if (result <= 0)
        return false;
    first = buffer[3];
    second = buffer[2];
    return true;
}

QString bootloaderResultCause(int result) {
    // The library's result codes, each with the text that says it to the person.
    static constexpr struct {
        int result;
        int text;
    } kCauses[] = {
        {NXPIC_ERR_PORT_OPEN, kTextPortOpenCause},
        {NXPIC_ERR_BAD_HANDLE, kTextPortGoneCause},
        {NXPIC_ERR_BAD_ARGUMENT, kTextBadRequestCause},
        {NXPIC_ERR_TIMEOUT, kTextNoAnswerCause},
        {NXPIC_ERR_PORT_IO, kTextPortGoneCause},
        {NXPIC_ERR_REFUSED, kTextRefusedCause},
        {NXPIC_ERR_BAD_REPLY, kTextBadReplyCause},
        {NXPIC_ERR_UNKNOWN_COMMAND, kTextUnknownCommandCause},
        {NXPIC_ERR_BAD_LENGTH, kTextBadLengthCause},
        {NXPIC_ERR_MISALIGNED, kTextMisalignedCause},
        {NXPIC_ERR_VERIFY, kTextVerifyCause},
        {NXPIC_ERR_TOO_LONG, kTextBadRequestCause},
        {NXPIC_ERR_NOISY_LINE, kTextNoisyLineCause},
    };
    for (const auto& cause : kCauses) {
        if (cause.result == result)
            return GetText(cause.text);
    }
    return GetText(kTextUnknownResultCause).arg(result);
}

QString ReadDeviceNumber() {
    enterProgramFolder();
    PicBlock block{};
    block.Command = NXPIC_CMD_READ_PROGRAM;
    block.DataLength = 2;
    block.Address = kDeviceIdAddress;
    block.BlockSize = 1;
    block.BytesPerAddr = 1;
    block.MaxRetries = g_settings.RetryCount;
    uint8_t buffer[NXPIC_PACKET_BUFFER_BYTES] = {};
    if (ReadPIC(g_settings.Handle, &block, buffer) <= 0)
        return QStringLiteral("0");
    return QString::number((buffer[1] * 256 + buffer[0]) / kDeviceIdRevisionDivisor);
}

}  // namespace dwnfrw
