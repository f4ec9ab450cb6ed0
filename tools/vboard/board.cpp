#include "tools/vboard/board.h"

#include <QString>
#include <algorithm>

#include "components/ctrllink/ctrllink.h"
#include "components/nxpicboot/nxpic_wire.h"
#include "tools/vboard/intel_hex.h"

namespace vboard {

namespace wire = nxpic::wire;

namespace {

// Input the board could not read is answered with a negative acknowledgement
// once the line has been quiet this long: a few byte times at 9600 baud, so the
// host hears of a damaged request at once instead of waiting for an answer.
// A frame whose bytes stop coming (a damaged length byte announcing more bytes
// than follow) is given up at the same moment.
constexpr auto kIdleGap = std::chrono::milliseconds(5);

// One answer in this many is held back by --late-ms.
constexpr double kLateShare = 0.25;

// The version bytes (after the count) that the host accepts, and another one.
constexpr uint8_t kVersion[2] = {0x04, 0xFA};
constexpr uint8_t kOtherVersion[2] = {0x03, 0xF9};

wire::Status statusOf(MemoryResult result) {
    switch (result) {
        case MemoryResult::Ok:
            return wire::kOk;
        case MemoryResult::Misaligned:
            return wire::kMisaligned;
        case MemoryResult::Refused:
            break;
    }
    return wire::kAddressRefused;
}

class BootloaderMode : public ModeHandler {
  public:
    void receive(uint8_t byte, Clock::time_point at, BoardContext& board) override {
        if (const auto due = idleDue(); due && at >= *due)
            idle(at, board);
        lastByteAt_ = at;
        buffer_.append(char(byte));
        scan(board);
    }

    std::optional<Clock::time_point> idleDue() const override {
        if (buffer_.isEmpty() && !unread_)
            return std::nullopt;
        return lastByteAt_ + kIdleGap;
    }

    // Whatever is left is not a request: one NAK for all of it.
    void idle(Clock::time_point, BoardContext& board) override {
        if (!buffer_.isEmpty())
            ++board.counters.badFrames;
        buffer_.clear();
        unread_ = false;
        if (stopped(board))
            return;
        ++board.counters.naks;
        board.replies.push_back(wire::nakFrame());
    }

    void reset() override {
        buffer_.clear();
        unread_ = false;
    }

  private:
    static bool stopped(const BoardContext& board) {
        const int stopAfter = board.options.stopAfterExchanges;
        return stopAfter >= 0 && board.counters.exchanges >= uint64_t(stopAfter);
    }

    void dropStart(BoardContext& board) {
        buffer_.remove(0, 1);
        ++board.counters.badFrames;
        unread_ = true;
    }

    // Finds complete frames; a damaged one loses only its start byte, and the
    // bytes after it are scanned again.
    void scan(BoardContext& board) {
        for (;;) {
            const qsizetype start = buffer_.indexOf(char(wire::kRequestStart));
            if (start < 0) {
                unread_ = unread_ || !buffer_.isEmpty();
                buffer_.clear();
                return;
            }
            if (start > 0) {
                unread_ = true;
                buffer_.remove(0, start);
            }
            if (buffer_.size() < 2)
                return;
            const int length = uint8_t(buffer_[1]);
            if (length < 1 || length > wire::kMaxRequestBodyBytes) {
                dropStart(board);
                continue;
            }
            const int frameBytes = length + wire::kRequestOverheadBytes;
            if (buffer_.size() < frameBytes)
                return;
            const uint16_t crc = wire::crc16(buffer_, 1, length + 1);
            if (crc != wire::readCrc(buffer_, 2 + length)) {
                dropStart(board);
                continue;
            }
            const QByteArray body = buffer_.mid(2, length);
            buffer_.remove(0, frameBytes);
            // Noise before a good request needs no NAK: the request was read.
            unread_ = false;
            handle(body, frameBytes, crc, board);
        }
    }

