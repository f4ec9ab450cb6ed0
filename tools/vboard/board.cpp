#include "tools/vboard/board.h"

#include <QString>
#include <algorithm>

#include "components/ctrllink/ctrllink.h"
#include "components/nxpicboot/nxpic_wire.h"
#include "tools/vboard/intel_hex.h"

namespace vboard {

namespace wire = nxpic::wire;

namespace {

// A frame whose bytes stop coming for this long is given up, as the resident
// bootloader does: a damaged length byte announcing more bytes than follow.
constexpr auto kIdleGap = std::chrono::milliseconds(5);

// One answer in this many is held back by --late-ms.
constexpr double kLateShare = 0.25;

// The version record the board holds (the bootloader's), and another one.
constexpr uint8_t kOtherVersion[2] = {0x03, 0xF9};

bool applicationPresent(const PicMemory& memory) {
    return memory.peek(wire::kEntryBlockAddress, 2) != QByteArray(2, char(0xFF));
}

// The resident bootloader, request for request as firmware/bootloader does it:
// the same checks in the same order, so both give every request the same
// answer. A frame it cannot read is dropped without an answer.
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
        if (buffer_.isEmpty())
            return std::nullopt;
        return lastByteAt_ + kIdleGap;
    }

    // A frame cut short: dropped.
    void idle(Clock::time_point, BoardContext& board) override {
        if (!buffer_.isEmpty())
            ++board.counters.badFrames;
        buffer_.clear();
    }

    void reset() override { buffer_.clear(); }

  private:
    static bool stopped(const BoardContext& board) {
        const int stopAfter = board.options.stopAfterExchanges;
        return stopAfter >= 0 && board.counters.exchanges >= uint64_t(stopAfter);
    }

