// Intel HEX reading and the split into the region files that the write passes
// read: program memory, EEPROM, user ID and configuration.
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QStringView>
#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/modcomm.h"
#include "bootloader/rows.h"
#include "bootloader/text_lines.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/runlog.h"

namespace dwnfrw {

namespace {

const QString kInvalidHexText = QStringLiteral("File selzionato non valido");
constexpr int kMissingEndRecordText = 1105;

constexpr int kWindowBytes = 256;
constexpr int kGroupBytes = kRegionLineDataBytes;
// "AAAAAA " + 16 x "HH " + CR LF
constexpr qsizetype kRegionLineChars = 6 + 1 + kGroupBytes * 3 + 2;
// Region text is gathered in memory and written in pieces of about this size.
constexpr qsizetype kWritePieceBytes = 256 * 1024;

constexpr int kTypeData = 0x00;
constexpr int kTypeEndOfFile = 0x01;
constexpr int kTypeExtendedSegment = 0x02;
constexpr int kTypeExtendedLinear = 0x04;
constexpr int kTypeStartLinear = 0x05;  // the last type an Intel HEX image uses
// Extended address records carry exactly this many data bytes.
constexpr int kExtendedAddressBytes = 2;

constexpr int kTextNoProgramData = 1110;
constexpr int kTextOutsideProgram = 1111;
constexpr int kTextOutsideEeprom = 1112;
constexpr int kTextOutsideUserId = 1113;
constexpr int kTextSegmentAddress = 1114;
constexpr int kTextNotRegularFile = 1139;
constexpr int kTextIndentedLine = 1150;
constexpr int kTextExtendedAddressCount = 1151;
constexpr int kTextLineLength = 1152;
constexpr int kTextNoSuchMemory = 1153;
constexpr int kTextOutsideConfig = 1154;
constexpr int kTextUnknownType = 1155;
constexpr int kTextRegionWrite = 1156;
constexpr int kTextMissingFile = 1193;

// The device's EEPROM: 256 bytes, at F00000 in a HEX image.
constexpr uint32_t kEepromBytes = 256;
constexpr uint32_t kEepromHexBase = 0xF00000;

const char kHexDigits[] = "0123456789ABCDEF";

// The byte written as two hexadecimal digits at text[at], or -1 when the line
// ends there or holds anything else.
inline int hexByteAt(std::string_view text, size_t at) {
    if (at + 2 > text.size())
        return -1;
    const int high = hexValue(text[at]);
    const int low = hexValue(text[at + 1]);
    if (high < 0 || low < 0)
        return -1;
    return high * 16 + low;
}

bool openForReading(QFile& file, const QString& what, QString& message) {
    if (file.open(QIODevice::ReadOnly))
        return true;
    message = QStringLiteral("Cannot open the %1 \"%2\": %3")
                  .arg(what, file.fileName(), file.errorString());
    return false;
}

QString readFailure(const QFile& file, const QString& what) {
    return QStringLiteral("Cannot read the %1 \"%2\": %3")
        .arg(what, file.fileName(), file.errorString());
}

// The failure of a region file's write, flush, close or commit, with the
// system's cause (a full disk, ...); taken at once, before anything else can
// change the error number.
QString regionWriteFailure(const QString& path, int error) {
    return GetText(kTextRegionWrite).arg(path, fileErrorCause(error));
}

bool writeAll(QFileDevice& file, QByteArray& pending, QString& message,
              QCryptographicHash* digest = nullptr) {
    if (pending.isEmpty())
        return true;
    errno = 0;
    if (file.write(pending) != pending.size()) {
        message = regionWriteFailure(file.fileName(), errno);
        return false;
    }
    if (digest != nullptr)
        digest->addData(pending);
    pending.resize(0);  // keeps the buffer for the next piece
    return true;
}

// Flushes and closes a region file; false with the cause when either fails.
bool closeRegionFile(QFile& file, QString& message) {
    if (!file.isOpen())
        return true;
    errno = 0;
    const bool flushed = file.flush();
    const int flushError = errno;
    file.close();
    const int closeError = errno;
    if (!flushed || file.error() != QFileDevice::NoError) {
        message = regionWriteFailure(file.fileName(), flushed ? closeError : flushError);
        return false;
    }
    return true;
}

// Only blanks: allowed anywhere before the end record.
bool isBlankLine(std::string_view line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// The fields before a record's data: byte count, 16-bit address and type.
struct RecordHeader {
    int count;
    uint32_t address;
    int type;
    bool readable;  // every field was two hexadecimal digits
};

RecordHeader recordHeader(std::string_view line) {
    const int count = hexByteAt(line, 1);
    const int addressHigh = hexByteAt(line, 3);
    const int addressLow = hexByteAt(line, 5);
    const int type = hexByteAt(line, 7);
    const bool readable = count >= 0 && addressHigh >= 0 && addressLow >= 0 && type >= 0;
    return {count, static_cast<uint32_t>(addressHigh * 256 + addressLow), type, readable};
}

// Checks every record up to the end record: the byte count, the digits of
// every byte it announces, and the checksum. False with the failure text.
bool checkHexRecords(QFile& file, QString& message) {
    FileLineReader reader(file);
    std::string_view line;
    bool anyLine = false;
    while (reader.read(line)) {
        anyLine = true;
        if (isBlankLine(line))
            continue;
        const char first = line.front();
        if (first == ' ' || first == '\t') {
            // A record after a blank would otherwise be skipped with its data.
            message = GetText(kTextIndentedLine).arg(reader.number());
            return false;
        }
        if (first != ':') {
            message = kInvalidHexText;
            return false;
        }
        const int count = hexByteAt(line, 1);
        if (count < 0) {
            message = kInvalidHexText;
            return false;
        }
        // count, address high, address low, type, the data bytes, checksum
        const int recordBytes = count + 5;
        const size_t recordChars = 1 + 2 * static_cast<size_t>(recordBytes);
        if (line.size() != recordChars) {
            // Shorter or longer, part of the record would be made up or dropped.
            message = GetText(kTextLineLength)
                          .arg(reader.number())
                          .arg(line.size())
                          .arg(count)
                          .arg(recordChars);
            return false;
        }
        unsigned sum = 0;
        for (int i = 0; i < recordBytes; ++i) {
            const int value = hexByteAt(line, 1 + 2 * static_cast<size_t>(i));
            if (value < 0) {
                sum = 1;  // bad digits never pass
                break;
            }
            sum += static_cast<unsigned>(value);
        }
        if ((sum & 0xFF) != 0) {
            message = kInvalidHexText;
            return false;
        }
        const int type = hexByteAt(line, 7);
        if ((type == kTypeExtendedSegment || type == kTypeExtendedLinear) &&
            count != kExtendedAddressBytes) {
            message = GetText(kTextExtendedAddressCount)
                          .arg(reader.number())
                          .arg(HexPad(type, 2))
                          .arg(count);
            return false;
        }
        if (type > kTypeStartLinear) {
            message = GetText(kTextUnknownType).arg(reader.number()).arg(HexPad(type, 2));
            return false;
        }
        if (type == kTypeEndOfFile)
            return true;
    }
    if (reader.failed()) {
        message = readFailure(file, QStringLiteral("HEX file"));
    } else {
        message = anyLine ? GetText(kMissingEndRecordText) : kInvalidHexText;
    }
    return false;
}

// Appends one region line: the address as six upper-case hexadecimal digits
// (more if it needs them), a space, then each of the 16 bytes as two digits
// and a space, and CR LF.
void writeRegionLine(QByteArray& out, uint32_t address, const uint8_t* bytes) {
    int addressDigits = 6;
    while (addressDigits < 8 && (address >> (4 * addressDigits)) != 0)
        ++addressDigits;
    const qsizetype at = out.size();
    out.resize(at + kRegionLineChars - 6 + addressDigits);
    char* p = out.data() + at;
    for (int d = addressDigits - 1; d >= 0; --d)
        *p++ = kHexDigits[(address >> (4 * d)) & 0xF];
    *p++ = ' ';
    for (int k = 0; k < kGroupBytes; ++k) {
        *p++ = kHexDigits[bytes[k] >> 4];
        *p++ = kHexDigits[bytes[k] & 0xF];
        *p++ = ' ';
    }
    *p++ = '\r';
    *p = '\n';
}

// One region of the split: its file, the text not yet written, and whether
// any line went to it.
struct RegionOutput {
    QFile file;
    QByteArray pending;
    bool gotLine = false;
};

// Region and first line address of a data record, by the extended linear
// address it falls under; false for addresses outside the four regions.
bool regionOfRecord(uint32_t upper, uint32_t recordAddress, RegionIndex& region,
                    uint32_t& lineAddress) {
    const uint32_t group = recordAddress & ~0xFu;
    if (upper <= 0x001F) {
        region = kProgMemRegion;
        lineAddress = upper * 65536 + group;
    } else if (upper == 0x0020) {
        region = kUserIdRegion;
        lineAddress = 0x200000 + group;
    } else if (upper == 0x0030) {
        region = kConfigRegion;
        lineAddress = 0x300000 + group;
    } else if (upper == 0x00F0) {
        // The EEPROM's HEX addresses start at F00000; the board counts from 0.
        region = kEeDataRegion;
        lineAddress = group;
    } else {
        return false;
    }
    return true;
}

// Splits the text at single spaces into views (empty pieces kept).
void splitAtSpaces(QStringView text, std::vector<QStringView>& tokens) {
    tokens.clear();
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u' ') {
            tokens.push_back(text.mid(start, i - start));
            start = i + 1;
        }
    }
    tokens.push_back(text.mid(start));
}

// Puts the bytes of newData other than "" and "FF" into the same positions of
// the row's data. False when newData has a byte where the row has none.
bool mergeInto(QString& rowData, QStringView newData, std::vector<QStringView>& newTokens,
               std::vector<QStringView>& oldTokens, std::vector<qsizetype>& offsets) {
    splitAtSpaces(newData, newTokens);
    splitAtSpaces(rowData, oldTokens);
    bool sameWidths = true;
    for (size_t i = 0; i < newTokens.size(); ++i) {
        if (newTokens[i].isEmpty() || newTokens[i] == u"FF") {
            newTokens[i] = QStringView();
            continue;
        }
        if (i >= oldTokens.size())
            return false;
        sameWidths = sameWidths && newTokens[i].size() == oldTokens[i].size();
    }
    if (sameWidths) {
        // The usual case: two-digit bytes replace two-digit bytes in place.
        // Offsets first, as taking the writable buffer may move the text.
        const QChar* base = rowData.constData();
        offsets.assign(newTokens.size(), 0);
        for (size_t i = 0; i < newTokens.size(); ++i) {
            if (!newTokens[i].isEmpty())
                offsets[i] = oldTokens[i].data() - base;
        }
        QChar* out = rowData.data();
        for (size_t i = 0; i < newTokens.size(); ++i) {
            if (newTokens[i].isEmpty())
                continue;
            std::copy(newTokens[i].begin(), newTokens[i].end(), out + offsets[i]);
        }
        return true;
    }
    QString merged;
    merged.reserve(rowData.size());
    for (size_t i = 0; i < oldTokens.size(); ++i) {
        if (i > 0)
            merged.append(u' ');
        const bool replaced = i < newTokens.size() && !newTokens[i].isEmpty();
        merged.append(replaced ? newTokens[i] : oldTokens[i]);
    }
    rowData = merged;
    return true;
}

void appendLatin1(QByteArray& out, const QString& text) {
    const qsizetype at = out.size();
    out.resize(at + text.size());
    char* p = out.data() + at;
    for (QChar c : text)
        *p++ = c.toLatin1();
}

}  // namespace