    void handle(const QByteArray& body, int frameBytes, uint16_t crc, BoardContext& board) {
        const uint8_t tag = uint8_t(body[0]);
        const uint8_t command = tag & 0x0F;
        CommandCounters& perCommand = board.counters.perCommand[command];
        ++perCommand.requests;
        perCommand.requestBytes += uint64_t(frameBytes);
        const QByteArray question = body.mid(1).prepend(char(command));
        if (question == lastQuestion_)
            ++perCommand.repetitions;
        lastQuestion_ = question;
        const uint64_t number = ++board.counters.requests;

        if (stopped(board))
            return;
        FaultInjector::Drop drop = board.faults.dropFrame();
        const auto& lose = board.options.loseRepliesTo;
        if (std::find(lose.begin(), lose.end(), number) != lose.end())
            drop = FaultInjector::Drop::Reply;
        if (drop == FaultInjector::Drop::Request) {
            ++board.counters.droppedRequests;
            return;
        }
        QByteArray payload;
        const wire::Status status = execute(command, body.mid(1), board, payload);
        if (drop == FaultInjector::Drop::Reply) {
            ++board.counters.droppedReplies;
            return;
        }
        const QByteArray args = body.mid(1);
        const QByteArray reply = wire::encodeReply(
            crc, status,
            status == wire::kOk ? payload
                                : QByteArray(wire::answerPayloadBytes(command, args), '\0'));
        ++board.counters.exchanges;
        ++perCommand.replies;
        perCommand.replyBytes += uint64_t(reply.size());
        board.replies.push_back(reply);
    }

    static wire::Status execute(uint8_t command, const QByteArray& args, BoardContext& board,
                                QByteArray& payload) {
        PicMemory& memory = board.memory;
        const int dataBytes = int(args.size()) - wire::kAddressBytes;
        switch (command) {
            case wire::kReadVersion: {
                if (args.size() != 1 || uint8_t(args[0]) != wire::kVersionCountByte)
                    return wire::kBadLength;
                const uint8_t* version = board.options.wrongVersion ? kOtherVersion : kVersion;
                payload.append(char(wire::kVersionCountByte));
                payload.append(char(version[0]));
                payload.append(char(version[1]));
                return wire::kOk;
            }
            case wire::kReadProgram:
            case wire::kReadEeprom:
            case wire::kDigestProgram:
            case wire::kDigestEeprom: {
                if (args.size() != wire::kAddressBytes + 1)
                    return wire::kBadLength;
                const int count = uint8_t(args[wire::kAddressBytes]);
                if (count < 1 || count > wire::kMaxDataBytes)
                    return wire::kBadLength;
                const uint32_t address = wire::readAddress(args, 0);
                const bool program =
                    command == wire::kReadProgram || command == wire::kDigestProgram;
                const wire::Status status =
                    statusOf(program ? memory.readProgram(address, count, payload)
                                     : memory.readEeprom(address, count, payload));
                if (status == wire::kOk &&
                    (command == wire::kDigestProgram || command == wire::kDigestEeprom)) {
                    payload = wire::digestBytes(
                        wire::crc32(reinterpret_cast<const uint8_t*>(payload.constData()),
                                    int(payload.size())));
                }
                return status;
            }
            case wire::kWriteProgram:
            case wire::kWriteEeprom: {
                if (dataBytes < 1 || dataBytes > wire::kMaxDataBytes)
                    return wire::kBadLength;
                const uint32_t address = wire::readAddress(args, 0);
                const QByteArray data = args.mid(wire::kAddressBytes);
                return statusOf(command == wire::kWriteProgram ? memory.writeProgram(address, data)
                                                               : memory.writeEeprom(address, data));
            }
            case wire::kEraseProgram: {
                if (args.size() != 1 + wire::kAddressBytes)
                    return wire::kBadLength;
                const int rows = uint8_t(args[0]);
                if (rows < 1)
                    return wire::kBadLength;
                const uint32_t address = wire::readAddress(args, 1);
                const uint32_t rowBytes = 64;
                for (int row = 0; row < rows; ++row) {
                    const MemoryResult result = memory.eraseRow(address + uint32_t(row) * rowBytes);
                    if (result != MemoryResult::Ok)
                        return statusOf(result);
                }
                return wire::kOk;
            }
            default:
                return wire::kUnknownCommand;
        }
    }