    // Hunts for the start byte, takes LEN and the frame; a bad LEN drops the
    // start byte, a bad CRC the whole frame.
    void scan(BoardContext& board) {
        for (;;) {
            const qsizetype start = buffer_.indexOf(char(wire::kRequestStart));
            if (start < 0) {
                buffer_.clear();
                return;
            }
            buffer_.remove(0, start);
            if (buffer_.size() < 2)
                return;
            const int length = uint8_t(buffer_[1]);
            if (length < 1 || length > wire::kMaxRequestBodyBytes) {
                buffer_.remove(0, 1);
                ++board.counters.badFrames;
                continue;
            }
            const int frameBytes = length + wire::kRequestOverheadBytes;
            if (buffer_.size() < frameBytes)
                return;
            const uint16_t crc = wire::crc16(buffer_, 1, length + 1);
            const bool intact = crc == wire::readCrc(buffer_, 2 + length);
            const QByteArray body = buffer_.mid(2, length);
            buffer_.remove(0, frameBytes);
            if (!intact) {
                ++board.counters.badFrames;
                continue;
            }
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
        const wire::Status status = execute(command, body.mid(1), crc, board.memory, payload);
        if (drop == FaultInjector::Drop::Reply) {
            ++board.counters.droppedReplies;
            return;
        }
        // The bootloader answers, then starts the application.
        if (command == wire::kStartApp && status == wire::kOk)
            board.switchTo = BoardMode::Application;
        const QByteArray reply = wire::encodeReply(crc, status, payload);
        ++board.counters.exchanges;
        ++perCommand.replies;
        perCommand.replyBytes += uint64_t(reply.size());
        board.replies.push_back(reply);
    }

    static wire::Status execute(uint8_t command, const QByteArray& args, uint16_t crc,
                                PicMemory& memory, QByteArray& payload) {
        const int length = int(args.size()) + wire::kTagBytes;  // LEN of the frame
        const int addressedLength = wire::kTagBytes + wire::kAddressBytes + wire::kCountBytes;
        switch (command) {
            case wire::kStartApp: {
                if (length != wire::kTagBytes)
                    return wire::kBadLength;
                return applicationPresent(memory) ? wire::kOk : wire::kAddressRefused;
            }
            case wire::kRead:
            case wire::kDigest:
            case wire::kErase: {
                if (length != addressedLength)
                    return wire::kBadLength;
                const int count = uint8_t(args[wire::kAddressBytes]);
                if (count < 1 || count > wire::kMaxDataBytes)
                    return wire::kBadLength;
                const uint32_t address = wire::readAddress(args, 0);
                if (!eepromRangeFits(address, count))
                    return wire::kAddressRefused;
                if (command == wire::kErase) {
                    if (count != 1)
                        return wire::kBadLength;
                    if (!wire::isWritable(address))
                        return wire::kAddressRefused;
                    memory.eraseRow(address);
                    return wire::kOk;
                }
                const QByteArray bytes = readBytes(memory, address, count);
                payload = command == wire::kDigest ? wire::digestOf(crc, bytes) : bytes;
                return wire::kOk;
            }
            case wire::kWrite: {
                if (length < addressedLength)
                    return wire::kBadLength;
                const uint32_t address = wire::readAddress(args, 0);
                const QByteArray data = args.mid(wire::kAddressBytes);
                if (!eepromRangeFits(address, int(data.size())))
                    return wire::kAddressRefused;
                if ((address >> 16) == (wire::kEepromBase >> 16)) {
                    memory.writeEeprom(address - wire::kEepromBase, data);
                    return wire::kOk;
                }
                if ((address | uint32_t(data.size())) % wire::kWriteBlockBytes != 0)
                    return wire::kMisaligned;
                // Block by block, each checked before it is written.
                for (int at = 0; at < data.size(); at += wire::kWriteBlockBytes) {
                    const uint32_t block = address + uint32_t(at);
                    if (!wire::isWritable(block + wire::kWriteBlockBytes - 1))
                        return wire::kAddressRefused;
                    memory.writeProgram(block, data.mid(at, wire::kWriteBlockBytes));
                }
                return wire::kOk;
            }
            default:
                return wire::kUnknownCommand;
        }
    }

    // An address in the EEPROM's window (F0xxxx) with all count bytes inside
    // F00000-F000FF; any other address passes here.
    static bool eepromRangeFits(uint32_t address, int count) {
        if ((address >> 16) != (wire::kEepromBase >> 16))
            return true;
        return address - wire::kEepromBase + uint32_t(count) <= uint32_t(wire::kEepromBytes);
    }

    // What the chip's table reads give: the memory's bytes, 00 where nothing
    // is implemented; the EEPROM at its window.
    static QByteArray readBytes(const PicMemory& memory, uint32_t address, int count) {
        QByteArray bytes;
        const bool eeprom = (address >> 16) == (wire::kEepromBase >> 16);
        for (int i = 0; i < count; ++i) {
            const uint32_t at = address + uint32_t(i);
            // The table pointer has 22 bits: higher addresses wrap.
            const QByteArray one = eeprom
                                       ? memory.peek(kEepromHexBase + (at - wire::kEepromBase), 1)
                                       : memory.peek(at & 0x3FFFFF, 1);
            bytes.append(one.isEmpty() ? '\0' : one[0]);
        }
        return bytes;
    }

    QByteArray buffer_;
    Clock::time_point lastByteAt_{};
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
            if (loaderEntriesLost_ < board.options.lostLoaderEntries) {
                ++loaderEntriesLost_;
                return;
            }
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
    int loaderEntriesLost_ = 0;
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
      handler_(makeModeHandler(options.startMode)) {
    // The boot block holds the bootloader, and with it its version record.
    memory_.load(wire::kVersionRecordAddress,
                 options.wrongVersion
                     ? QByteArray(reinterpret_cast<const char*>(kOtherVersion), 2)
                     : QByteArray(reinterpret_cast<const char*>(wire::kVersionRecord),
                                  wire::kVersionRecordBytes));
}

void Board::powerOn() {
    std::lock_guard lock(mutex_);
    if (mode_ == BoardMode::Application && !applicationPresent(memory_)) {
        mode_ = BoardMode::Bootloader;
        handler_ = makeModeHandler(mode_);
    }
}

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
