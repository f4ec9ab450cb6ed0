// The virtual board's behaviour, apart from any terminal: bytes from the host
// go in, the board's answers come out. The byte stream goes to the handler of
// the mode the board is in: the resident bootloader or the running
// application, which hand over to each other as the firmware does.
#pragma once

#include <QByteArray>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <vector>

#include "tools/vboard/pic_memory.h"

namespace vboard {

using Clock = std::chrono::steady_clock;

enum class BoardMode {
    Bootloader,   // the resident bootloader answers the host's frames
    Application,  // the running application answers the link component
};

struct BoardOptions {
    BoardMode startMode = BoardMode::Bootloader;
    bool paced = false;        // every byte takes its time at 9600 baud 8N1
    int workDelayMs = 0;       // before each reply
    double corruptRate = 0.0;  // fraction of bytes (either direction) damaged
    double dropRate = 0.0;     // fraction of request frames lost, or their replies
    int lateMs = 0;            // some answers (one in four) come this much later
    double burstRate = 0.0;    // fraction of answers preceded by a burst of stray bytes
    uint32_t seed = 1;
    int stopAfterExchanges = -1;  // no replies after this many; -1: never stop
    bool wrongVersion = false;    // answer a bootloader version the host must refuse
    // Requests (numbered from 1 in order of arrival) executed with their reply
    // lost, for tests that need one lost reply at a known place.
    std::vector<uint64_t> loseRepliesTo;
    // The running application (start in BoardMode::Application). Version, build
    // and brand are what a previous firmware answers; an application with a
    // version record in memory answers its own.
    int32_t appVersion = 4;
    int32_t appBuild = 0;
    int32_t appBrand = 7;
    int32_t appLinkError = 0;   // non-zero: the application reports this error
    bool appSilent = false;     // the application never answers
    int lostLoaderEntries = 0;  // this many loader-entry commands are lost on the line
};

struct CommandCounters {
    uint64_t requests = 0;  // valid request frames
    uint64_t requestBytes = 0;
    uint64_t replies = 0;
    uint64_t replyBytes = 0;
    uint64_t repetitions = 0;  // requests equal to the one before (the host repeating)
};

struct Counters {
    uint64_t bytesReceived = 0;
    uint64_t bytesSent = 0;
    uint64_t requests = 0;   // valid request frames
    uint64_t exchanges = 0;  // requests answered
    uint64_t badFrames = 0;  // start bytes dropped while resynchronising
    uint64_t corruptedBytes = 0;
    uint64_t droppedRequests = 0;  // taken off the wire unseen
    uint64_t droppedReplies = 0;   // executed, answer lost
    uint64_t lateReplies = 0;      // answers held back by lateMs
    uint64_t burstBytes = 0;       // stray bytes sent between frames
    uint64_t hostOpens = 0;
    uint64_t hostCloses = 0;
    std::array<CommandCounters, 16> perCommand{};
};

// Decisions of the fault injector; one seeded generator, so a run replays.
class FaultInjector {
  public:
    FaultInjector(double corruptRate, double dropRate, uint32_t seed);
    // The byte, damaged in one or more bits when the dice say so.
    uint8_t pass(uint8_t byte, Counters& counters);
    enum class Drop { None, Request, Reply };
    Drop dropFrame();
    // True with probability rate (never for a rate of 0, so a clean board
    // draws nothing and its runs stay as they were).
    bool chance(double rate);
    // One to eight random bytes.
    QByteArray burst();

  private:
    double corruptRate_;
    double dropRate_;
    std::mt19937 random_;
    std::uniform_real_distribution<double> unit_{0.0, 1.0};
};

// A mode's view of the board.
struct BoardContext {
    PicMemory& memory;
    Counters& counters;
    FaultInjector& faults;
    const BoardOptions& options;
    std::vector<QByteArray>& replies;    // answers of this feed, in order
    std::optional<BoardMode>& switchTo;  // set by a mode that hands over
};

class ModeHandler {
  public:
    virtual ~ModeHandler() = default;
    // One byte from the host, received at `at` (the pacing clock).
    virtual void receive(uint8_t byte, Clock::time_point at, BoardContext& board) = 0;
    // When the line has been quiet since the last byte, the mode wants to be
    // told at this time (idle()); nothing when it does not care.
    virtual std::optional<Clock::time_point> idleDue() const { return std::nullopt; }
    virtual void idle(Clock::time_point, BoardContext&) {}
    // The host hung up: partial input is dropped.
    virtual void reset() = 0;
};

// The version record of the board's application (firmware/app/app.asm): twelve
// bytes at a fixed address, "APPV", the layout 01, a reserved byte, then
// version, build and brand as 16-bit numbers, low byte first.
inline constexpr uint32_t kAppVersionRecord = 0x000220;
inline constexpr int kAppVersionRecordBytes = 12;
inline constexpr char kAppVersionMarker[] = "APPV";
inline constexpr uint8_t kAppVersionLayout = 0x01;

struct AppVersion {
    int32_t version;
    int32_t build;
    int32_t brand;
};
// The version program memory's application records; nothing when memory holds
// no record (a previous firmware, a blank device).
std::optional<AppVersion> applicationVersion(const PicMemory& memory);

std::unique_ptr<ModeHandler> makeBootloaderMode();
std::unique_ptr<ModeHandler> makeApplicationMode();
// The handler of a mode.
std::unique_ptr<ModeHandler> makeModeHandler(BoardMode mode);

class Board {
  public:
    explicit Board(BoardOptions options = {});

    // Bytes from the host; returns the board's answers (faults applied) and,
    // when delays is given, how much later than usual each one leaves.
    std::vector<QByteArray> receive(const QByteArray& bytes, Clock::time_point at,
                                    std::vector<Clock::duration>* delays = nullptr);
    // The line has been quiet since the last byte: answers owed to it (a
    // negative acknowledgement of unreadable input).
    std::vector<QByteArray> idle(Clock::time_point at);
    std::optional<Clock::time_point> idleDue() const;
    void hostOpened();
    void hostClosed();

    // At reset the bootloader starts the application only when it is there
    // (its entry word at 000200 programmed): a board meant to start in its
    // application without one stays in the bootloader.
    void powerOn();

    BoardMode mode() const;
    // Leaves the current mode (its partial input is dropped) for another.
    void switchMode(BoardMode mode);
    const BoardOptions& options() const { return options_; }

    // Thread-safe views for the tests and the dump.
    QByteArray read(uint32_t address, int length) const;
    bool load(uint32_t address, const QByteArray& data);
    bool loadHex(const QByteArray& text, QString* error);
    QByteArray dumpHex() const;
    Counters counters() const;
    uint64_t bootBlockFaults() const;

  private:
    std::vector<QByteArray> send(std::vector<QByteArray> replies,
                                 std::vector<Clock::duration>* delays);

    BoardOptions options_;
    mutable std::mutex mutex_;
    PicMemory memory_;
    Counters counters_;
    FaultInjector faults_;
    BoardMode mode_;
    std::unique_ptr<ModeHandler> handler_;
};

}  // namespace vboard