    QByteArray buffer_;
    Clock::time_point lastByteAt_{};
    bool unread_ = false;      // bytes since the last good request that were none
    QByteArray lastQuestion_;  // command and arguments of the last request
};

// The board's running application: it answers the link component's
// identification and hands over to the bootloader when exactly the
// loader-entry command "$E0" CR arrives. Any other bytes are ignored.
class ApplicationMode : public ModeHandler {
  public:
    void receive(uint8_t byte, Clock::time_point, BoardContext& board) override {
        if (byte != '\r') {
            // A line longer than any command is noise: keep only its tail.
            if (line_.size() >= kLongestCommand)
                line_.remove(0, 1);
            line_.append(char(byte));
            return;
        }
        const QByteArray command = line_;
        line_.clear();
        if (command + '\r' == kLoaderEntry) {
            board.switchTo = BoardMode::Bootloader;
            ++board.counters.exchanges;
            return;
        }
        if (command + '\r' != ctrllink::identificationRequest())
            return;
        // Only answered requests count as exchanges, as in the bootloader.
        if (board.options.appSilent)
            return;
        if (board.options.stopAfterExchanges >= 0 &&
            board.counters.exchanges >= uint64_t(board.options.stopAfterExchanges)) {
            return;
        }
        ++board.counters.exchanges;
        if (board.options.appLinkError != 0) {
            board.replies.push_back(ctrllink::errorAnswer(board.options.appLinkError));
            return;
        }
        // The application in memory tells its own version; a previous firmware
        // without a version record answers what the options say.
        const AppVersion version =
            applicationVersion(board.memory)
                .value_or(AppVersion{board.options.appVersion, board.options.appBuild,
                                     board.options.appBrand});
        board.replies.push_back(
            ctrllink::versionAnswer(version.version, version.build, version.brand));
    }

    void reset() override { line_.clear(); }

