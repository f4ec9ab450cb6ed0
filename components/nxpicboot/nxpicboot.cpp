// The bootloader library: one frame writer (sendRequest), one reply reader with
// resynchronisation (takeAnswer), one exchange with its repetitions and
// time-outs (exchange), one table of result codes (kResults).

#include "nxpicboot.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
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

// --- Timing --------------------------------------------------------------

// 8N1: a start bit, eight data bits and a stop bit per byte.
constexpr double kBitsPerByte = 10.0;
// USB serial adapters hand received bytes over in packets, up to 16 ms late.
constexpr int kUsbLatencyMs = 16;
// A reply that has not come whole once it is due is given up after the line
// has been quiet this many byte times: its bytes were damaged or lost.
constexpr int kQuietGapBytes = 4;
// Repetitions for damaged or lost frames end after this much trying per
// exchange; a line this noisy is not worth going on with.
constexpr int kNoiseBudgetMs = 3000;
// A silent board fails an exchange after the caller's read time-out, but never
// before this many attempts had their time.
constexpr int kLeastSilentAttempts = 3;
// The board's own working time before it answers, per command.
constexpr int kVersionWorkMs = 2;
constexpr int kReadWorkMs = 2;
constexpr int kProgramBlockWriteWorkMs = 2;  // per write block
constexpr int kEepromByteWriteWorkMs = 4;    // per byte
constexpr int kEraseRowWorkMs = 4;           // per row

using Milliseconds = std::chrono::duration<double, std::milli>;

Clock::time_point after(Clock::time_point t, double ms) {
    return t + std::chrono::duration_cast<Clock::duration>(Milliseconds(ms));
}

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
    {NXPIC_ERR_TIMEOUT, "the bootloader did not answer: the line stayed silent"},
    {NXPIC_ERR_PORT_IO, "the serial port failed or went away and was closed"},
    {NXPIC_ERR_REFUSED, "the bootloader refused the address"},
    {NXPIC_ERR_BAD_REPLY, "the bootloader's reply does not fit the request"},
    {NXPIC_ERR_UNKNOWN_COMMAND, "the bootloader does not know the command"},
    {NXPIC_ERR_BAD_LENGTH, "the bootloader refused the length of the request"},
    {NXPIC_ERR_MISALIGNED, "the address is not on a write-block or erase-row boundary"},
    {NXPIC_ERR_VERIFY, "the device holds other bytes than expected"},
    {NXPIC_ERR_TOO_LONG, "more bytes asked for than the caller's buffer holds"},
    {NXPIC_ERR_NOISY_LINE, "no intact answer came through the noise on the line in time"},
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

// --- Connections ---------------------------------------------------------

// A request sent under a sequence number, kept until the number comes round
// again, so that a late answer to it is known for what it is.
struct Asked {
    uint64_t exchange = 0;  // 0: nothing asked under this number yet
    uint16_t crc = 0;       // the request's CRC, which its answer's CHECK continues
    int payloadBytes = 0;   // of an OK answer
};

struct Pending {
    uint64_t exchange = 0;
    uint8_t command = 0;
    int payloadBytes = 0;
    Clock::time_point leftAt;  // the request's last byte left the wire
};

struct Connection {
    SerialLine line;
    int32_t bitRate = 0;
    int32_t readTimeoutMs = 0;
    int nextSeq = 0;
    uint64_t exchanges = 0;
    QByteArray input;  // received, not yet understood
    std::array<Asked, kSequenceCount> asked{};
    std::optional<Pending> pending;  // SendPacket's request, awaiting GetPacket

    double byteMs() const { return kBitsPerByte * 1000.0 / bitRate; }
};

std::mutex g_mutex;  // one library call at a time
std::map<int32_t, std::unique_ptr<Connection>> g_connections;
int32_t g_nextHandle = 1;

