// The bootloader library: one frame writer (sendRequest), one reply reader with
// resynchronisation (ReplyReader), one exchange with time-outs and retries
// (exchange), one table of result codes (kResults).

#include "nxpicboot.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "components/nxpicboot/nxpic_wire.h"
#include "platform/serial_line.h"

namespace {

using namespace nxpic::wire;
using dwnfrw::serial::Clock;
using dwnfrw::serial::SerialLine;

// --- Time-outs -----------------------------------------------------------

// 8N1: a start bit, eight data bits and a stop bit per byte.
constexpr double kBitsPerByte = 10.0;
// USB serial adapters hand received bytes over in packets, up to 16 ms late.
constexpr int kUsbLatencyMs = 16;
// Once a reply's worth of bytes has arrived without a good reply among them,
// the board has answered and the answer was damaged: after this much quiet
// (plus the board's working time) the exchange is repeated at once instead of
// waiting out the whole read time-out.
constexpr int kDamagedReplyQuietMs = 20;
// The board's own working time before it answers, per command.
constexpr int kVersionWorkMs = 2;
constexpr int kReadWorkMs = 2;
constexpr int kProgramBlockWriteWorkMs = 2;  // per write block
constexpr int kEepromByteWriteWorkMs = 4;    // per byte
constexpr int kEraseRowWorkMs = 4;           // per row

// --- Result codes --------------------------------------------------------

struct ResultInfo {
    int32_t code;
    const char* text;
};

constexpr ResultInfo kResults[] = {
    {NXPIC_OK, "success"},
    {NXPIC_ERR_PORT_OPEN, "the serial port cannot be opened"},
    {NXPIC_ERR_BAD_HANDLE, "no open connection with this handle"},
    {NXPIC_ERR_BAD_ARGUMENT, "invalid argument (null buffer, length, command or address)"},
    {NXPIC_ERR_TIMEOUT, "the bootloader did not answer within the retries"},
    {NXPIC_ERR_PORT_IO, "the serial port failed or went away and was closed"},
    {NXPIC_ERR_REFUSED, "the bootloader refused the address"},
    {NXPIC_ERR_BAD_REPLY, "the bootloader's reply does not fit the request"},
    {NXPIC_ERR_UNKNOWN_COMMAND, "the bootloader does not know the command"},
    {NXPIC_ERR_BAD_LENGTH, "the bootloader refused the length of the request"},
    {NXPIC_ERR_MISALIGNED, "the address is not on a write-block or erase-row boundary"},
    {NXPIC_ERR_VERIFY, "the device holds other bytes than expected"},
};

int16_t resultOfStatus(uint8_t status) {
    switch (status) {
        case kOk:
            return NXPIC_OK;
        case kUnknownCommand:
            return NXPIC_ERR_UNKNOWN_COMMAND;
        case kBadLength:
            return NXPIC_ERR_BAD_LENGTH;
        case kAddressRefused:
            return NXPIC_ERR_REFUSED;
        case kMisaligned:
            return NXPIC_ERR_MISALIGNED;
        default:
            return NXPIC_ERR_BAD_REPLY;
    }
}

// --- Reply reader --------------------------------------------------------

struct Reply {
    uint8_t status = kOk;
    QByteArray payload;
};

// Collects received bytes and finds the reply to one request in them. Noise,
// a damaged frame or a late reply to an earlier attempt never makes it lose a
// good frame behind them: it drops only the start byte and scans on.
class ReplyReader {
  public:
    void clear() { buffer_.clear(); }
    void append(const QByteArray& bytes) { buffer_.append(bytes); }

    // The reply to sequence number seq whose OK payload has payloadBytes bytes,
    // once it stands complete in the buffer.
    std::optional<Reply> take(int seq, int payloadBytes) {
        for (;;) {
            const qsizetype start = buffer_.indexOf(static_cast<char>(kReplyStart));
            if (start < 0) {
                buffer_.clear();
                return std::nullopt;
            }
            buffer_.remove(0, start);
            if (buffer_.size() < 2)
                return std::nullopt;
            const auto tag = static_cast<uint8_t>(buffer_[1]);
            const uint8_t status = tag & 0x0F;
            if ((tag >> 4) != (seq & 0x0F) || status >= kStatusCount) {
                buffer_.remove(0, 1);
                continue;
            }
            const int body = 1 + (status == kOk ? payloadBytes : 0);
            const int frameBytes = 1 + body + 2;
            if (buffer_.size() < frameBytes)
                return std::nullopt;
            const uint16_t crc = crc16(buffer_, 1, body);
            const uint16_t sent = static_cast<uint8_t>(buffer_[1 + body]) |
                                  (static_cast<uint8_t>(buffer_[2 + body]) << 8);
            if (crc != sent) {
                buffer_.remove(0, 1);
                continue;
            }
            Reply reply{status, buffer_.mid(2, body - 1)};
            buffer_.remove(0, frameBytes);
            return reply;
        }
    }

