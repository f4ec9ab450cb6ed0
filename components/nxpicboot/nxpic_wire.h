// The bootloader's serial frames, shared by the host library and the virtual
// board. docs/bootloader-protocol.md describes them for a reader of the wire.
//
// Request: A5, LEN, body (LEN bytes), CRC-16 of LEN+body (low byte first).
//          body[0] = (seq << 4) | command, then the command's arguments.
// Answer:  5A, payload, CHECK (low byte first), where CHECK is the CRC-16 of
//          the status byte and the payload, continued from the request's own
//          CRC. A refusal carries zeros in place of the payload, so every
//          answer to a request has the length the request implies and a
//          refusal is never read in the first bytes of a longer answer. The
//          answer names its request (sequence number, command, address and
//          data) without repeating any of it.
// NAK:     5A 15 EA, sent when the board received bytes it could not read as a
//          request (damaged CRC, impossible length, a frame cut short).
#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

namespace nxpic::wire {

inline constexpr uint8_t kRequestStart = 0xA5;
inline constexpr uint8_t kReplyStart = 0x5A;
inline constexpr uint8_t kNak[3] = {kReplyStart, 0x15, 0xEA};
inline constexpr int kNakBytes = 3;

// SOF + LEN + CRC-16 around a request body; SOF + CHECK after an answer's payload.
inline constexpr int kRequestOverheadBytes = 4;
inline constexpr int kReplyOverheadBytes = 3;

inline constexpr int kAddressBytes = 3;
// Data bytes one read or write may carry: three region lines, and what fits a
// caller's data buffer.
inline constexpr int kMaxDataBytes = 48;
// Largest request body: TAG, address, data.
inline constexpr int kMaxRequestBodyBytes = 1 + kAddressBytes + kMaxDataBytes;
// Largest answer payload: a read of kMaxDataBytes.
inline constexpr int kMaxReplyPayloadBytes = kMaxDataBytes;
// A digest answer carries the CRC-32 of the bytes asked for.
inline constexpr int kDigestBytes = 4;

inline constexpr int kSequenceCount = 16;

enum Command : uint8_t {
    kReadVersion = 0,    // args: count (2); payload: count, version bytes
    kReadProgram = 1,    // args: address (3), count; payload: count bytes
    kWriteProgram = 2,   // args: address (3), data; no payload
    kEraseProgram = 3,   // args: rows (1), address (3); no payload
    kReadEeprom = 4,     // args: address (3), count; payload: count bytes
    kWriteEeprom = 5,    // args: address (3), data; no payload
    kDigestProgram = 6,  // args: address (3), count; payload: CRC-32 of the bytes
    kDigestEeprom = 7,   // args: address (3), count; payload: CRC-32 of the bytes
    kCommandCount = 8
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

inline uint16_t crc16(const QByteArray& bytes, int from, int length, uint16_t crc = 0xFFFF) {
    return crc16(reinterpret_cast<const uint8_t*>(bytes.constData()) + from, length, crc);
}

// CRC-32 (IEEE 802.3, reflected, polynomial 0xEDB88320): the digest of a verify.
inline uint32_t crc32(const uint8_t* data, int length) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

inline QByteArray digestBytes(uint32_t digest) {
    QByteArray bytes;
    for (int i = 0; i < kDigestBytes; ++i)
        bytes.append(static_cast<char>((digest >> (8 * i)) & 0xFF));
    return bytes;
}

inline void appendCrc(QByteArray& frame, uint16_t crc) {
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
}

inline uint16_t readCrc(const QByteArray& bytes, int from) {
    return static_cast<uint8_t>(bytes[from]) | (static_cast<uint8_t>(bytes[from + 1]) << 8);
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

// The whole answer; payload is the OK payload, or a refusal's zeros.
inline QByteArray encodeReply(uint16_t requestCrc, Status status, const QByteArray& payload) {
    QByteArray frame;
    frame.reserve(payload.size() + kReplyOverheadBytes);
    frame.append(static_cast<char>(kReplyStart));
    frame.append(payload);
    appendCrc(frame, answerCheck(requestCrc, status, payload));
    return frame;
}

inline QByteArray nakFrame() {
    return QByteArray(reinterpret_cast<const char*>(kNak), kNakBytes);
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
    switch (command) {
        case kReadVersion:
            return args.size() == 1 ? 1 + static_cast<uint8_t>(args[0]) : -1;
        case kReadProgram:
        case kReadEeprom:
            return args.size() == kAddressBytes + 1 ? static_cast<uint8_t>(args[kAddressBytes])
                                                    : -1;
        case kDigestProgram:
        case kDigestEeprom:
            return args.size() == kAddressBytes + 1 ? kDigestBytes : -1;
        case kWriteProgram:
        case kWriteEeprom:
            return args.size() > kAddressBytes ? 0 : -1;
        case kEraseProgram:
            return args.size() == 1 + kAddressBytes ? 0 : -1;
        default:
            return -1;
    }
}

// Payload bytes of every answer to this request (a refusal's zeros too): those
// of an OK answer, or none when the request cannot be answered with one.
inline int answerPayloadBytes(uint8_t command, const QByteArray& args) {
    const int n = replyPayloadBytes(command, args);
    return n < 0 || n > kMaxReplyPayloadBytes ? 0 : n;
}

// Bytes on the wire, both ways, of one exchange: the request frame around TAG
// and argBytes of arguments, and an answer with payloadBytes. Whoever plans
// or times exchanges counts with these, so a change of the frames reaches them.
inline constexpr int exchangeBytes(int argBytes, int payloadBytes) {
    return kRequestOverheadBytes + 1 + argBytes + payloadBytes + kReplyOverheadBytes;
}
// Erasing: rows and address, no payload.
inline constexpr int kEraseExchangeBytes = exchangeBytes(1 + kAddressBytes, 0);
// Writing dataBytes at an address, no payload.
inline constexpr int writeExchangeBytes(int dataBytes) {
    return exchangeBytes(kAddressBytes + dataBytes, 0);
}
// Verifying by digest: address and count, the digest back.
inline constexpr int kDigestExchangeBytes = exchangeBytes(kAddressBytes + 1, kDigestBytes);

}  // namespace nxpic::wire