Connection* findConnection(int32_t handle) {
    const auto it = g_connections.find(handle);
    return it == g_connections.end() ? nullptr : it->second.get();
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

// --- Reply reader --------------------------------------------------------

struct Heard {
    // MaybeNak: a NAK, or the first bytes of a longer answer that looks like one.
    enum Kind { Nothing, Answer, Nak, MaybeNak } kind = Nothing;
    uint8_t status = kOk;
    QByteArray payload;
};

bool isNakAt(const QByteArray& input) {
    return input.size() >= kNakBytes && std::memcmp(input.constData(), kNak, kNakBytes) == 0;
}

// The answer to asked that stands whole at the start of in, if its CHECK
// matches: an OK with its payload, or a refusal with its zeros. frameBytes 0:
// none (or not yet whole).
Heard matchAnswer(const QByteArray& in, const Asked& asked, int& frameBytes) {
    const int n = asked.payloadBytes;
    frameBytes = 0;
    if (in.size() < n + kReplyOverheadBytes)
        return {};
    const QByteArray payload = in.mid(1, n);
    const uint16_t check = readCrc(in, 1 + n);
    if (answerCheck(asked.crc, kOk, payload) == check) {
        frameBytes = n + kReplyOverheadBytes;
        return {Heard::Answer, kOk, payload};
    }
    const QByteArray zeros(n, '\0');
    if (payload != zeros)
        return {};
    for (uint8_t status = kOk + 1; status < kStatusCount; ++status) {
        if (answerCheck(asked.crc, Status(status), zeros) == check) {
            frameBytes = n + kReplyOverheadBytes;
            return {Heard::Answer, status, {}};
        }
    }
    return {};
}

// Finds the answer to the exchange in the bytes received. Noise, a damaged
// frame or a late answer to an earlier request never makes it lose a good
// frame behind them: it drops only the start byte and scans on. An intact
// answer to a request of an earlier exchange is skipped whole.
Heard takeAnswer(Connection& c, uint64_t exchange, int payloadBytes) {
    QByteArray& in = c.input;
    const int answerBytes = payloadBytes + kReplyOverheadBytes;
    bool sawNak = false;
    const auto nothing = [&](bool maybeNak) {
        return Heard{sawNak ? Heard::Nak : maybeNak ? Heard::MaybeNak : Heard::Nothing, kOk, {}};
    };
    for (;;) {
        const qsizetype start = in.indexOf(static_cast<char>(kReplyStart));
        if (start < 0) {
            in.clear();
            return nothing(false);
        }
        in.remove(0, start);
        // A NAK and a three-byte answer cannot be told apart by their bytes:
        // the NAK wins, and an answer taken for one only costs a repetition
        // under another sequence number. A longer answer may begin like a NAK;
        // until it could stand whole the NAK only hastens the decision.
        const bool nak = isNakAt(in);
        if (nak && answerBytes == kNakBytes) {
            in.remove(0, kNakBytes);
            sawNak = true;
            continue;
        }
        // This exchange's attempts first, and until their answer could stand
        // whole nothing else: a CHECK can match an earlier request by chance,
        // and this exchange's answer must never be lost to that.
        if (in.size() < answerBytes)
            return nothing(nak);
        for (const Asked& asked : c.asked) {
            if (asked.exchange != exchange)
                continue;
            int frameBytes = 0;
            const Heard heard = matchAnswer(in, asked, frameBytes);
            if (frameBytes > 0) {
                in.remove(0, frameBytes);
                return heard;
            }
        }
        bool skipped = false;
        for (const Asked& asked : c.asked) {
            if (skipped || asked.exchange == 0 || asked.exchange == exchange)
                continue;
            int frameBytes = 0;
            matchAnswer(in, asked, frameBytes);
            if (frameBytes > 0) {
                in.remove(0, frameBytes);  // a late answer to an earlier exchange
                skipped = true;
            }
        }
        if (skipped)
            continue;
        if (nak) {
            in.remove(0, kNakBytes);
            sawNak = true;
            continue;
        }
        in.remove(0, 1);
    }
}

// --- Exchanges -----------------------------------------------------------

// The one frame writer: sends a request with a fresh sequence number, which
// from then on names it. The request has left the wire once its bytes had
// their time at the line's speed after the port took them.
std::optional<Pending> sendRequest(Connection& c, uint64_t exchange, uint8_t command,
                                   const QByteArray& args, int payloadBytes, int16_t& failure) {
    const int seq = c.nextSeq;
    c.nextSeq = (c.nextSeq + 1) % kSequenceCount;
    QByteArray body;
    body.reserve(args.size() + 1);
    body.append(static_cast<char>(makeTag(seq, command)));
    body.append(args);
    const QByteArray frame = encodeRequest(body);
    c.asked[static_cast<size_t>(seq)] = {exchange, requestCrc(frame), payloadBytes};
    const double wireMs = static_cast<double>(frame.size()) * c.byteMs();
    const auto deadline =
        after(Clock::now(), wireMs + std::max(c.readTimeoutMs, 0) + kUsbLatencyMs);
    if (!c.line.write(frame, deadline)) {
        failure = c.line.isOpen() ? NXPIC_ERR_TIMEOUT : NXPIC_ERR_PORT_IO;
        return std::nullopt;
    }
    return Pending{exchange, command, payloadBytes, after(Clock::now(), wireMs)};
}

enum class Wait { Answered, Repeat, Silent, PortFailed, OutOfTime };

// The clock of one exchange across its attempts.
struct ExchangeClock {
    Clock::time_point budgetEnd;    // repetitions for noise end here
    Clock::time_point lastHeardAt;  // the board's last byte, or the first request
    double silentLimitMs = 0;       // silence that fails the exchange
};

// Waits for the answer to p. With repeat allowed, a NAK or a reply that is
// due and has not come whole once the line is quiet asks for a repetition.
Wait awaitAnswer(Connection& c, const Pending& p, int workMs, ExchangeClock& clock, bool repeat,
                 Heard& heard) {
    const double byteMs = c.byteMs();
    const Clock::time_point dueAt =
        after(p.leftAt, workMs + (p.payloadBytes + kReplyOverheadBytes) * byteMs + kUsbLatencyMs);
    const double quietMs = kQuietGapBytes * byteMs;
    Clock::time_point lastByteAt = p.leftAt;
    for (;;) {
        heard = takeAnswer(c, p.exchange, p.payloadBytes);
        if (heard.kind == Heard::Answer)
            return Wait::Answered;
        if (heard.kind == Heard::Nak && repeat)
            return Wait::Repeat;
        const auto now = Clock::now();
        const Clock::time_point quietAt = heard.kind == Heard::MaybeNak
                                              ? after(lastByteAt, quietMs)
                                              : std::max(dueAt, after(lastByteAt, quietMs));
        const Clock::time_point silentAt = after(clock.lastHeardAt, clock.silentLimitMs);
        Clock::time_point until = std::min(silentAt, clock.budgetEnd);
        if (repeat)
            until = std::min(until, quietAt);
        // A decision falls due: first take in what arrived while this thread
        // was not running, so that a busy machine is not mistaken for a quiet
        // line or a silent board.
        const bool decide = now >= until;
        const QByteArray bytes =
            c.line.readSome(decide ? now + std::chrono::milliseconds(1) : until);
        if (!c.line.isOpen())
            return Wait::PortFailed;
        if (!bytes.isEmpty()) {
            lastByteAt = clock.lastHeardAt = Clock::now();
            c.input.append(bytes);
        }
        if (!decide)
            continue;
        if (bytes.isEmpty()) {
            if (repeat && now >= quietAt)
                return Wait::Repeat;
            return now >= silentAt ? Wait::Silent : Wait::OutOfTime;
        }
        // Bytes keep coming: the budget ends the wait all the same, once what
        // arrived last has been looked at, or a byte every millisecond would
        // keep the exchange alive for ever.
        if (now >= clock.budgetEnd) {
            heard = takeAnswer(c, p.exchange, p.payloadBytes);
            return heard.kind == Heard::Answer ? Wait::Answered : Wait::OutOfTime;
        }
    }
}

// Judges an OK answer's payload: NXPIC_OK, or the negative result the answer
// amounts to (a verify that finds other bytes).
using Judge = std::function<int16_t(const QByteArray& payload)>;

// One exchange. A damaged or lost frame is repeated at once, for as long as
// the noise budget lasts; `answers` counts what the board itself answers
// (a refusal, a judge's negative result) before that answer stands.
int16_t exchange(Connection& c, uint8_t command, const QByteArray& args, int blockSize, int answers,
                 const Judge& judge, QByteArray& payload) {
    const int payloadBytes = replyPayloadBytes(command, args);
    if (payloadBytes < 0 || payloadBytes > kMaxReplyPayloadBytes)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (!c.line.isOpen())
        return NXPIC_ERR_PORT_IO;
    const int workMs = workMsFor(command, args, blockSize);
    const uint64_t id = ++c.exchanges;
    // Whatever waits in the input came before this request and answers none of it.
    c.line.clearInput();
    c.input.clear();
    const double attemptMs = (static_cast<double>(args.size()) + 1 + kRequestOverheadBytes +
                              payloadBytes + kReplyOverheadBytes) *
                                 c.byteMs() +
                             workMs + kUsbLatencyMs;
    ExchangeClock clock;
    clock.budgetEnd = after(Clock::now(), kNoiseBudgetMs);
    clock.silentLimitMs = std::max<double>(c.readTimeoutMs, kLeastSilentAttempts * attemptMs);
    bool first = true;
    int answersLeft = std::max(answers, 1);
    for (;;) {
        int16_t failure = NXPIC_OK;
        const auto pending = sendRequest(c, id, command, args, payloadBytes, failure);
        if (!pending)
            return failure;
        if (first)
            clock.lastHeardAt = pending->leftAt;
        first = false;
        Heard heard;
        switch (awaitAnswer(c, *pending, workMs, clock, true, heard)) {
            case Wait::Answered:
                break;
            case Wait::Repeat:
                if (Clock::now() >= clock.budgetEnd)
                    return NXPIC_ERR_NOISY_LINE;
                continue;
            case Wait::Silent:
                return NXPIC_ERR_TIMEOUT;
            case Wait::PortFailed:
                return NXPIC_ERR_PORT_IO;
            case Wait::OutOfTime:
                return NXPIC_ERR_NOISY_LINE;
        }
        const int16_t result =
            heard.status == kOk ? judge(heard.payload) : resultOfStatus(heard.status);
        if (result >= 0) {
            payload = heard.payload;
            return result;
        }
        if (--answersLeft == 0)
            return result;
    }
}

int16_t acceptAny(const QByteArray&) {
    return NXPIC_OK;
}

bool validBlock(const PicBlock* block, const uint8_t* buffer) {
    return block != nullptr && buffer != nullptr && block->DataLength >= 1 &&
           block->DataLength <= kMaxDataBytes && block->Address >= 0 && block->BytesPerAddr >= 1;
}

// Address, as a byte address, in the three bytes of the wire, and the count;
// empty when the address does not fit 24 bits.
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

// Stores the reply packet of a SendGetPacket or GetPacket exchange: the
// command code, then the OK payload, cut to the limit and the packet buffer.
int16_t storePacket(uint8_t* buffer, uint8_t command, const QByteArray& payload,
                    int16_t receiveLimit) {
    const int stored = std::min<int>(
        {1 + static_cast<int>(payload.size()), receiveLimit, NXPIC_PACKET_BUFFER_BYTES});
    if (stored > 0)
        buffer[0] = command;
    if (stored > 1)
        std::memcpy(buffer + 1, payload.constData(), static_cast<size_t>(stored - 1));
    return static_cast<int16_t>(stored);
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
    c->line.clearInput();
    c->input.clear();
    int16_t failure = NXPIC_OK;
    c->pending = sendRequest(*c, ++c->exchanges, command, args, payloadBytes, failure);
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
    // One attempt: the wait ends with the answer or the read time-out.
    ExchangeClock clock;
    clock.lastHeardAt = pending.leftAt;
    clock.silentLimitMs = c->readTimeoutMs;
    clock.budgetEnd = after(pending.leftAt, std::max(c->readTimeoutMs, 0) + kUsbLatencyMs);
    Heard heard;
    switch (awaitAnswer(*c, pending, 0, clock, false, heard)) {
        case Wait::Answered:
            break;
        case Wait::PortFailed:
            return NXPIC_ERR_PORT_IO;
        default:
            return NXPIC_ERR_TIMEOUT;
    }
    if (heard.status != kOk)
        return resultOfStatus(heard.status);
    return storePacket(buffer, pending.command, heard.payload, limit);
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
    const int16_t result = exchange(*c, command, args, 0, retries, acceptAny, payload);
    if (result < 0)
        return result;
    return storePacket(buffer, command, payload, receiveLimit);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL ReadPIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer) || !isReadCommand(block->Command))
        return NXPIC_ERR_BAD_ARGUMENT;
    if (block->DataLength > NXPIC_READ_BUFFER_BYTES)
        return NXPIC_ERR_TOO_LONG;
    auto args = addressArgs(*block);
    if (!args)
        return NXPIC_ERR_BAD_ARGUMENT;
    args->append(static_cast<char>(block->DataLength));
    QByteArray data;
    const int16_t result =
        exchange(*c, block->Command, *args, block->BlockSize, block->MaxRetries, acceptAny, data);
    if (result < 0)
        return result;
    std::memcpy(buffer, data.constData(), static_cast<size_t>(block->DataLength));
    return block->DataLength;
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
    const int16_t result = exchange(*c, block->Command, *args, block->BlockSize, block->MaxRetries,
                                    acceptAny, payload);
    return result < 0 ? result : int16_t(block->DataLength);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL VerifyPIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer) || !isReadCommand(block->Command))
        return NXPIC_ERR_BAD_ARGUMENT;
    auto args = addressArgs(*block);
    if (!args)
        return NXPIC_ERR_BAD_ARGUMENT;
    args->append(static_cast<char>(block->DataLength));
    // The board answers with the digest of what it holds; the caller's bytes
    // are only read, for the digest they should have.
    const QByteArray expected = digestBytes(crc32(buffer, block->DataLength));
    const uint8_t digest = block->Command == kReadProgram ? kDigestProgram : kDigestEeprom;
    QByteArray payload;
    const int16_t result = exchange(
        *c, digest, *args, block->BlockSize, block->MaxRetries,
        [&expected](const QByteArray& answer) {
            return answer == expected ? int16_t(NXPIC_OK) : int16_t(NXPIC_ERR_VERIFY);
        },
        payload);
    return result < 0 ? result : int16_t(block->DataLength);
}

}  // extern "C"