  private:
    QByteArray buffer_;
};

// --- Connections ---------------------------------------------------------

struct Pending {
    int seq = 0;
    uint8_t command = 0;
    int payloadBytes = 0;
    int timeoutMs = 0;
    int workMs = 0;
};

struct Connection {
    SerialLine line;
    int32_t bitRate = 0;
    int32_t readTimeoutMs = 0;
    int nextSeq = 0;
    ReplyReader reader;
    std::optional<Pending> pending;  // SendPacket's request, awaiting GetPacket
};

std::mutex g_mutex;  // one library call at a time
std::map<int32_t, std::unique_ptr<Connection>> g_connections;
int32_t g_nextHandle = 1;

Connection* findConnection(int32_t handle) {
    const auto it = g_connections.find(handle);
    return it == g_connections.end() ? nullptr : it->second.get();
}

// The reply time-out of one exchange: the bytes of request and reply on the
// wire, the board's working time and the adapter's latency, never below the
// read time-out the caller gave OpenPIC.
int replyTimeoutMs(const Connection& c, int requestBytes, int replyBytes, int workMs) {
    const double byteMs = kBitsPerByte * 1000.0 / c.bitRate;
    const int wireMs = static_cast<int>(std::ceil((requestBytes + replyBytes) * byteMs));
    return std::max(c.readTimeoutMs, wireMs + workMs + kUsbLatencyMs);
}

int workMsFor(uint8_t command, const QByteArray& args, int blockSize) {
    switch (command) {
        case kWriteProgram: {
            const int dataBytes = static_cast<int>(args.size()) - kAddressBytes;
            const int block = std::max(blockSize, 1);
            return (dataBytes + block - 1) / block * kProgramBlockWriteWorkMs;
        }
        case kWriteEeprom:
            return (static_cast<int>(args.size()) - kAddressBytes) * kEepromByteWriteWorkMs;
        case kEraseProgram:
            return std::max<int>(static_cast<uint8_t>(args[0]), 1) * kEraseRowWorkMs;
        case kReadVersion:
            return kVersionWorkMs;
        default:
            return kReadWorkMs;
    }
}

// The one frame writer: sends a request with a fresh sequence number after
// dropping whatever stale input is waiting. Returns the pending exchange.
std::optional<Pending> sendRequest(Connection& c, uint8_t command, const QByteArray& args,
                                   int payloadBytes, int workMs, int16_t& failure) {
    c.line.clearInput();
    c.reader.clear();
    Pending p;
    p.seq = c.nextSeq;
    c.nextSeq = (c.nextSeq + 1) % kSequenceCount;
    p.command = command;
    p.payloadBytes = payloadBytes;
    QByteArray body;
    body.reserve(args.size() + 1);
    body.append(static_cast<char>(makeTag(p.seq, command)));
    body.append(args);
    const QByteArray frame = encodeRequest(body);
    p.workMs = workMs;
    p.timeoutMs = replyTimeoutMs(c, static_cast<int>(frame.size()),
                                 payloadBytes + 1 + kReplyOverheadBytes, workMs);
    const auto deadline = Clock::now() + std::chrono::milliseconds(p.timeoutMs);
    if (!c.line.write(frame, deadline)) {
        failure = c.line.isOpen() ? NXPIC_ERR_TIMEOUT : NXPIC_ERR_PORT_IO;
        return std::nullopt;
    }
    return p;
}

// Waits for the reply to p until its time-out. NXPIC_OK with the payload, a
// refusal of the board, NXPIC_ERR_TIMEOUT or NXPIC_ERR_PORT_IO.
int16_t awaitReply(Connection& c, const Pending& p, QByteArray& payload) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(p.timeoutMs);
    const int replyBytes = p.payloadBytes + 1 + kReplyOverheadBytes;
    int received = 0;
    for (;;) {
        if (auto reply = c.reader.take(p.seq, p.payloadBytes)) {
            payload = reply->payload;
            return resultOfStatus(reply->status);
        }
        auto waitUntil = deadline;
        if (received >= replyBytes) {
            waitUntil =
                std::min(deadline,
                         Clock::now() + std::chrono::milliseconds(kDamagedReplyQuietMs + p.workMs));
        }
        const QByteArray bytes = c.line.readSome(waitUntil);
        if (!c.line.isOpen())
            return NXPIC_ERR_PORT_IO;
        if (bytes.isEmpty())
            return NXPIC_ERR_TIMEOUT;
        received += static_cast<int>(bytes.size());
        c.reader.append(bytes);
    }
}

