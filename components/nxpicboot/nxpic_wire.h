// The bootloader's serial frames, shared by the host library and the virtual
// board. docs/bootloader-protocol.md describes them for a reader of the wire.
//
// Request: A5, LEN, body (LEN bytes), CRC-16 of LEN+body (low byte first).
//          body[0] = (seq << 4) | command, then the command's arguments.
// Reply:   5A, TAG, payload, CRC-16 of TAG+payload (low byte first).
//          TAG = (seq << 4) | status. The payload's length follows from the
//          request, and a reply with a status other than OK has none, so the
//          reply spends no byte on a length and the host still knows where the
//          frame ends.
#pragma once

#include <QByteArray>
#include <cstdint>

namespace nxpic::wire {

inline constexpr uint8_t kRequestStart = 0xA5;
inline constexpr uint8_t kReplyStart = 0x5A;

// SOF + LEN + CRC-16 around a request body; SOF + CRC-16 around a reply's
// TAG and payload.
inline constexpr int kRequestOverheadBytes = 4;
inline constexpr int kReplyOverheadBytes = 3;

inline constexpr int kAddressBytes = 3;
// Data bytes one read or write may carry: three region lines, and what fits a
// caller's data buffer.
inline constexpr int kMaxDataBytes = 48;
// Largest request body: TAG, address, data.
inline constexpr int kMaxRequestBodyBytes = 1 + kAddressBytes + kMaxDataBytes;
// Largest reply payload: a read of kMaxDataBytes.
inline constexpr int kMaxReplyPayloadBytes = kMaxDataBytes;

inline constexpr int kSequenceCount = 16;

enum Command : uint8_t {
    kReadVersion = 0,   // args: count (2); reply payload: count, version bytes
    kReadProgram = 1,   // args: address (3), count; reply payload: count bytes
    kWriteProgram = 2,  // args: address (3), data; no payload
    kEraseProgram = 3,  // args: rows (1), address (3); no payload
    kReadEeprom = 4,    // args: address (3), count; reply payload: count bytes
    kWriteEeprom = 5,   // args: address (3), data; no payload
    kCommandCount = 6
};

enum Status : uint8_t {
    kOk = 0,
    kUnknownCommand = 1,
    kBadLength = 2,       // the arguments do not fit the command
    kAddressRefused = 3,  // outside every region, or not writable
    kMisaligned = 4,      // not on a write-block or row boundary
    kStatusCount = 5
};

// The version the resident bootloader reports: bytes 04 FA after the count.
inline constexpr uint8_t kVersionCountByte = 2;

// CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF.
inline uint16_t crc16(const uint8_t* data, int length, uint16_t crc = 0xFFFF) {
    for (int i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

inline uint16_t crc16(const QByteArray& bytes, int from, int length) {
    return crc16(reinterpret_cast<const uint8_t*>(bytes.constData()) + from, length);
}

inline void appendCrc(QByteArray& frame, int from) {
    const uint16_t crc = crc16(frame, from, static_cast<int>(frame.size()) - from);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
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
    appendCrc(frame, 1);
    return frame;
}

inline QByteArray encodeReply(int seq, Status status, const QByteArray& payload) {
    QByteArray frame;
    frame.reserve(payload.size() + kReplyOverheadBytes + 1);
    frame.append(static_cast<char>(kReplyStart));
    frame.append(static_cast<char>(makeTag(seq, status)));
    if (status == kOk)
        frame.append(payload);
    appendCrc(frame, 1);
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

// Payload bytes of an OK reply to command with these arguments (after TAG);
// -1 when the arguments do not fit the command.
inline int replyPayloadBytes(uint8_t command, const QByteArray& args) {
    switch (command) {
        case kReadVersion:
            return args.size() == 1 ? 1 + static_cast<uint8_t>(args[0]) : -1;
        case kReadProgram:
        case kReadEeprom:
            return args.size() == kAddressBytes + 1 ? static_cast<uint8_t>(args[kAddressBytes])
                                                    : -1;
        case kWriteProgram:
        case kWriteEeprom:
            return args.size() > kAddressBytes ? 0 : -1;
        case kEraseProgram:
            return args.size() == 1 + kAddressBytes ? 0 : -1;
        default:
            return -1;
    }
}

}  // namespace nxpic::wire
