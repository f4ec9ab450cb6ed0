// The bootloader's serial frames, shared by the host library and the virtual
// board. docs/bootloader-protocol.md describes them for a reader of the wire;
// firmware/bootloader/bootloader.asm is the board's side.
//
// Request: A5, LEN, body (LEN bytes), CRC-16 of LEN+body (low byte first).
//          body[0] = (seq << 4) | command, then the command's arguments: an
//          address (3 bytes) and a count, or an address and data; the start
//          has none.
// Answer:  5A, payload, CHECK (low byte first), where CHECK is the CRC-16 of
//          the status byte and the payload, continued from the request's own
//          CRC. A refusal carries no payload. The answer names its request
//          (sequence number, command, address and data) without repeating
//          any of it.
// A frame the board cannot read (damaged CRC, impossible length, bytes that
// stop coming) gets no answer: the host repeats the request.
#pragma once

#include <QByteArray>
#include <cstdint>
#include <optional>

#include "tools/chipfacts/pic18f452_facts.h"

namespace nxpic::wire {

inline constexpr uint8_t kRequestStart = 0xA5;
inline constexpr uint8_t kReplyStart = 0x5A;

// SOF + LEN + CRC-16 around a request body; SOF + CHECK around an answer's payload.
inline constexpr int kRequestOverheadBytes = 4;
inline constexpr int kReplyOverheadBytes = 3;

inline constexpr int kTagBytes = 1;
inline constexpr int kAddressBytes = 3;
inline constexpr int kCountBytes = 1;
// Data bytes one read or write may carry: three region lines, and what fits a
// caller's data buffer.
inline constexpr int kMaxDataBytes = 48;
// Largest request body: TAG, address, data.
inline constexpr int kMaxRequestBodyBytes = kTagBytes + kAddressBytes + kMaxDataBytes;
// Largest answer payload: a read of kMaxDataBytes.
inline constexpr int kMaxReplyPayloadBytes = kMaxDataBytes;
// A digest answer carries the CRC-16 of the bytes asked for.
inline constexpr int kDigestBytes = 2;

inline constexpr int kSequenceCount = 16;

// The commands the board knows, by their code on the wire.
enum Command : uint8_t {
    kRead = 1,      // address, count (1..48); payload: the bytes
    kWrite = 2,     // address, data (1..48 bytes); no payload
    kErase = 3,     // address, rows (1); no payload
    kDigest = 6,    // address, count (1..48); payload: the digest of the bytes
    kStartApp = 8,  // no arguments; no payload; the board then runs the application
    kWireCodeCount = 16
};

enum Status : uint8_t {
    kOk = 0,
    kUnknownCommand = 1,
    kMisaligned = 2,      // not on a write-block boundary
    kAddressRefused = 3,  // outside every region, or not writable
    kBadLength = 4,       // the arguments do not fit the command
    kStatusCount = 5
};

// Program space as the chip's table pointer sees it; the EEPROM at F00000, as
// in a HEX image of the chip.
inline constexpr uint32_t kEepromBase = 0xF00000;
inline constexpr int kEepromBytes = 256;
// The bootloader's version record, the last word of its boot block: the two
// version bytes the program checks (04 FA).
inline constexpr uint32_t kVersionRecordAddress = 0x0001FE;
inline constexpr int kVersionRecordBytes = 2;
inline constexpr uint8_t kVersionRecord[kVersionRecordBytes] = {0x04, 0xFA};
// Where the bootloader writes and erases: the application's program memory
// (the boot block below it is the bootloader's own) and the user ID.
struct WritableRange {
    uint32_t first;
    uint32_t end;  // one past the last byte
};
inline constexpr uint32_t kUserIdBase = chipfacts::kUserIdFirst;
inline constexpr uint32_t kUserIdEnd = kUserIdBase + chipfacts::kUserIdBytes;
inline constexpr WritableRange kWritableRanges[] = {
    {chipfacts::kBootBlockEnd, chipfacts::kProgramBytes}, {kUserIdBase, kUserIdEnd}};
inline constexpr bool isWritable(uint32_t address) {
    for (const WritableRange& range : kWritableRanges) {
        if (address >= range.first && address < range.end)
            return true;
    }
    return false;
}
// The program's user-ID range is one 16-byte region line; the chip has the
// first eight bytes.
inline constexpr uint32_t kUserIdLineEnd = kUserIdBase + chipfacts::kUserIdWindowBytes;
inline constexpr int kWriteBlockBytes = int(chipfacts::kWriteBlockBytes);
inline constexpr int kEraseRowBytes = int(chipfacts::kEraseRowBytes);
// The application's entry block, its first write block just above the boot
// block: the library writes it last (see nxpicboot.cpp).
inline constexpr uint32_t kEntryBlockAddress = chipfacts::kBootBlockEnd;
inline constexpr int kEntryBlockBytes = kWriteBlockBytes;

// Bytes on the wire per exchange, for anyone who estimates time from them.
inline constexpr int requestBytes(int argumentBytes) {
    return kRequestOverheadBytes + kTagBytes + argumentBytes;
}
inline constexpr int answerBytes(int payloadBytes) {
    return kReplyOverheadBytes + payloadBytes;
}
// Erasing one 64-byte row: address and rows out, an empty answer back.
inline constexpr int kEraseRowExchangeBytes =
    requestBytes(kAddressBytes + kCountBytes) + answerBytes(0);
// Writing dataBytes: address and data out, an empty answer back.
inline constexpr int writeExchangeBytes(int dataBytes) {
    return requestBytes(kAddressBytes + dataBytes) + answerBytes(0);
}
// Verifying any number of bytes: address and count out, the digest back.
inline constexpr int kVerifyExchangeBytes =
    requestBytes(kAddressBytes + kCountBytes) + answerBytes(kDigestBytes);
// A 16-byte region line written and verified.
inline constexpr int kLineExchangeBytes = writeExchangeBytes(16) + kVerifyExchangeBytes;
static_assert(kEraseRowExchangeBytes == 12 && kLineExchangeBytes == 41);

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, no reflection,
// no final XOR ("123456789" gives 0x29B1).
inline uint16_t crc16(const uint8_t* data, int length, uint16_t crc = 0xFFFF) {
    for (int i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

inline uint16_t crc16(const QByteArray& bytes, int from, int length, uint16_t crc = 0xFFFF) {
    return crc16(reinterpret_cast<const uint8_t*>(bytes.constData()) + from, length, crc);
}

inline void appendCrc(QByteArray& frame, uint16_t crc) {
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
}

inline uint16_t readCrc(const QByteArray& bytes, int from) {
    return static_cast<uint8_t>(bytes[from]) | (static_cast<uint8_t>(bytes[from + 1]) << 8);
}

// The digest of bytes in the answer to the request whose CRC is requestCrc:
// their CRC-16 continued from the request's CRC, low byte first.
inline QByteArray digestOf(uint16_t requestCrc, const QByteArray& bytes) {
    QByteArray digest;
    appendCrc(digest, crc16(bytes, 0, static_cast<int>(bytes.size()), requestCrc));
    return digest;
}

inline uint8_t makeTag(int seq, int low) {
    return static_cast<uint8_t>(((seq & 0x0F) << 4) | (low & 0x0F));
}

// A whole request frame for a body that starts with its TAG.
inline QByteArray encodeRequest(const QByteArray& body) {
    QByteArray frame;
    frame.reserve(body.size() + kRequestOverheadBytes);
    frame.append(static_cast<char>(kRequestStart));
    frame.append(static_cast<char>(body.size()));
    frame.append(body);
    appendCrc(frame, crc16(frame, 1, static_cast<int>(frame.size()) - 1));
    return frame;
}

// The CRC a request frame carries: what its answer's CHECK continues from.
inline uint16_t requestCrc(const QByteArray& frame) {
    return readCrc(frame, static_cast<int>(frame.size()) - 2);
}

// CHECK of an answer with this status and payload to the request whose CRC is
// requestCrc.
inline uint16_t answerCheck(uint16_t requestCrc, Status status, const QByteArray& payload) {
    const uint8_t statusByte = status;
    return crc16(payload, 0, static_cast<int>(payload.size()), crc16(&statusByte, 1, requestCrc));
}

// The whole answer; a refusal's payload is left out.
inline QByteArray encodeReply(uint16_t requestCrc, Status status, const QByteArray& payload) {
    const QByteArray sent = status == kOk ? payload : QByteArray();
    QByteArray frame;
    frame.reserve(sent.size() + kReplyOverheadBytes);
    frame.append(static_cast<char>(kReplyStart));
    frame.append(sent);
    appendCrc(frame, answerCheck(requestCrc, status, sent));
    return frame;
}

inline void appendAddress(QByteArray& bytes, uint32_t address) {
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append(static_cast<char>((address >> 8) & 0xFF));
    bytes.append(static_cast<char>((address >> 16) & 0xFF));
}

inline uint32_t readAddress(const QByteArray& bytes, int from) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData()) + from;
    return p[0] | (p[1] << 8) | (static_cast<uint32_t>(p[2]) << 16);
}

// Payload bytes of an OK answer to command with these arguments (after TAG);
// -1 when the arguments do not fit the command.
inline int replyPayloadBytes(uint8_t command, const QByteArray& args) {
    const bool addressAndCount = args.size() == kAddressBytes + kCountBytes;
    switch (command) {
        case kRead:
            return addressAndCount ? static_cast<uint8_t>(args[kAddressBytes]) : -1;
        case kDigest:
            return addressAndCount ? kDigestBytes : -1;
        case kWrite:
            return args.size() > kAddressBytes ? 0 : -1;
        case kErase:
            return addressAndCount ? 0 : -1;
        case kStartApp:
            return args.isEmpty() ? 0 : -1;
        default:
            return -1;
    }
}

// A request of the bootloader library's interface (the packet commands 0 to
// 5, the digests 6 and 7 of program space and EEPROM, the start 8) as the
// board takes it on the wire: EEPROM commands become program-space commands
// at kEepromBase, the version query a read of the version record, and an
// erase's rows follow its address. Nothing when it has no form on the wire.
struct WireRequest {
    uint8_t command;
    QByteArray args;
};
inline std::optional<WireRequest> toWire(uint8_t command, const QByteArray& args) {
    const auto shifted = [&](uint8_t wireCommand) -> std::optional<WireRequest> {
        if (args.size() < kAddressBytes)
            return std::nullopt;
        const uint32_t address = readAddress(args, 0);
        if (address >= 0x10000)
            return std::nullopt;
        QByteArray moved;
        appendAddress(moved, kEepromBase + address);
        moved.append(args.mid(kAddressBytes));
        return WireRequest{wireCommand, moved};
    };
    switch (command) {
        case 0: {  // version query: count 2, the two bytes of the version record
            if (args.size() != 1 || static_cast<uint8_t>(args[0]) != kVersionRecordBytes)
                return std::nullopt;
            QByteArray read;
            appendAddress(read, kVersionRecordAddress);
            read.append(static_cast<char>(kVersionRecordBytes));
            return WireRequest{kRead, read};
        }
        case 1:
            return WireRequest{kRead, args};
        case 2:
            return WireRequest{kWrite, args};
        case 3:  // rows, address -> address, rows
            if (args.size() != kCountBytes + kAddressBytes)
                return std::nullopt;
            return WireRequest{kErase, args.mid(kCountBytes) + args.left(kCountBytes)};
        case 4:
            return shifted(kRead);
        case 5:
            return shifted(kWrite);
        case 6:
            return WireRequest{kDigest, args};
        case 7:
            return shifted(kDigest);
        case 8:
            return WireRequest{kStartApp, args};
        default:
            return std::nullopt;
    }
}

// The reply packet's data after the command code, from an OK payload: the
// version query answers with its count before the version bytes.
inline QByteArray packetData(uint8_t command, const QByteArray& payload) {
    return command == 0 ? QByteArray(1, static_cast<char>(payload.size())) + payload : payload;
}

}  // namespace nxpic::wire