// One exchange, attempted up to `attempts` times. Every request carries its
// address, so a repetition after a lost reply does the same thing again.
int16_t exchange(Connection& c, uint8_t command, const QByteArray& args, int blockSize,
                 int attempts, QByteArray& payload) {
    const int payloadBytes = replyPayloadBytes(command, args);
    if (payloadBytes < 0 || payloadBytes > kMaxReplyPayloadBytes)
        return NXPIC_ERR_BAD_ARGUMENT;
    const int workMs = workMsFor(command, args, blockSize);
    int16_t result = NXPIC_ERR_TIMEOUT;
    for (int attempt = 0; attempt < std::max(attempts, 1); ++attempt) {
        if (!c.line.isOpen())
            return NXPIC_ERR_PORT_IO;
        int16_t failure = NXPIC_OK;
        const auto pending = sendRequest(c, command, args, payloadBytes, workMs, failure);
        if (!pending) {
            if (failure == NXPIC_ERR_PORT_IO)
                return failure;
            result = failure;
            continue;
        }
        result = awaitReply(c, *pending, payload);
        // A refusal is the board's answer: asking again gets the same one.
        if (result != NXPIC_ERR_TIMEOUT)
            return result;
    }
    return result;
}

bool validBlock(const PicBlock* block, const uint8_t* buffer) {
    return block != nullptr && buffer != nullptr && block->DataLength >= 1 &&
           block->DataLength <= kMaxDataBytes && block->Address >= 0 && block->BytesPerAddr >= 1;
}

// Address, as a byte address, in the three bytes of the wire; empty when it
// does not fit 24 bits.
std::optional<QByteArray> addressArgs(const PicBlock& block) {
    const int64_t byteAddress = static_cast<int64_t>(block.Address) * block.BytesPerAddr;
    if (byteAddress > 0xFFFFFF)
        return std::nullopt;
    QByteArray args;
    appendAddress(args, static_cast<uint32_t>(byteAddress));
    return args;
}

bool isReadCommand(uint8_t command) {
    return command == kReadProgram || command == kReadEeprom;
}
bool isWriteCommand(uint8_t command) {
    return command == kWriteProgram || command == kWriteEeprom;
}

// Reads block's DataLength bytes at its address into data.
int16_t readBlock(Connection& c, const PicBlock& block, QByteArray& data) {
    if (!isReadCommand(block.Command))
        return NXPIC_ERR_BAD_ARGUMENT;
    auto args = addressArgs(block);
    if (!args)
        return NXPIC_ERR_BAD_ARGUMENT;
    args->append(static_cast<char>(block.DataLength));
    const int16_t result =
        exchange(c, block.Command, *args, block.BlockSize, block.MaxRetries, data);
    if (result < 0)
        return result;
    return data.size() == block.DataLength ? int16_t(block.DataLength)
                                           : int16_t(NXPIC_ERR_BAD_REPLY);
}

}  // namespace

