// The bootloader library's reply reader, fed with any bytes as the board's
// answer. The library has no entry that takes bytes without a port, so the
// target drives its real C interface over a pseudo-terminal: a peer waits for
// the request, answers with the fuzzer's bytes, then with filler and a valid
// reply, so every exchange ends at once instead of at its time-out.
//
// Input: byte 0 picks the call, byte 1 is its parameter (length or limit),
// the rest is the answer. Frames in the answer use sequence number 0, which a
// fresh connection starts with. Caller buffers are exactly as long as the
// call may fill, so a byte written past them is an AddressSanitizer report.
#include <QByteArray>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "components/nxpicboot/nxpic_wire.h"
#include "components/nxpicboot/nxpicboot.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace nxpic::wire;
using dwnfrw::fuzz::PtyPeer;

constexpr int32_t kBitRate = 115200;
// Generous: the exchange ends on the peer's final frame, never on this.
constexpr int32_t kReadTimeoutMs = 2000;
constexpr int16_t kRetries = 3;
// Past the application's entry block, whose write the library holds back
// until the start request: a write there may send nothing at all.
constexpr uint32_t kProgramAddress = 0x000400;

enum Call { kVersionQuery, kErasePacket, kRead, kVerify, kWrite, kSendThenGet, kCallCount };

PtyPeer& peer() {
    static PtyPeer instance;
    return instance;
}

// A request stands complete once its LEN and CRC have arrived; bytes before
// the start byte are none of the peer's business.
size_t requestLength(const QByteArray& received) {
    const qsizetype start = received.indexOf(static_cast<char>(kRequestStart));
    if (start < 0 || received.size() < start + 2)
        return 0;
    const qsizetype total =
        start + kRequestOverheadBytes + static_cast<uint8_t>(received[start + 1]);
    return received.size() >= total ? static_cast<size_t>(total) : 0;
}

// The fuzzer's bytes, then enough filler to complete any frame they begin,
// then the OK reply the request expects.
QByteArray answerFor(const QByteArray& request, const QByteArray& fuzzed) {
    const qsizetype start = request.indexOf(static_cast<char>(kRequestStart));
    const int length = static_cast<uint8_t>(request[start + 1]);
    const QByteArray body = request.mid(start + 2, length);
    const uint8_t tag = static_cast<uint8_t>(body.at(0));
    const uint8_t command = tag & 0x0F;
    const QByteArray args = body.mid(1);
    const int payload = replyPayloadBytes(command, args);
    // The caller's buffer is all zeros, so the digest that matches it is the
    // digest of that many zero bytes; any other final answer would be a
    // mismatch that the library repeats until its time-out.
    const uint16_t crc = requestCrc(request.mid(start, length + kRequestOverheadBytes));
    QByteArray okPayload(std::max(payload, 0), '\0');
    if (command == kDigest && payload == kDigestBytes) {
        const QByteArray zeros(static_cast<uint8_t>(args[kAddressBytes]), '\0');
        okPayload = digestOf(crc, zeros);
    }
    QByteArray answer = fuzzed;
    answer.append(QByteArray(1 + 1 + kMaxReplyPayloadBytes + 2, '\0'));
    answer.append(encodeReply(crc, kOk, okPayload));
    return answer;
}

[[noreturn]] void fail(const char* what, int call, int result) {
    fprintf(stderr, "call %d: %s (result %d)\n", call, what, result);
    abort();
}

uint8_t blockDataLength(uint8_t parameter) {
    return static_cast<uint8_t>(1 + (parameter & 0x7F) % kMaxDataBytes);
}

// A read longer than its caller's buffer is refused before anything is sent.
bool refusedBeforeSending(int call, uint8_t parameter) {
    return call == kRead && blockDataLength(parameter) > NXPIC_READ_BUFFER_BYTES;
}

