#include "tools/vboard/intel_hex.h"

#include <QList>

namespace vboard {

QByteArray intelHexRecord(uint8_t type, uint16_t address, const QByteArray& data,
                          const char* lineEnd) {
    QByteArray bytes;
    bytes.append(char(data.size()));
    bytes.append(char(address >> 8));
    bytes.append(char(address & 0xFF));
    bytes.append(char(type));
    bytes.append(data);
    uint8_t sum = 0;
    for (char c : bytes)
        sum = uint8_t(sum + uint8_t(c));
    bytes.append(char(uint8_t(-sum)));
    return ':' + bytes.toHex().toUpper() + lineEnd;
}

namespace {

constexpr int kDumpRecordBytes = 16;

QByteArray record(uint8_t type, uint16_t address, const QByteArray& data) {
    return intelHexRecord(type, address, data, "\n");
}

}  // namespace

bool loadIntelHex(const QByteArray& text, PicMemory& memory, QString* error) {
    uint32_t upper = 0;
    int lineNumber = 0;
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("HEX line %1: %2").arg(lineNumber).arg(why);
        return false;
    };
    for (QByteArray line : text.split('\n')) {
        ++lineNumber;
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        if (line[0] != ':')
            return fail(QStringLiteral("does not start with ':'"));
        const QByteArray bytes = QByteArray::fromHex(line.mid(1));
        if (bytes.size() * 2 != line.size() - 1 || bytes.size() < 5)
            return fail(QStringLiteral("is not a whole record"));
        const int count = uint8_t(bytes[0]);
        if (bytes.size() != count + 5)
            return fail(QStringLiteral("length does not match its count"));
        uint8_t sum = 0;
        for (char c : bytes)
            sum = uint8_t(sum + uint8_t(c));
        if (sum != 0)
            return fail(QStringLiteral("bad checksum"));
        const uint16_t address = uint16_t((uint8_t(bytes[1]) << 8) | uint8_t(bytes[2]));
        const QByteArray data = bytes.mid(4, count);
        switch (uint8_t(bytes[3])) {
            case 0x00:
                if (!memory.load(upper + address, data))
                    return fail(QStringLiteral("address %1 is not in the board's memory")
                                    .arg(upper + address, 6, 16, QLatin1Char('0')));
                break;
            case 0x01:
                return true;
            case 0x02:
                if (count != 2)
                    return fail(QStringLiteral("bad segment record"));
                upper = ((uint8_t(data[0]) << 8) | uint8_t(data[1])) << 4;
                break;
            case 0x04:
                if (count != 2)
                    return fail(QStringLiteral("bad extended address record"));
                upper = uint32_t((uint8_t(data[0]) << 8) | uint8_t(data[1])) << 16;
                break;
            default:
                break;
        }
    }
    return true;
}

QByteArray dumpIntelHex(const PicMemory& memory) {
    QByteArray out;
    uint32_t upper = 0xFFFFFFFF;
    for (const PicMemory::Area& area : memory.areas()) {
        for (int offset = 0; offset < area.bytes->size(); offset += kDumpRecordBytes) {
            const uint32_t address = area.base + uint32_t(offset);
            if ((address >> 16) != upper) {
                upper = address >> 16;
                QByteArray ext;
                ext.append(char(upper >> 8));
                ext.append(char(upper & 0xFF));
                out += record(0x04, 0, ext);
            }
            out +=
                record(0x00, uint16_t(address & 0xFFFF), area.bytes->mid(offset, kDumpRecordBytes));
        }
    }
    out += record(0x01, 0, {});
    return out;
}

}  // namespace vboard