extern "C" {

NXPICBOOT_API const char* NXPICBOOT_CALL NxpicResultText(int32_t result) {
    if (result > 0)
        return "success";
    for (const ResultInfo& info : kResults) {
        if (info.code == result)
            return info.text;
    }
    return "unknown result code";
}

NXPICBOOT_API int32_t NXPICBOOT_CALL OpenPIC(const char* portName, int32_t bitRate,
                                             int32_t readTimeoutMs) {
    if (portName == nullptr || portName[0] == '\0' || bitRate <= 0)
        return NXPIC_ERR_PORT_OPEN;
    auto connection = std::make_unique<Connection>();
    connection->bitRate = bitRate;
    connection->readTimeoutMs = std::max(readTimeoutMs, 0);
    if (!connection->line.open(QString::fromLocal8Bit(portName), bitRate))
        return NXPIC_ERR_PORT_OPEN;
    std::lock_guard lock(g_mutex);
    const int32_t handle = g_nextHandle++;
    g_connections.emplace(handle, std::move(connection));
    return handle;
}

NXPICBOOT_API int32_t NXPICBOOT_CALL ClosePIC(int32_t handle) {
    std::unique_ptr<Connection> closing;
    {
        std::lock_guard lock(g_mutex);
        const auto it = g_connections.find(handle);
        if (it == g_connections.end())
            return NXPIC_ERR_BAD_HANDLE;
        closing = std::move(it->second);
        g_connections.erase(it);
    }
    closing->line.close();
    return NXPIC_OK;
}

NXPICBOOT_API int16_t NXPICBOOT_CALL SendPacket(int32_t handle, uint8_t* buffer, int16_t length) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (buffer == nullptr || length < 1 || length > NXPIC_PACKET_BUFFER_BYTES)
        return NXPIC_ERR_BAD_ARGUMENT;
    const uint8_t command = buffer[0];
    const QByteArray args(reinterpret_cast<const char*>(buffer) + 1, length - 1);
    const int payloadBytes = replyPayloadBytes(command, args);
    if (command >= kCommandCount || payloadBytes < 0 || payloadBytes > kMaxReplyPayloadBytes)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (!c->line.isOpen())
        return NXPIC_ERR_PORT_IO;
    int16_t failure = NXPIC_OK;
    c->pending = sendRequest(*c, command, args, payloadBytes, workMsFor(command, args, 0), failure);
    return c->pending ? length : failure;
}

NXPICBOOT_API int16_t NXPICBOOT_CALL GetPacket(int32_t handle, uint8_t* buffer, int16_t limit) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (buffer == nullptr || limit < 0)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (!c->pending)
        return NXPIC_ERR_BAD_ARGUMENT;
    const Pending pending = *c->pending;
    c->pending.reset();
    QByteArray payload;
    const int16_t result = awaitReply(*c, pending, payload);
    if (result < 0)
        return result;
    const int stored =
        std::min<int>({1 + static_cast<int>(payload.size()), limit, NXPIC_PACKET_BUFFER_BYTES});
    if (stored > 0)
        buffer[0] = pending.command;
    if (stored > 1)
        std::memcpy(buffer + 1, payload.constData(), stored - 1);
    return static_cast<int16_t>(stored);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL SendGetPacket(int32_t handle, uint8_t* buffer,
                                                   int16_t sendLength, int16_t receiveLimit,
                                                   int16_t retries) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (buffer == nullptr || sendLength < 1 || sendLength > NXPIC_PACKET_BUFFER_BYTES ||
        receiveLimit < 0 || buffer[0] >= kCommandCount)
        return NXPIC_ERR_BAD_ARGUMENT;
    const uint8_t command = buffer[0];
    const QByteArray args(reinterpret_cast<const char*>(buffer) + 1, sendLength - 1);
    QByteArray payload;
    const int16_t result = exchange(*c, command, args, 0, retries, payload);
    if (result < 0)
        return result;
    // The reply packet is the command code followed by the reply's payload.
    const int stored = std::min<int>(
        {1 + static_cast<int>(payload.size()), receiveLimit, NXPIC_PACKET_BUFFER_BYTES});
    if (stored > 0)
        buffer[0] = command;
    if (stored > 1)
        std::memcpy(buffer + 1, payload.constData(), stored - 1);
    return static_cast<int16_t>(stored);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL ReadPIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer))
        return NXPIC_ERR_BAD_ARGUMENT;
    QByteArray data;
    const int16_t result = readBlock(*c, *block, data);
    if (result < 0)
        return result;
    std::memcpy(buffer, data.constData(), data.size());
    return result;
}

NXPICBOOT_API int16_t NXPICBOOT_CALL WritePIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer) || !isWriteCommand(block->Command))
        return NXPIC_ERR_BAD_ARGUMENT;
    auto args = addressArgs(*block);
    if (!args)
        return NXPIC_ERR_BAD_ARGUMENT;
    args->append(reinterpret_cast<const char*>(buffer), block->DataLength);
    QByteArray payload;
    const int16_t result =
        exchange(*c, block->Command, *args, block->BlockSize, block->MaxRetries, payload);
    return result < 0 ? result : int16_t(block->DataLength);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL VerifyPIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer))
        return NXPIC_ERR_BAD_ARGUMENT;
    // Read into a buffer of our own: the caller's bytes are the expected ones.
    QByteArray data;
    const int16_t result = readBlock(*c, *block, data);
    if (result < 0)
        return result;
    return std::memcmp(buffer, data.constData(), data.size()) == 0 ? result
                                                                   : int16_t(NXPIC_ERR_VERIFY);
}

}  // extern "C"
