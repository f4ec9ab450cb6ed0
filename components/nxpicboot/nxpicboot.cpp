// The bootloader library: one frame writer (sendRequest), one reply reader with
// resynchronisation (takeAnswer), one exchange with its repetitions and
// time-outs (exchange), one table of result codes (kResults).
//
// The application's entry block (000200-000207) is held back: a write of it is
// kept here and reaches the board only with the request to start the
// application, after every other byte was written and verified. Until then
// the board's entry word stays erased, and a board that loses power in the
// middle of an update comes up in its bootloader.

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
    uint8_t command = 0;  // the packet's command code
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
    // The entry block as written so far, held back until the start request
    // (a write can only clear bits, as on the board); empty: none written.
    std::optional<QByteArray> heldEntry;

    double byteMs() const { return kBitsPerByte * 1000.0 / bitRate; }
};

std::mutex g_mutex;  // one library call at a time
std::map<int32_t, std::unique_ptr<Connection>> g_connections;
int32_t g_nextHandle = 1;

Connection* findConnection(int32_t handle) {
    const auto it = g_connections.find(handle);
    return it == g_connections.end() ? nullptr : it->second.get();
}

// wireCommand and args as on the wire.
int workMsFor(uint8_t wireCommand, const QByteArray& args, int blockSize) {
    switch (wireCommand) {
        case kWrite: {
            const int dataBytes = static_cast<int>(args.size()) - kAddressBytes;
            if (readAddress(args, 0) >= kEepromBase)
                return dataBytes * kEepromByteWriteWorkMs;
            const int block = std::max(blockSize, 1);
            return (dataBytes + block - 1) / block * kProgramBlockWriteWorkMs;
        }
        case kErase:
            return std::max<int>(static_cast<uint8_t>(args[kAddressBytes]), 1) * kEraseRowWorkMs;
        default:
            return kReadWorkMs;
    }
}

// --- Reply reader --------------------------------------------------------

struct Heard {
    enum Kind { Nothing, Answer } kind = Nothing;
    uint8_t status = kOk;
    QByteArray payload;
    uint16_t requestCrc = 0;  // of the attempt the answer names
};

