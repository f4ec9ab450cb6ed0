#include "tools/vboard/image_check.h"

#include <QList>
#include <map>

#include "tools/vboard/pic_memory.h"

namespace vboard {

namespace {

constexpr uint32_t kConfigFirst = chipfacts::kConfigFirst;
constexpr uint32_t kConfigLast = 0x3FFFFF;
constexpr int kMismatchesReported = 8;

bool writtenByUpdates(uint32_t address) {
    if (address < pic18f452Layout().bootBlockEnd)
        return false;
    return address < kConfigFirst || address > kConfigLast;
}

}  // namespace

ImageCheck checkImage(const QByteArray& hexText,
                      const std::function<QByteArray(uint32_t, int)>& read) {
    ImageCheck check;
    // The image as the updater merges it: a later record's byte wins over an
    // earlier one, except 0xFF, which never hides a byte given before.
    std::map<uint32_t, uint8_t> image;
    uint32_t upper = 0;
    int lineNumber = 0;
    for (QByteArray line : hexText.split('\n')) {
        ++lineNumber;
        line = line.trimmed();
        if (line.isEmpty() || line[0] != ':')
            continue;
        const QByteArray bytes = QByteArray::fromHex(line.mid(1));
        if (bytes.size() < 5 || bytes.size() != 5 + uint8_t(bytes[0])) {
            check.report = QStringLiteral("image line %1 is not a valid record").arg(lineNumber);
            return check;
        }
        const int count = uint8_t(bytes[0]);
        const uint32_t offset = (uint8_t(bytes[1]) << 8) | uint8_t(bytes[2]);
        const int type = uint8_t(bytes[3]);
        if (type == 1)
            break;
        if (type == 4 && count == 2)
            upper = (uint8_t(bytes[4]) << 8) | uint8_t(bytes[5]);
        if (type != 0)
            continue;
        const uint32_t base = (upper << 16) + offset;
        for (int i = 0; i < count; ++i) {
            const uint8_t value = uint8_t(bytes[4 + i]);
            const auto [at, added] = image.try_emplace(base + uint32_t(i), value);
            if (!added && value != 0xFF)
                at->second = value;
        }
    }
    QStringList problems;
    for (const auto& [address, expected] : image) {
        if (!writtenByUpdates(address)) {
            ++check.bytesSkipped;
            continue;
        }
        ++check.bytesChecked;
        const QByteArray board = read(address, 1);
        if (!board.isEmpty() && uint8_t(board[0]) == expected)
            continue;
        if (++check.mismatches <= kMismatchesReported) {
            problems.append(QStringLiteral("%1: board %2, image %3")
                                .arg(address, 6, 16, QLatin1Char('0'))
                                .arg(!board.isEmpty() ? QString::number(uint8_t(board[0]), 16)
                                                      : QStringLiteral("--"))
                                .arg(expected, 2, 16, QLatin1Char('0'))
                                .toUpper());
        }
    }
    check.equal = check.mismatches == 0 && check.bytesChecked > 0;
    if (check.equal) {
        check.report = QStringLiteral(
                           "board memory equals the image: %1 bytes checked "
                           "(%2 in the boot block or configuration not written)")
                           .arg(check.bytesChecked)
                           .arg(check.bytesSkipped);
    } else if (check.bytesChecked == 0) {
        check.report = QStringLiteral("the image holds no byte that an update writes");
    } else {
        check.report = QStringLiteral("board memory differs from the image in %1 of %2 bytes: %3")
                           .arg(check.mismatches)
                           .arg(check.bytesChecked)
                           .arg(problems.join(QStringLiteral("; ")));
    }
    return check;
}

}  // namespace vboard