  private:
    static constexpr qsizetype kLongestCommand = 8;
    inline static const QByteArray kLoaderEntry = QByteArrayLiteral("\x24\x45\x30\x0D");
    QByteArray line_;
};

}  // namespace

std::optional<AppVersion> applicationVersion(const PicMemory& memory) {
    const QByteArray record = memory.peek(kAppVersionRecord, kAppVersionRecordBytes);
    if (record.size() != kAppVersionRecordBytes || !record.startsWith(kAppVersionMarker) ||
        uint8_t(record[4]) != kAppVersionLayout) {
        return std::nullopt;
    }
    const auto number = [&](int at) {
        return int32_t(uint8_t(record[at]) | uint8_t(record[at + 1]) << 8);
    };
    return AppVersion{number(6), number(8), number(10)};
}

std::unique_ptr<ModeHandler> makeApplicationMode() {
    return std::make_unique<ApplicationMode>();
}

std::unique_ptr<ModeHandler> makeBootloaderMode() {
    return std::make_unique<BootloaderMode>();
}

std::unique_ptr<ModeHandler> makeModeHandler(BoardMode mode) {
    switch (mode) {
        case BoardMode::Application:
            return makeApplicationMode();
        case BoardMode::Bootloader:
            break;
    }
    return makeBootloaderMode();
}

FaultInjector::FaultInjector(double corruptRate, double dropRate, uint32_t seed)
    : corruptRate_(corruptRate), dropRate_(dropRate), random_(seed) {}

uint8_t FaultInjector::pass(uint8_t byte, Counters& counters) {
    if (corruptRate_ <= 0.0 || unit_(random_) >= corruptRate_)
        return byte;
    ++counters.corruptedBytes;
    // A non-zero mask, so the byte really changes.
    const auto mask = uint8_t(1 + random_() % 255);
    return uint8_t(byte ^ mask);
}

FaultInjector::Drop FaultInjector::dropFrame() {
    if (dropRate_ <= 0.0 || unit_(random_) >= dropRate_)
        return Drop::None;
    // Lost on the way in or on the way back, as the dice say.
    return (random_() & 1) ? Drop::Reply : Drop::Request;
}

bool FaultInjector::chance(double rate) {
    return rate > 0.0 && unit_(random_) < rate;
}

QByteArray FaultInjector::burst() {
    QByteArray bytes(int(1 + random_() % 8), '\0');
    for (char& c : bytes)
        c = char(random_() & 0xFF);
    return bytes;
}

Board::Board(BoardOptions options)
    : options_(options),
      faults_(options.corruptRate, options.dropRate, options.seed),
      mode_(options.startMode),
      handler_(makeModeHandler(options.startMode)) {}

std::vector<QByteArray> Board::receive(const QByteArray& bytes, Clock::time_point at,
                                       std::vector<Clock::duration>* delays) {
    std::lock_guard lock(mutex_);
    std::vector<QByteArray> replies;
    std::optional<BoardMode> switchTo;
    BoardContext context{memory_, counters_, faults_, options_, replies, switchTo};
    for (char c : bytes) {
        ++counters_.bytesReceived;
        handler_->receive(faults_.pass(uint8_t(c), counters_), at, context);
        if (switchTo) {
            // The bytes after the hand-over belong to the new mode.
            mode_ = *switchTo;
            handler_ = makeModeHandler(mode_);
            switchTo.reset();
        }
    }
    return send(std::move(replies), delays);
}

std::vector<QByteArray> Board::idle(Clock::time_point at) {
    std::lock_guard lock(mutex_);
    std::vector<QByteArray> replies;
    std::optional<BoardMode> switchTo;
    BoardContext context{memory_, counters_, faults_, options_, replies, switchTo};
    handler_->idle(at, context);
    return send(std::move(replies), nullptr);
}

std::optional<Clock::time_point> Board::idleDue() const {
    std::lock_guard lock(mutex_);
    return handler_->idleDue();
}

// The answers as they go on the wire: damaged, held back or led by a burst of
// stray bytes as the faults say.
std::vector<QByteArray> Board::send(std::vector<QByteArray> replies,
                                    std::vector<Clock::duration>* delays) {
    for (QByteArray& reply : replies) {
        for (char& c : reply)
            c = char(faults_.pass(uint8_t(c), counters_));
        if (faults_.chance(options_.burstRate)) {
            const QByteArray stray = faults_.burst();
            counters_.burstBytes += uint64_t(stray.size());
            reply.prepend(stray);
        }
        Clock::duration delay{};
        if (options_.lateMs > 0 && faults_.chance(kLateShare)) {
            ++counters_.lateReplies;
            delay = std::chrono::milliseconds(options_.lateMs);
        }
        if (delays)
            delays->push_back(delay);
        counters_.bytesSent += uint64_t(reply.size());
    }
    return replies;
}

void Board::hostOpened() {
    std::lock_guard lock(mutex_);
    ++counters_.hostOpens;
}

void Board::hostClosed() {
    std::lock_guard lock(mutex_);
    ++counters_.hostCloses;
    handler_->reset();
}

void Board::switchMode(BoardMode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    handler_ = makeModeHandler(mode);
}

BoardMode Board::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

QByteArray Board::read(uint32_t address, int length) const {
    std::lock_guard lock(mutex_);
    return memory_.peek(address, length);
}

bool Board::load(uint32_t address, const QByteArray& data) {
    std::lock_guard lock(mutex_);
    return memory_.load(address, data);
}

bool Board::loadHex(const QByteArray& text, QString* error) {
    std::lock_guard lock(mutex_);
    return loadIntelHex(text, memory_, error);
}

QByteArray Board::dumpHex() const {
    std::lock_guard lock(mutex_);
    return dumpIntelHex(memory_);
}

Counters Board::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

uint64_t Board::bootBlockFaults() const {
    std::lock_guard lock(mutex_);
    return memory_.bootBlockFaults();
}

}  // namespace vboard