QString HexPad(int64_t value, int width) {
    // A negative number shows its 32-bit two's complement.
    const quint64 shown = value < 0 ? static_cast<quint32>(value) : static_cast<quint64>(value);
    return QString::number(shown, 16).toUpper().rightJustified(width, u'0');
}

bool IsRegularFile(const QString& path, QString& message) {
    const QFileInfo file(path);
    if (file.isFile())
        return true;
    message = GetText(file.exists() ? kTextNotRegularFile : kTextMissingFile).arg(path);
    return false;
}

bool CheckImageForDevice(const QString& hexPath, const PicProfile& profile, QString& message) {
    QFile hex(hexPath);
    if (!IsRegularFile(hexPath, message) ||
        !openForReading(hex, QStringLiteral("HEX file"), message))
        return false;
    // The records' form first: what follows reads their fields as checked.
    if (!checkHexRecords(hex, message))
        return false;
    if (!hex.seek(0)) {
        message = readFailure(hex, QStringLiteral("HEX file"));
        return false;
    }
    const PicProfile device = builtInPicProfile();
    const auto hex6 = [](int64_t value) { return HexPad(value, 6); };
    bool programData = false;
    uint32_t upperAddress = 0;
    FileLineReader reader(hex);
    std::string_view line;
    while (reader.read(line)) {
        if (line.empty() || line.front() != ':')
            continue;
        const auto [count, recordAddress, type, readable] = recordHeader(line);
        if (!readable || type == kTypeEndOfFile)
            break;
        if (type == kTypeExtendedLinear) {
            upperAddress = leadingHex(line, 9, 4);
            continue;
        }
        if (type == kTypeExtendedSegment) {
            // The split places data by linear addresses only: a segment would
            // silently move the data that follows it.
            const uint32_t segment = leadingHex(line, 9, 4);
            if (segment != 0) {
                message = GetText(kTextSegmentAddress).arg(reader.number()).arg(HexPad(segment, 4));
                return false;
            }
            continue;
        }
        RegionIndex region;
        uint32_t lineAddress;
        if (type != kTypeData || count == 0)
            continue;
        const uint32_t recordStart = upperAddress * 65536 + recordAddress;
        if (!regionOfRecord(upperAddress, recordAddress, region, lineAddress)) {
            message = GetText(kTextNoSuchMemory).arg(reader.number()).arg(hex6(recordStart));
            return false;
        }
        if (region == kConfigRegion) {
            // Never written, but never dropped unseen either: the device's
            // configuration bytes are judged, not the padding of their line.
            const int64_t last = int64_t{recordStart} + count - 1;
            if (recordStart < uint32_t(device.cfgrangelow) || last > device.cfgrangehigh) {
                const int64_t offending =
                    recordStart < uint32_t(device.cfgrangelow)
                        ? recordStart
                        : std::max<int64_t>(recordStart, device.cfgrangehigh + 1);
                message =
                    GetText(kTextOutsideConfig)
                        .arg(reader.number())
                        .arg(hex6(offending), hex6(device.cfgrangelow), hex6(device.cfgrangehigh));
                return false;
            }
            continue;
        }
        // Every region line the record gives, padding included, is written:
        // judge the 16 bytes of each line.
        const uint32_t base = lineAddress + (recordAddress & 0xFu);
        const uint32_t firstLine = lineAddress;
        const uint32_t lastLine = (base + static_cast<uint32_t>(count) - 1) & ~0xFu;
        int64_t low = 0;
        int64_t high = kEepromBytes - 1;
        int text = kTextOutsideEeprom;
        if (region == kProgMemRegion) {
            low = profile.pmrangelow;
            high = profile.pmrangehigh;
            text = kTextOutsideProgram;
        } else if (region == kUserIdRegion) {
            low = profile.usrrangelow;
            high = profile.usrrangehigh;
            text = kTextOutsideUserId;
        }
        if (firstLine < low || int64_t{lastLine} + kGroupBytes - 1 > high) {
            // The first data byte outside, or the line that reaches outside.
            int64_t offending = base;
            for (uint32_t j = 0; j < static_cast<uint32_t>(count); ++j) {
                offending = int64_t{base} + j;
                if (offending < low || offending > high)
                    break;
            }
            if (offending >= low && offending <= high)
                offending = firstLine < low ? firstLine : int64_t{lastLine} + kGroupBytes - 1;
            message = GetText(text).arg(reader.number());
            if (region == kEeDataRegion) {
                message = message.arg(hex6(offending + kEepromHexBase));
            } else {
                message = message.arg(hex6(offending), hex6(low), hex6(high));
            }
            return false;
        }
        programData = programData || region == kProgMemRegion;
    }
    if (reader.failed()) {
        message = readFailure(hex, QStringLiteral("HEX file"));
        return false;
    }
    if (!programData) {
        message =
            GetText(kTextNoProgramData).arg(hex6(profile.pmrangelow), hex6(profile.pmrangehigh));
        return false;
    }
    return true;
}