// The call the input picks, on an open connection; checks what it returns.
void runCall(int32_t handle, int call, uint8_t parameter) {
    switch (call) {
        case kVersionQuery:
        case kErasePacket: {
            const bool version = call == kVersionQuery;
            const int16_t limit = version ? 10 : 255;
            auto buffer = std::make_unique<uint8_t[]>(NXPIC_PACKET_BUFFER_BYTES);
            const uint8_t versionRequest[] = {NXPIC_CMD_READ_VERSION, 0x02};
            const uint8_t eraseRequest[] = {NXPIC_CMD_ERASE_PROGRAM, 0x01, 0x00, 0x02, 0x00};
            const uint8_t* request = version ? versionRequest : eraseRequest;
            const int16_t length = version ? sizeof versionRequest : sizeof eraseRequest;
            std::copy(request, request + length, buffer.get());
            const int16_t result = SendGetPacket(handle, buffer.get(), length, limit, kRetries);
            if (result > NXPIC_PACKET_BUFFER_BYTES || result > limit)
                fail("more bytes than the buffer or the limit", call, result);
            if (result > 0 && buffer[0] != request[0])
                fail("the reply packet does not start with the command", call, result);
            return;
        }
        case kRead:
        case kVerify:
        case kWrite: {
            PicBlock block{};
            block.Command = call == kWrite       ? NXPIC_CMD_WRITE_PROGRAM
                            : (parameter & 0x80) ? NXPIC_CMD_READ_EEPROM
                                                 : NXPIC_CMD_READ_PROGRAM;
            block.DataLength = blockDataLength(parameter);
            block.Address = kProgramAddress;
            block.BlockSize = 8;
            block.BytesPerAddr = 1;
            block.MaxRetries = kRetries;
            auto buffer = std::make_unique<uint8_t[]>(block.DataLength);
            std::fill(buffer.get(), buffer.get() + block.DataLength, 0);
            const int16_t result = call == kRead     ? ReadPIC(handle, &block, buffer.get())
                                   : call == kVerify ? VerifyPIC(handle, &block, buffer.get())
                                                     : WritePIC(handle, &block, buffer.get());
            if (result > 0 && result != block.DataLength)
                fail("a success that is not the block's length", call, result);
            if (refusedBeforeSending(call, parameter) && result != NXPIC_ERR_TOO_LONG)
                fail("a read longer than its buffer was not refused", call, result);
            return;
        }
        case kSendThenGet: {
            const uint8_t request[] = {NXPIC_CMD_READ_PROGRAM, 0x00, 0x02, 0x00,
                                       static_cast<uint8_t>(parameter % (kMaxDataBytes + 1))};
            auto buffer = std::make_unique<uint8_t[]>(NXPIC_PACKET_BUFFER_BYTES);
            std::copy(request, request + sizeof request, buffer.get());
            const int16_t sent = SendPacket(handle, buffer.get(), sizeof request);
            if (sent < 0)
                return;
            const int16_t limit = static_cast<int16_t>(parameter % 16);
            const int16_t result = GetPacket(handle, buffer.get(), limit);
            if (result > limit || result > NXPIC_PACKET_BUFFER_BYTES)
                fail("more bytes than the buffer or the limit", call, result);
            return;
        }
        default:
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dwnfrw::fuzz::ensureApplication();
    if (!peer().ok()) {
        fprintf(stderr, "no pseudo-terminal for the board\n");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const int call = data[0] % kCallCount;
    const uint8_t parameter = data[1];
    const QByteArray fuzzed = dwnfrw::fuzz::bytesOf(data + 2, size - 2);

    const QByteArray port = peer().devicePath().toLocal8Bit();
    const int32_t handle = OpenPIC(port.constData(), kBitRate, kReadTimeoutMs);
    if (handle <= 0) {
        fprintf(stderr, "OpenPIC(%s) failed: %d\n", port.constData(), handle);
        abort();
    }
    const bool sends = !refusedBeforeSending(call, parameter);
    if (sends) {
        peer().serve(requestLength,
                     [&fuzzed](const QByteArray& request) { return answerFor(request, fuzzed); });
    }
    runCall(handle, call, parameter);
    if (sends && !peer().finish())
        abort();  // the library never sent its request
    ClosePIC(handle);
    return 0;
}