// The answer to asked that stands at the start of in, if its CHECK matches: a
// refusal (start byte and CHECK), or an OK with its payload once whole.
// frameBytes 0: none (or not yet whole).
Heard matchAnswer(const QByteArray& in, const Asked& asked, int& frameBytes) {
    const int n = asked.payloadBytes;
    frameBytes = 0;
    if (in.size() >= n + kReplyOverheadBytes) {
        const QByteArray payload = in.mid(1, n);
        if (answerCheck(asked.crc, kOk, payload) == readCrc(in, 1 + n)) {
            frameBytes = n + kReplyOverheadBytes;
            return {Heard::Answer, kOk, payload, asked.crc};
        }
    }
    if (in.size() < kReplyOverheadBytes)
        return {};
    const uint16_t check = readCrc(in, 1);
    for (uint8_t status = kOk + 1; status < kStatusCount; ++status) {
        if (answerCheck(asked.crc, Status(status), {}) == check) {
            frameBytes = kReplyOverheadBytes;
            return {Heard::Answer, status, {}, asked.crc};
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
    for (;;) {
        const qsizetype start = in.indexOf(static_cast<char>(kReplyStart));
        if (start < 0) {
            in.clear();
            return {};
        }
        in.remove(0, start);
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
        // Until this exchange's answer could stand whole nothing else is
        // judged: a CHECK can match an earlier request by chance, and this
        // exchange's answer must never be lost to that.
        if (in.size() < answerBytes)
            return {};
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
        if (!skipped)
            in.remove(0, 1);
    }
}

// --- Exchanges -----------------------------------------------------------

// The one frame writer: sends a request with a fresh sequence number, which
// from then on names it. The request has left the wire once its bytes had
// their time at the line's speed after the port took them.
// command is the packet's command code, which the reply packet names.
std::optional<Pending> sendRequest(Connection& c, uint64_t exchange, uint8_t command,
                                   const WireRequest& request, int payloadBytes, int16_t& failure) {
    const int seq = c.nextSeq;
    c.nextSeq = (c.nextSeq + 1) % kSequenceCount;
    QByteArray body;
    body.reserve(request.args.size() + 1);
    body.append(static_cast<char>(makeTag(seq, request.command)));
    body.append(request.args);
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

// Waits for the answer to p. With repeat allowed, a reply that is due and has
// not come whole once the line is quiet asks for a repetition: the board drops
// a request it could not read without a word.
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
        const auto now = Clock::now();
        const Clock::time_point quietAt = std::max(dueAt, after(lastByteAt, quietMs));
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
        if (decide && bytes.isEmpty()) {
            if (repeat && now >= quietAt)
                return Wait::Repeat;
            return now >= silentAt ? Wait::Silent : Wait::OutOfTime;
        }
        if (!bytes.isEmpty()) {
            lastByteAt = clock.lastHeardAt = Clock::now();
            c.input.append(bytes);
        }
    }
}

// Judges an OK answer's payload (to the attempt whose request CRC is given):
// NXPIC_OK, or the negative result the answer amounts to (a verify that finds
// other bytes).
using Judge = std::function<int16_t(const QByteArray& payload, uint16_t requestCrc)>;

// One exchange. A damaged or lost frame is repeated at once, for as long as
// the noise budget lasts; `answers` counts what the board itself answers
// (a refusal, a judge's negative result) before that answer stands.
// command and args are the packet's, as the library's interface takes them.
int16_t exchange(Connection& c, uint8_t command, const QByteArray& args, int blockSize, int answers,
                 const Judge& judge, QByteArray& payload) {
    const std::optional<WireRequest> request = toWire(command, args);
    if (!request)
        return NXPIC_ERR_BAD_ARGUMENT;
    const int payloadBytes = replyPayloadBytes(request->command, request->args);
    if (payloadBytes < 0 || payloadBytes > kMaxReplyPayloadBytes)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (!c.line.isOpen())
        return NXPIC_ERR_PORT_IO;
    const int workMs = workMsFor(request->command, request->args, blockSize);
    const uint64_t id = ++c.exchanges;
    // Whatever waits in the input came before this request and answers none of it.
    c.line.clearInput();
    c.input.clear();
    const double attemptMs = (static_cast<double>(request->args.size()) + 1 +
                              kRequestOverheadBytes + payloadBytes + kReplyOverheadBytes) *
                                 c.byteMs() +
                             workMs + kUsbLatencyMs;
    ExchangeClock clock;
    clock.budgetEnd = after(Clock::now(), kNoiseBudgetMs);
    clock.silentLimitMs = std::max<double>(c.readTimeoutMs, kLeastSilentAttempts * attemptMs);
    bool first = true;
    int answersLeft = std::max(answers, 1);
    for (;;) {
        int16_t failure = NXPIC_OK;
        const auto pending = sendRequest(c, id, command, *request, payloadBytes, failure);
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
        const int16_t result = heard.status == kOk ? judge(heard.payload, heard.requestCrc)
                                                   : resultOfStatus(heard.status);
        if (result >= 0) {
            payload = heard.payload;
            return result;
        }
        if (--answersLeft == 0)
            return result;
    }
}

int16_t acceptAny(const QByteArray&, uint16_t) {
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
    return command == NXPIC_CMD_READ_PROGRAM || command == NXPIC_CMD_READ_EEPROM;
}
bool isWriteCommand(uint8_t command) {
    return command == NXPIC_CMD_WRITE_PROGRAM || command == NXPIC_CMD_WRITE_EEPROM;
}

// The packet commands of the digests, which VerifyPIC asks for.
constexpr uint8_t kDigestProgramCommand = 6;
constexpr uint8_t kDigestEepromCommand = 7;

// The part of [address, address + length) in the entry block, as offsets
// into the range; first == last when none.
struct EntryOverlap {
    int first = 0;
    int last = 0;
};
EntryOverlap entryOverlap(uint32_t address, int length) {
    const int64_t from = std::max<int64_t>(address, kEntryBlockAddress);
    const int64_t to =
        std::min<int64_t>(int64_t(address) + length, kEntryBlockAddress + kEntryBlockBytes);
    if (from >= to)
        return {};
    return {int(from - address), int(to - address)};
}

// The bytes at the end of a program-space range that fall in the user-ID line
// past the chip's eight bytes and hold nothing: the split's padding (FF) or
// the fill of a line cut short (00). They are neither written nor verified;
// any other byte there goes to the board, which refuses the write.
int userIdPaddingBytes(uint32_t address, const QByteArray& data) {
    const uint32_t end = address + uint32_t(data.size());
    if (end <= kUserIdEnd || end > kUserIdLineEnd || address >= kUserIdLineEnd)
        return 0;
    const QByteArray tail = data.mid(int(std::max(address, kUserIdEnd) - address));
    for (const char byte : tail) {
        if (byte != '\0' && byte != char(0xFF))
            return 0;
    }
    return int(tail.size());
}

// Writes program memory, holding the entry block back: a write that starts
// with it leaves it in c.heldEntry and sends only the rest.
int16_t writeProgram(Connection& c, uint32_t address, QByteArray data, int blockSize, int answers) {
    data.chop(userIdPaddingBytes(address, data));
    if (data.isEmpty())
        return NXPIC_OK;
    if (address == kEntryBlockAddress && data.size() >= kEntryBlockBytes) {
        QByteArray held = c.heldEntry.value_or(QByteArray(kEntryBlockBytes, char(0xFF)));
        for (int i = 0; i < kEntryBlockBytes; ++i)
            held[i] = char(uint8_t(held[i]) & uint8_t(data[i]));
        c.heldEntry = held;
        data.remove(0, kEntryBlockBytes);
        address += kEntryBlockBytes;
        if (data.isEmpty())
            return NXPIC_OK;
    }
    QByteArray args;
    appendAddress(args, address);
    args.append(data);
    QByteArray payload;
    return exchange(c, NXPIC_CMD_WRITE_PROGRAM, args, blockSize, answers, acceptAny, payload);
}

// Asks for the digest of expected.size() bytes at address (packet command
// 6 or 7) and compares it with the digest of expected: NXPIC_OK or
// NXPIC_ERR_VERIFY, or the exchange's failure.
int16_t verifyDigest(Connection& c, uint8_t command, uint32_t address, const QByteArray& expected,
                     int blockSize, int answers) {
    QByteArray args;
    appendAddress(args, address);
    args.append(static_cast<char>(expected.size()));
    QByteArray payload;
    return exchange(
        c, command, args, blockSize, answers,
        [&expected](const QByteArray& answer, uint16_t requestCrc) {
            return answer == digestOf(requestCrc, expected) ? int16_t(NXPIC_OK)
                                                            : int16_t(NXPIC_ERR_VERIFY);
        },
        payload);
}

// Before the start request: the held entry block is written and verified, so
// the application's entry word is programmed last of all.
int16_t commitEntry(Connection& c, int answers) {
    if (!c.heldEntry)
        return NXPIC_OK;
    const QByteArray held = *c.heldEntry;
    c.heldEntry.reset();
    QByteArray args;
    appendAddress(args, kEntryBlockAddress);
    args.append(held);
    QByteArray payload;
    int16_t result =
        exchange(c, NXPIC_CMD_WRITE_PROGRAM, args, kEntryBlockBytes, answers, acceptAny, payload);
    if (result < 0) {
        c.heldEntry = held;
        return result;
    }
    result =
        verifyDigest(c, kDigestProgramCommand, kEntryBlockAddress, held, kEntryBlockBytes, answers);
    if (result < 0)
        c.heldEntry = held;
    return result;
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
    const auto request =
        toWire(command, QByteArray(reinterpret_cast<const char*>(buffer) + 1, length - 1));
    const int payloadBytes = request ? replyPayloadBytes(request->command, request->args) : -1;
    if (payloadBytes < 0 || payloadBytes > kMaxReplyPayloadBytes)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (!c->line.isOpen())
        return NXPIC_ERR_PORT_IO;
    c->line.clearInput();
    c->input.clear();
    int16_t failure = NXPIC_OK;
    c->pending = sendRequest(*c, ++c->exchanges, command, *request, payloadBytes, failure);
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
    return storePacket(buffer, pending.command, packetData(pending.command, heard.payload), limit);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL SendGetPacket(int32_t handle, uint8_t* buffer,
                                                   int16_t sendLength, int16_t receiveLimit,
                                                   int16_t retries) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (buffer == nullptr || sendLength < 1 || sendLength > NXPIC_PACKET_BUFFER_BYTES ||
        receiveLimit < 0)
        return NXPIC_ERR_BAD_ARGUMENT;
    const uint8_t command = buffer[0];
    const QByteArray args(reinterpret_cast<const char*>(buffer) + 1, sendLength - 1);
    const auto request = toWire(command, args);
    if (!request)
        return NXPIC_ERR_BAD_ARGUMENT;
    if (request->command == kStartApp) {
        const int16_t committed = commitEntry(*c, retries);
        if (committed < 0)
            return committed;
    }
    QByteArray payload;
    const int16_t result = exchange(*c, command, args, 0, retries, acceptAny, payload);
    if (result < 0)
        return result;
    // The board erased the entry block with its row: nothing of it is held.
    if (request->command == kErase &&
        (readAddress(request->args, 0) & ~uint32_t(63)) == kEntryBlockAddress)
        c->heldEntry.reset();
    return storePacket(buffer, command, packetData(command, payload), receiveLimit);
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
    const QByteArray data(reinterpret_cast<const char*>(buffer), block->DataLength);
    int16_t result = NXPIC_OK;
    if (block->Command == NXPIC_CMD_WRITE_PROGRAM) {
        result = writeProgram(*c, readAddress(*args, 0), data, block->BlockSize, block->MaxRetries);
    } else {
        args->append(data);
        QByteArray payload;
        result = exchange(*c, block->Command, *args, block->BlockSize, block->MaxRetries, acceptAny,
                          payload);
    }
    return result < 0 ? result : int16_t(block->DataLength);
}

NXPICBOOT_API int16_t NXPICBOOT_CALL VerifyPIC(int32_t handle, PicBlock* block, uint8_t* buffer) {
    std::lock_guard lock(g_mutex);
    Connection* c = findConnection(handle);
    if (c == nullptr)
        return NXPIC_ERR_BAD_HANDLE;
    if (!validBlock(block, buffer) || !isReadCommand(block->Command))
        return NXPIC_ERR_BAD_ARGUMENT;
    const auto args = addressArgs(*block);
    if (!args)
        return NXPIC_ERR_BAD_ARGUMENT;
    const uint32_t address = readAddress(*args, 0);
    // The board answers with the digest of what it holds; the caller's bytes
    // are only read, for the digest they should have. The held entry block is
    // still erased on the board, and must equal the caller's bytes here.
    QByteArray expected(reinterpret_cast<const char*>(buffer), block->DataLength);
    const bool program = block->Command == NXPIC_CMD_READ_PROGRAM;
    if (program)
        expected.chop(userIdPaddingBytes(address, expected));
    if (expected.isEmpty())
        return block->DataLength;
    const EntryOverlap held = entryOverlap(address, block->DataLength);
    if (program && c->heldEntry && held.first < held.last) {
        const int offset = int(address + uint32_t(held.first) - kEntryBlockAddress);
        for (int i = held.first; i < held.last; ++i) {
            if (expected[i] != (*c->heldEntry)[offset + i - held.first])
                return NXPIC_ERR_VERIFY;
            expected[i] = char(0xFF);
        }
    }
    const int16_t result = verifyDigest(*c, program ? kDigestProgramCommand : kDigestEepromCommand,
                                        address, expected, block->BlockSize, block->MaxRetries);
    return result < 0 ? result : int16_t(block->DataLength);
}

}  // extern "C"