bool ValidateHexFile(const QString& hexPath, QString& message) {
    enterProgramFolder();
    if (!IsRegularFile(hexPath, message))
        return false;
    QFile file(hexPath);
    if (!openForReading(file, QStringLiteral("HEX file"), message))
        return false;
    return checkHexRecords(file, message);
}

bool SplitHexFile(const QString& hexPath, QString& message) {
    enterProgramFolder();
    RegionRecords& records = bootloaderSettings().regions;
    for (int r = 0; r < kRegionCount; ++r)
        records[r] = RegionRecord{regionFilePath(static_cast<RegionIndex>(r)), false, 0, {}};
    if (!IsRegularFile(hexPath, message))
        return false;
    QFile hex(hexPath);
    if (!openForReading(hex, QStringLiteral("HEX file"), message))
        return false;
    if (!checkHexRecords(hex, message))
        return false;
    if (!hex.seek(0)) {
        message = readFailure(hex, QStringLiteral("HEX file"));
        return false;
    }

    std::array<RegionOutput, kRegionCount> regions;
    for (int r = 0; r < kRegionCount; ++r) {
        const QString& path = records[r].path;
        regions[r].file.setFileName(path);
        if (regions[r].file.exists() && !regions[r].file.remove()) {
            message = QStringLiteral("Cannot delete the region file \"%1\": %2")
                          .arg(path, regions[r].file.errorString());
            return false;
        }
    }
    // From here on a failure removes every region file: a file cut short
    // must never reach a run.
    auto fail = [&regions, &records](QString& text, const QString& failure) {
        for (RegionOutput& region : regions) {
            region.file.close();
            QFile::remove(region.file.fileName());
        }
        for (RegionRecord& record : records)
            record.made = false;
        text = failure;
        return false;
    };
    for (RegionOutput& region : regions) {
        errno = 0;
        if (!region.file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return fail(message, regionWriteFailure(region.file.fileName(), errno));
        }
        region.pending.reserve(kWritePieceBytes + kWindowBytes / kGroupBytes * kRegionLineChars);
    }

    std::array<uint8_t, kWindowBytes> window;
    uint32_t upperAddress = 0;
    FileLineReader reader(hex);
    std::string_view line;
    QString failure;
    while (reader.read(line)) {
        window.fill(0xFF);
        if (line.empty() || line.front() != ':')
            continue;
        const auto [count, recordAddress, type, readable] = recordHeader(line);
        if (!readable)
            return fail(message, kInvalidHexText);  // the file changed after it was checked
        if (type == kTypeEndOfFile)
            break;
        if (type == kTypeExtendedLinear) {
            upperAddress = leadingHex(line, 9, 4);
            continue;
        }
        if (type != kTypeData)
            continue;

        const int firstPosition = static_cast<int>(recordAddress % kGroupBytes);
        if (firstPosition + count > kWindowBytes) {
            return fail(
                message,
                QStringLiteral("Subscript out of range: the data record at line %1 of \"%2\" "
                               "(address %3, %4 bytes) reaches past the %5-byte record window")
                    .arg(reader.number())
                    .arg(hexPath, HexPad(recordAddress, 4))
                    .arg(count)
                    .arg(kWindowBytes));
        }
        for (int j = 0; j < count; ++j) {
            const int value = hexByteAt(line, 9 + 2 * static_cast<size_t>(j));
            if (value < 0)
                return fail(message, kInvalidHexText);
            window[static_cast<size_t>(firstPosition + j)] = static_cast<uint8_t>(value);
        }
        if (count == 0)
            continue;

        RegionIndex regionIndex;
        uint32_t lineAddress;
        if (!regionOfRecord(upperAddress, recordAddress, regionIndex, lineAddress)) {
            return fail(message, GetText(kTextNoSuchMemory)
                                     .arg(reader.number())
                                     .arg(HexPad(upperAddress * 65536 + recordAddress, 6)));
        }
        RegionOutput& region = regions[regionIndex];
        for (int groupStart = 0; groupStart < firstPosition + count; groupStart += kGroupBytes) {
            writeRegionLine(region.pending, lineAddress, &window[static_cast<size_t>(groupStart)]);
            lineAddress += kGroupBytes;
            region.gotLine = true;
        }
        if (region.pending.size() >= kWritePieceBytes &&
            !writeAll(region.file, region.pending, failure))
            return fail(message, failure);
    }
    if (reader.failed())
        return fail(message, readFailure(hex, QStringLiteral("HEX file")));
    hex.close();
    for (RegionOutput& region : regions) {
        if (!writeAll(region.file, region.pending, failure) ||
            !closeRegionFile(region.file, failure))
            return fail(message, failure);
    }

    for (int r = 0; r < kRegionCount; ++r) {
        RegionOutput& region = regions[r];
        if (!region.gotLine) {
            if (!region.file.remove()) {
                return fail(message,
                            QStringLiteral("Cannot delete the empty region file \"%1\": %2")
                                .arg(region.file.fileName(), region.file.errorString()));
            }
            continue;
        }
        if (!MergeRegionFile(records[r].path, failure, &records[r]))
            return fail(message, failure);
    }
    return true;
}

