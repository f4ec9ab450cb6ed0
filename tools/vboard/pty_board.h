// The virtual board on a pseudo-terminal: serves the board's terminal on a
// thread of its own, paces bytes when asked, and sees the host open and close
// the port. The tests run the real host libraries against it.
#pragma once

#include <QString>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tools/vboard/board.h"

namespace vboard {

class PtyBoard {
  public:
    explicit PtyBoard(BoardOptions options = {});
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    // Creates the terminal and starts serving it.
    bool start(QString* error = nullptr);
    // The terminal the host opens (/dev/pts/N).
    QString devicePath() const { return devicePath_; }
    // A symbolic link at path to the terminal, replacing what stood there;
    // removed again when the board stops.
    bool linkAs(const QString& path, QString* error = nullptr);
    // The whole memory is written to path as Intel HEX each time the host
    // closes the port, and when the board stops.
    void setDumpFile(const QString& path);
    // Pulls the cable: the terminal goes away while the host may hold it open.
    void unplug();
    // Stops serving, writes the dump, removes the link. Safe to call twice.
    void stop();

    // The board's memory and counters, safe while it runs.
    QByteArray read(uint32_t address, int length) const { return board_.read(address, length); }
    bool load(uint32_t address, const QByteArray& data) { return board_.load(address, data); }
    bool loadHex(const QString& path, QString* error = nullptr);
    // After the memory is loaded: the start rule of Board::powerOn.
    void powerOn() { board_.powerOn(); }
    BoardMode mode() const { return board_.mode(); }
    QByteArray dumpHex() const { return board_.dumpHex(); }
    bool writeDump(QString* error = nullptr) const;
    Counters counters() const { return board_.counters(); }
    uint64_t bootBlockFaults() const { return board_.bootBlockFaults(); }

  private:
    class Loop;  // the board thread's state and its steps (pty_board.cpp)
    void run();
    void sendControl(char command);

    Board board_;
    int master_ = -1;
    int controlPipe_[2] = {-1, -1};
    int inotify_ = -1;
    QString devicePath_;
    QString linkPath_;
    QString dumpPath_;
    std::thread thread_;

    std::mutex controlMutex_;
    std::condition_variable controlDone_;
    int controlsSent_ = 0;
    int controlsHandled_ = 0;
};

// One byte's time on the wire at 9600 baud 8N1.
inline constexpr auto kPacedByteTime = std::chrono::nanoseconds(1'041'667);

QString countersReport(const Counters& counters);

}  // namespace vboard
