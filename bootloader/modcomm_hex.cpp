// Intel HEX reading and the split into the region files that the write passes
// read: program memory, EEPROM, user ID and configuration.
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QStringView>
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "bootloader/modcomm.h"
#include "bootloader/rows.h"
#include "bootloader/text_lines.h"
#include "startup/globals.h"
#include "startup/localtext.h"

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

constexpr int kTextNoProgramData = 1110;
constexpr int kTextOutsideProgram = 1111;
constexpr int kTextOutsideEeprom = 1112;
constexpr int kTextOutsideUserId = 1113;
constexpr int kTextSegmentAddress = 1114;
constexpr int kTextNotRegularFile = 1139;
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

bool writeAll(QFileDevice& file, QByteArray& pending, QString& message) {
    if (pending.isEmpty())
        return true;
    if (file.write(pending) != pending.size()) {
        message = QStringLiteral("Cannot write the region file \"%1\": %2")
                      .arg(file.fileName(), file.errorString());
        return false;
    }
    pending.resize(0);  // keeps the buffer for the next piece
    return true;
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
        const char first = line.empty() ? ' ' : line.front();
        if (first == ' ' || first == '\t' || first == '\r' || first == '\n')
            continue;
        if (first != ':') {
            message = kInvalidHexText;
            return false;
        }
        const int count = hexByteAt(line, 1);
        // count, address high, address low, type, the data bytes, checksum
        const int recordBytes = count + 5;
        unsigned sum = 0;
        for (int i = 0; count >= 0 && i < recordBytes; ++i) {
            const int value = hexByteAt(line, 1 + 2 * static_cast<size_t>(i));
            if (value < 0) {
                sum = 1;  // missing or bad digits never pass
                break;
            }
            sum += static_cast<unsigned>(value);
        }
        if (count < 0 || (sum & 0xFF) != 0) {
            message = kInvalidHexText;
            return false;
        }
        if (hexByteAt(line, 7) == kTypeEndOfFile)
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
        if (type != kTypeData || count == 0 ||
            !regionOfRecord(upperAddress, recordAddress, region, lineAddress) ||
            region == kConfigRegion)
            continue;
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
        const QString path = regionFilePath(static_cast<RegionIndex>(r));
        regions[r].file.setFileName(path);
        if (regions[r].file.exists() && !regions[r].file.remove()) {
            message = QStringLiteral("Cannot delete the region file \"%1\": %2")
                          .arg(path, regions[r].file.errorString());
            return false;
        }
    }
    for (RegionOutput& region : regions) {
        if (!region.file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            message = QStringLiteral("Cannot create the region file \"%1\": %2")
                          .arg(region.file.fileName(), region.file.errorString());
            return false;
        }
        region.pending.reserve(kWritePieceBytes + kWindowBytes / kGroupBytes * kRegionLineChars);
    }

    // Whatever fails, the region files keep the lines made so far.
    auto finish = [&regions](QString* failure) {
        bool ok = true;
        for (RegionOutput& region : regions) {
            QString writeFailure;
            if (!writeAll(region.file, region.pending, writeFailure) && ok) {
                if (failure != nullptr)
                    *failure = writeFailure;
                ok = false;
            }
            region.file.close();
        }
        return ok;
    };

    std::array<uint8_t, kWindowBytes> window;
    uint32_t upperAddress = 0;
    FileLineReader reader(hex);
    std::string_view line;
    while (reader.read(line)) {
        window.fill(0xFF);
        if (line.empty() || line.front() != ':')
            continue;
        const auto [count, recordAddress, type, readable] = recordHeader(line);
        if (!readable) {
            finish(nullptr);  // the file changed after it was checked
            message = kInvalidHexText;
            return false;
        }
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
            finish(nullptr);
            message = QStringLiteral(
                          "Subscript out of range: the data record at line %1 of \"%2\" "
                          "(address %3, %4 bytes) reaches past the %5-byte record window")
                          .arg(reader.number())
                          .arg(hexPath, HexPad(recordAddress, 4))
                          .arg(count)
                          .arg(kWindowBytes);
            return false;
        }
        for (int j = 0; j < count; ++j) {
            const int value = hexByteAt(line, 9 + 2 * static_cast<size_t>(j));
            if (value < 0) {
                finish(nullptr);
                message = kInvalidHexText;
                return false;
            }
            window[static_cast<size_t>(firstPosition + j)] = static_cast<uint8_t>(value);
        }

        RegionIndex regionIndex;
        uint32_t lineAddress;
        if (!regionOfRecord(upperAddress, recordAddress, regionIndex, lineAddress))
            continue;
        RegionOutput& region = regions[regionIndex];
        for (int groupStart = 0; groupStart < firstPosition + count; groupStart += kGroupBytes) {
            writeRegionLine(region.pending, lineAddress, &window[static_cast<size_t>(groupStart)]);
            lineAddress += kGroupBytes;
            region.gotLine = true;
        }
        if (region.pending.size() >= kWritePieceBytes &&
            !writeAll(region.file, region.pending, message)) {
            finish(nullptr);
            return false;
        }
    }
    if (reader.failed()) {
        finish(nullptr);
        message = readFailure(hex, QStringLiteral("HEX file"));
        return false;
    }
    hex.close();
    if (!finish(&message))
        return false;

    for (RegionOutput& region : regions) {
        const QString path = region.file.fileName();
        if (!region.gotLine) {
            if (!region.file.remove()) {
                message = QStringLiteral("Cannot delete the empty region file \"%1\": %2")
                              .arg(path, region.file.errorString());
                return false;
            }
            continue;
        }
        if (!MergeRegionFile(path, message))
            return false;
    }
    return true;
}

bool MergeRegionFile(const QString& regionPath, QString& message) {
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
    if (!out.open(QIODevice::WriteOnly)) {
        message = QStringLiteral("Cannot create the region file \"%1\": %2")
                      .arg(regionPath, out.errorString());
        return false;
    }
    QByteArray pending;
    pending.reserve(kWritePieceBytes + kRegionLineChars);
    for (const RowRef& row : rows) {
        appendLatin1(pending, row->Key);
        pending.append(' ');
        appendLatin1(pending, row->DataRow);
        pending.append("\r\n", 2);
        if (pending.size() >= kWritePieceBytes && !writeAll(out, pending, message))
            return false;
    }
    if (!writeAll(out, pending, message))
        return false;
    if (!out.commit()) {
        message = QStringLiteral("Cannot write the region file \"%1\": %2")
                      .arg(regionPath, out.errorString());
        return false;
    }
    return true;
}

void DeleteRegionFiles() {
    for (int region = 0; region < kRegionCount; ++region)
        QFile::remove(regionFilePath(static_cast<RegionIndex>(region)));
}

}  // namespace dwnfrw