bool MergeRegionFile(const QString& regionPath, QString& message, RegionRecord* record) {
    const QString what = QStringLiteral("region file");
    QFile file(regionPath);
    if (!openForReading(file, what, message))
        return false;

    ROWS rows;
    // About one row per line of 57 bytes; duplicates only make this generous.
    rows.reserve(static_cast<size_t>(file.size() / kRegionLineChars) + 1);
    std::vector<QStringView> newTokens;
    std::vector<QStringView> oldTokens;
    std::vector<qsizetype> offsets;
    std::u16string lineText;  // the line as text, reused from line to line
    FileLineReader reader(file);
    std::string_view raw;
    while (reader.read(raw)) {
        lineText.resize(raw.size());  // Latin-1 bytes are their own code points
        std::transform(raw.begin(), raw.end(), lineText.begin(),
                       [](char c) { return static_cast<char16_t>(static_cast<unsigned char>(c)); });
        const QStringView line(lineText.data(), static_cast<qsizetype>(lineText.size()));
        const QStringView key = line.first(std::min<qsizetype>(line.size(), 6));
        const QStringView data = line.size() > 7 ? line.sliced(7) : QStringView();
        RowRef row = rows.Item(key);
        if (!row) {
            const QString keyText = key.toString();
            row = rows.Add(keyText);
            row->Key = keyText;
            row->DataRow = data.toString();
            continue;
        }
        // A later byte wins unless it is "FF": the split pads every group with
        // FF, and padding must never hide a byte that another record gave.
        if (data == QStringView(row->DataRow))
            continue;
        if (!mergeInto(row->DataRow, data, newTokens, oldTokens, offsets)) {
            message = QStringLiteral(
                          "Subscript out of range: line %1 of the region file \"%2\" has more "
                          "bytes than the earlier line for address %3")
                          .arg(reader.number())
                          .arg(regionPath, key.toString());
            return false;
        }
    }
    if (reader.failed()) {
        message = readFailure(file, what);
        return false;
    }
    file.close();

    // Written whole or not at all: a failure leaves the split's lines in place.
    QSaveFile out(regionPath);
    errno = 0;
    if (!out.open(QIODevice::WriteOnly)) {
        message = regionWriteFailure(regionPath, errno);
        return false;
    }
    QCryptographicHash digest(QCryptographicHash::Sha256);
    int64_t lines = 0;
    QByteArray pending;
    pending.reserve(kWritePieceBytes + kRegionLineChars);
    for (const RowRef& row : rows) {
        appendLatin1(pending, row->Key);
        pending.append(' ');
        appendLatin1(pending, row->DataRow);
        pending.append("\r\n", 2);
        ++lines;
        if (pending.size() >= kWritePieceBytes && !writeAll(out, pending, message, &digest))
            return false;
    }
    if (!writeAll(out, pending, message, &digest))
        return false;
    // The last piece may still sit in the file's buffer, and commit() does not
    // report a failure of the write that empties it: flush first.
    errno = 0;
    if (!out.flush() || !out.commit()) {
        message = regionWriteFailure(regionPath, errno);
        return false;
    }
    if (record != nullptr)
        *record = RegionRecord{regionPath, true, lines, digest.result()};
    return true;
}

void DeleteRegionFiles() {
    for (int region = 0; region < kRegionCount; ++region)
        QFile::remove(regionFilePath(static_cast<RegionIndex>(region)));
    for (RegionRecord& record : bootloaderSettings().regions)
        record.made = false;
}

}  // namespace dwnfrw
