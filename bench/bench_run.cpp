// bench_run: a whole update through RunDownload, from the confirmation to the
// success message, against the virtual board on a pseudo-terminal.
//
//   bench_run              board paced at 9600 baud 8N1: total time against the
//                          wire time of the bytes the board counted, and the
//                          longest gap between two yields to the event loop
//   bench_run --unpaced    the same update with the board answering at once
//   bench_run --no-log     without the run log (the default writes it, as "/LOG")
//   bench_run --hex FILE   another image (e.g. build/sample/sample.hex)
//   bench_run --corrupt R --drop R --late-ms N --burst R --seed N
//                          the board's faults (see vboard --help); the run
//                          must still succeed
//   bench_run --unplug-at-line N
//                          pulls the cable at the N-th line of the write pass
//                          and reports how long the run took to end, and with
//                          which message
//
// The image fills program memory 0x000200-0x007FFF and carries 256 EEPROM
// bytes and 8 user-ID bytes. The run is the program's own, with a front end
// that answers every question with OK or Yes and times every yield.

#include <sys/resource.h>
#include <time.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "bootloader/modcomm.h"
#include "components/nxpicboot/nxpic_wire.h"
#include "download/run_download.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/pty_board.h"

namespace dwnfrw {
namespace {

constexpr int kBenchPort = 3;
constexpr uint32_t kProgramLow = 0x000200;
constexpr uint32_t kProgramEnd = 0x008000;  // one past the last byte
constexpr uint32_t kUserIdBase = 0x200000;
constexpr uint32_t kEepromBase = 0xF00000;
constexpr int kEepromBytes = 256;
constexpr int kRecordBytes = 16;
constexpr double kWireBytesPerSecond = 960.0;  // 9600 baud, ten bits a byte
constexpr double kGapAllowanceMs = 100.0;
constexpr size_t kReportedGaps = 5;  // beyond one line's exchanges

QByteArray hexRecord(uint16_t address, uint8_t type, const QByteArray& data) {
    return vboard::intelHexRecord(type, address, data);
}

void appendArea(QByteArray& hex, uint32_t base, const QByteArray& bytes) {
    uint32_t upper = 0xFFFFFFFF;
    for (int at = 0; at < bytes.size(); at += kRecordBytes) {
        const uint32_t address = base + uint32_t(at);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            hex += hexRecord(0, 4, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
        }
        hex += hexRecord(uint16_t(address & 0xFFFF), 0, bytes.mid(at, kRecordBytes));
    }
}

// A deterministic pattern without erased (0xFF) bytes, so every line is written.
QByteArray pattern(int count, uint32_t seed) {
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = char(((uint32_t(i) * 31 + (uint32_t(i) >> 8) + seed) & 0x7F));
    return bytes;
}

QByteArray fullImage() {
    QByteArray hex;
    appendArea(hex, kProgramLow, pattern(int(kProgramEnd - kProgramLow), 1));
    appendArea(hex, kUserIdBase, QByteArrayLiteral("BENCH-ID"));
    appendArea(hex, kEepromBase, pattern(kEepromBytes, 2));
    return hex + ":00000001FF\r\n";
}

class AnsweringDialogs : public UserDialogs {
  public:
    MsgAnswer message(const QString& prompt, const QString&, MsgButtons buttons, MsgIcon) override {
        last = prompt;
        return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
    }
    std::optional<QString> openFile(const OpenFileRequest&) override { return std::nullopt; }
    QString last;
};

class QuietProgress : public ProgressView {
  public:
    void setOperationText(const QString&) override {}
    void setPercentText(const QString&) override {}
    void setPercentVisible(bool) override {}
    void setBarVisible(bool) override {}
    void setBarMaximum(int) override {}
    void setBarValue(int) override {}
};

class QuietToolbar : public ToolbarControl {
  public:
    void setToolEnabled(const QString&, bool) override {}
    bool isToolEnabled(const QString&) const override { return true; }
    void setStatusCaption(const QString&) override {}
    QString statusCaption() const override { return {}; }
    int selectedPort() const override { return kBenchPort; }
    void setBusyCursor(bool) override {}
};

class NoTimer : public RunClockTimer {
  public:
    void setTimerEnabled(bool) override {}
};

// Where the run stands at a yield, told by the bootloader connection: none yet
// (identification, loader entry, first pause), open (erase and write passes),
// closed again (the final pause).
enum class Stage { BeforeConnection, Passes, AfterConnection };

struct Yield {
    qint64 atNs;      // since the run started
    qint64 insideNs;  // spent inside processEvents
    Stage stage;
    qint64 cpuNs;      // CPU time of the run's thread so far
    long preemptions;  // involuntary context switches of the process so far
};

// CPU time of the calling thread: a gap with little of it was spent waiting.
qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

long involuntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nivcsw;
}

class TimingPump : public EventPump {
  public:
    explicit TimingPump(const QElapsedTimer& clock) : clock_(clock) {}
    std::function<void(size_t)> onYield;  // with the number of yields in the passes
    void processEvents() override {
        const qint64 at = clock_.nsecsElapsed();
        const int32_t handle = bootloaderSettings().Handle;
        Stage stage = Stage::BeforeConnection;
        if (handle > 0) {
            stage = Stage::Passes;
            connected_ = true;
        } else if (connected_) {
            stage = Stage::AfterConnection;
        }
        const qint64 cpu = threadCpuNs();
        const long preemptions = involuntarySwitches();
        QCoreApplication::processEvents();
        yields.push_back({at, clock_.nsecsElapsed() - at, stage, cpu, preemptions});
        if (stage == Stage::Passes && onYield)
            onYield(++passYields_);
    }
    std::vector<Yield> yields;

  private:
    const QElapsedTimer& clock_;
    bool connected_ = false;
    size_t passYields_ = 0;
};

double ms(qint64 ns) {
    return double(ns) / 1e6;
}

double wireSeconds(uint64_t bytes) {
    return double(bytes) / kWireBytesPerSecond;
}

struct BenchOptions {
    bool paced = true;
    bool logEnabled = true;
    QString hexPath;  // empty: the full 32 KiB image
    vboard::BoardOptions faults;
    int unplugAtLine = 0;  // 0: never
};

int runBench(const BenchOptions& bench) {
    const bool paced = bench.paced;
    const bool logEnabled = bench.logEnabled;
    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        std::fprintf(stderr, "bench_run: no scratch folder\n");
        return 1;
    }
    GlobalSettings& g = globals();
    g.AppName = brandAppName(0);
    g.DataFolder = scratch.path();
    g.TempFolder = scratch.filePath(QStringLiteral("temp"));
    g.LogsFolder = scratch.filePath(QStringLiteral("logs"));
    g.LogEnabled = logEnabled;
    QDir().mkpath(g.TempFolder);
    QDir().mkpath(g.LogsFolder);
    setProgramFolder(QCoreApplication::applicationDirPath());
    QString code = QStringLiteral("ITA");
    QString message;
    if (!LoadLanguage(brandProductId(0), code, message))
        std::fprintf(stderr, "bench_run: no Italian texts (%s)\n", qPrintable(message));

    const QString portsFolder = scratch.filePath(QStringLiteral("ports"));
    QDir().mkpath(portsFolder);
    qputenv("DWNFRW_PORTS", QFile::encodeName(portsFolder));
    vboard::BoardOptions options = bench.faults;
    options.startMode = vboard::BoardMode::Application;
    options.appVersion = 4;
    options.appBuild = 0;
    options.appBrand = 7;
    options.paced = paced;
    vboard::PtyBoard board(options);
    QString error;
    if (!board.start(&error) ||
        !board.linkAs(QDir(portsFolder).filePath(QStringLiteral("COM%1").arg(kBenchPort)),
                      &error)) {
        std::fprintf(stderr, "bench_run: virtual board: %s\n", qPrintable(error));
        return 1;
    }

    QByteArray image = fullImage();
    if (!bench.hexPath.isEmpty()) {
        QFile given(bench.hexPath);
        if (!given.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "bench_run: cannot read %s\n", qPrintable(bench.hexPath));
            return 1;
        }
        image = given.readAll();
    }
    const QString hexPath = scratch.filePath(QStringLiteral("full32k.hex"));
    QFile hexFile(hexPath);
    if (!hexFile.open(QIODevice::WriteOnly) || hexFile.write(image) != image.size()) {
        std::fprintf(stderr, "bench_run: cannot write %s\n", qPrintable(hexPath));
        return 1;
    }
    hexFile.close();
    if (!InitBootloader(kBenchPort, message) || !SplitHexFile(hexPath, message)) {
        std::fprintf(stderr, "bench_run: preparing the image: %s\n", qPrintable(message));
        return 1;
    }

    PackageSession session;
    session.WorkFolder = scratch.filePath(QStringLiteral("tempfrw"));
    session.FwVersionMajor = 4;
    session.FwVersionMinor = 1;
    session.FwVersionBuild = 7;
    session.HexPath = hexPath;
    AnsweringDialogs dialogs;
    QuietProgress progress;
    QuietToolbar toolbar;
    QElapsedTimer clock;
    TimingPump pump(clock);
    NoTimer timer;
    RunClock runClock(timer, progress);
    Frontend frontend{dialogs, progress, pump, toolbar};

    // The erase yields once a packet: the write pass's lines come after them.
    constexpr size_t kErasePackets = 505;
    qint64 unpluggedAtNs = -1;
    if (bench.unplugAtLine > 0) {
        pump.onYield = [&](size_t yields) {
            if (yields == kErasePackets + size_t(bench.unplugAtLine) && unpluggedAtNs < 0) {
                unpluggedAtNs = clock.nsecsElapsed();
                board.unplug();
            }
        };
    }

    clock.start();
    const RunReport report = RunDownload(session, frontend, runClock);
    const qint64 totalNs = clock.nsecsElapsed();
    if (bench.unplugAtLine > 0) {
        std::printf("| Unplugged at line | Run ended after the unplug | Message shown |\n");
        std::printf("|---:|---:|---|\n");
        std::printf("| %d | %.3f s | %s |\n", bench.unplugAtLine,
                    unpluggedAtNs < 0 ? -1.0 : double(totalNs - unpluggedAtNs) / 1e9,
                    qPrintable(QString(dialogs.last).replace(QLatin1Char('\r'), QLatin1Char(' '))));
        return report.end == RunReport::End::Succeeded || unpluggedAtNs < 0 ? 1 : 0;
    }
    if (report.end != RunReport::End::Succeeded) {
        // The run log's last lines say which line failed and how.
        for (const QString& name : QDir(g.LogsFolder).entryList({QStringLiteral("*.LOG")})) {
            QFile log(QDir(g.LogsFolder).filePath(name));
            if (log.open(QIODevice::ReadOnly))
                std::fprintf(stderr, "%s\n", log.readAll().right(600).constData());
        }
        std::fprintf(stderr, "%s", qPrintable(vboard::countersReport(board.counters())));
        std::fprintf(stderr, "bench_run: the run failed: %s\n", qPrintable(report.failureText));
        return 1;
    }
    const vboard::ImageCheck check = vboard::checkImage(
        image, [&board](uint32_t address, int length) { return board.read(address, length); });

    // Yields: 0 before identification, 1 after it, then the first pause, the
    // passes and the final pause.
    const std::vector<Yield>& y = pump.yields;
    const auto firstOf = [&](Stage stage) {
        return std::find_if(y.begin(), y.end(),
                            [stage](const Yield& e) { return e.stage == stage; });
    };
    const auto lastOf = [&](Stage stage) {
        auto it = std::find_if(y.rbegin(), y.rend(),
                               [stage](const Yield& e) { return e.stage == stage; });
        return it == y.rend() ? y.end() : std::prev(it.base());
    };
    const auto passesBegin = firstOf(Stage::Passes);
    const auto passesLast = lastOf(Stage::Passes);
    const auto beforeLast = lastOf(Stage::BeforeConnection);
    const auto afterFirst = firstOf(Stage::AfterConnection);
    if (y.size() < 3 || passesBegin == y.end() || beforeLast == y.end() || afterFirst == y.end()) {
        std::fprintf(stderr, "bench_run: the run yielded too little to measure\n");
        return 1;
    }

    // Longest gap between two yields inside the passes.
    qint64 longestPassGap = 0;
    size_t longestAt = 0;
    qint64 longestInside = 0;
    qint64 insideTotal = 0;
    for (auto it = passesBegin; it != passesLast; ++it) {
        const qint64 gap = (it + 1)->atNs - it->atNs;
        if (gap > longestPassGap) {
            longestPassGap = gap;
            longestAt = size_t(it - y.begin());
        }
    }
    std::vector<qint64> passGaps;
    for (auto it = passesBegin; it != passesLast; ++it)
        passGaps.push_back((it + 1)->atNs - it->atNs);
    std::sort(passGaps.begin(), passGaps.end());
    const auto percentile = [&passGaps](double p) {
        return passGaps.empty()
                   ? qint64(0)
                   : passGaps[std::min(passGaps.size() - 1, size_t(p * double(passGaps.size())))];
    };
    for (const Yield& e : y) {
        longestInside = std::max(longestInside, e.insideNs);
        insideTotal += e.insideNs;
    }
    // The deliberate steps: identification (yield 0 to 1), loader entry with
    // its 200 ms hold (yield 1 to 2), the first pause (to the last yield before
    // the connection), and the final pause, whose first yield comes one slice
    // after the disconnection.
    const qint64 identifyNs = y[1].atNs - y[0].atNs;
    const qint64 loaderEntryGapNs = y[2].atNs - y[1].atNs;
    const qint64 firstPauseEndNs = beforeLast->atNs;
    const qint64 connectGapNs = passesBegin->atNs - firstPauseEndNs;
    const qint64 passesNs = passesLast->atNs - passesBegin->atNs;
    const qint64 finalStepsNs = totalNs - (afterFirst->atNs - qint64(kPauseSliceMs) * 1000000);
    const qint64 deliberateNs = (firstPauseEndNs - y[0].atNs) + finalStepsNs;

    const vboard::Counters c = board.counters();
    uint64_t bootloaderBytes = 0;
    for (const vboard::CommandCounters& perCommand : c.perCommand)
        bootloaderBytes += perCommand.requestBytes + perCommand.replyBytes;
    const uint64_t allBytes = c.bytesReceived + c.bytesSent;
    const double totalS = double(totalNs) / 1e9;
    const double withoutS = double(totalNs - deliberateNs) / 1e9;
    // Program memory and EEPROM lines alike are writes on the wire.
    const uint64_t lines = c.perCommand[nxpic::wire::kWrite].requests;
    // One line: its write and its verify, as the board counted them.
    const vboard::CommandCounters& writes = c.perCommand[nxpic::wire::kWrite];
    const vboard::CommandCounters& reads = c.perCommand[nxpic::wire::kDigest];
    const double lineBytes =
        double(writes.requestBytes + writes.replyBytes + reads.requestBytes + reads.replyBytes) /
        double(std::max<uint64_t>(1, writes.requests));
    const double lineWireMs = 1000.0 * lineBytes / kWireBytesPerSecond;

    const auto row = [](const char* figure, const QString& value) {
        std::printf("| %s | %s |\n", figure, qPrintable(value));
    };
    const auto msText = [](qint64 ns) {
        return QString::number(ms(ns), 'f', 1) + QStringLiteral(" ms");
    };
    const auto sText = [](double seconds) {
        return QString::number(seconds, 'f', 3) + QStringLiteral(" s");
    };

    std::printf("## bench_run: %s through RunDownload, %s board, log %s\n\n",
                bench.hexPath.isEmpty() ? "full 32 KiB update" : qPrintable(bench.hexPath),
                paced ? "paced (9600 baud)" : "unpaced", logEnabled ? "on" : "off");
    std::printf("Memory after the run: %s (%d bytes checked)\n\n",
                check.equal ? "equal to the image" : "DIFFERENT", check.bytesChecked);
    std::printf("| Figure | Value |\n|---|---:|\n");
    row("total run time (confirmation to success message)", sText(totalS));
    row("bytes on the wire (to the board + from the board)",
        QStringLiteral("%1 + %2 = %3").arg(c.bytesReceived).arg(c.bytesSent).arg(allBytes));
    row("deliberate steps: identification", msText(identifyNs));
    row("deliberate steps: loader entry, 200 ms hold, first pause",
        msText(firstPauseEndNs - y[1].atNs));
    row("deliberate steps: final pause", msText(finalStepsNs));
    row("run time without the deliberate steps", sText(withoutS));
    if (paced) {
        row("wire time of all bytes at 960 B/s", sText(wireSeconds(allBytes)));
        row("**ratio total / wire time (deliberate steps included)**",
            QStringLiteral("**%1**").arg(totalS / wireSeconds(allBytes), 0, 'f', 4));
        row("bootloader bytes (connection, erase, write, verify)",
            QString::number(bootloaderBytes));
        row("wire time of the bootloader bytes", sText(wireSeconds(bootloaderBytes)));
        row("ratio without the deliberate steps / bootloader wire time",
            QString::number(withoutS / wireSeconds(bootloaderBytes), 'f', 4));
        row("host time per exchange beyond the wire",
            QString::number((withoutS - wireSeconds(bootloaderBytes)) * 1000.0 /
                                double(std::max<uint64_t>(1, c.exchanges)),
                            'f', 3) +
                QStringLiteral(" ms"));
    }
    row("erase and write passes", QStringLiteral("%1 for %2 exchanges (%3 lines)")
                                      .arg(sText(double(passesNs) / 1e9))
                                      .arg(c.exchanges)
                                      .arg(lines));
    row("yields to the event loop", QString::number(y.size()));
    row("time inside processEvents: total / longest",
        msText(insideTotal) + QStringLiteral(" / ") + QString::number(ms(longestInside), 'f', 3) +
            QStringLiteral(" ms"));
    row("**longest gap between two yields in the erase and write passes**",
        QStringLiteral("**%1** (yield %2 of %3)")
            .arg(msText(longestPassGap))
            .arg(longestAt)
            .arg(y.size()));
    row("gaps between two yields in the passes: median / 99th percentile",
        msText(percentile(0.5)) + QStringLiteral(" / ") + msText(percentile(0.99)));
    if (paced) {
        row("allowance: one line's write and verify at 960 B/s + 100 ms",
            QStringLiteral("%1 bytes: %2 + %3 = %4 ms")
                .arg(lineBytes, 0, 'f', 0)
                .arg(lineWireMs, 0, 'f', 1)
                .arg(kGapAllowanceMs, 0, 'f', 0)
                .arg(lineWireMs + kGapAllowanceMs, 0, 'f', 1));
    }
    row("gap over the loader entry (open, write, 200 ms hold, close, first 100 ms slice)",
        msText(loaderEntryGapNs));
    row("gap over the connection (open, version query)", msText(connectGapNs));
    // The longest gaps of the passes, with what the run's thread did meanwhile:
    // little CPU time means it waited for the line (or for the machine).
    std::vector<size_t> order;
    for (auto it = passesBegin; it != passesLast; ++it)
        order.push_back(size_t(it - y.begin()));
    std::sort(order.begin(), order.end(), [&y](size_t a, size_t b) {
        return y[a + 1].atNs - y[a].atNs > y[b + 1].atNs - y[b].atNs;
    });
    std::printf(
        "\nLongest gaps in the passes (yield, gap, CPU of the run's thread, "
        "preemptions of the process):\n\n");
    std::printf("| Yield | Gap | Thread CPU | Preemptions |\n|---:|---:|---:|---:|\n");
    for (size_t i = 0; i < std::min<size_t>(kReportedGaps, order.size()); ++i) {
        const Yield& from = y[order[i]];
        const Yield& to = y[order[i] + 1];
        std::printf("| %zu | %.1f ms | %.2f ms | %ld |\n", order[i], ms(to.atNs - from.atNs),
                    ms(to.cpuNs - from.cpuNs), to.preemptions - from.preemptions);
    }
    qint64 passesCpu = passesLast->cpuNs - passesBegin->cpuNs;
    std::printf("\nCPU time of the run's thread during the passes: %.1f ms (%.3f ms a line)\n",
                ms(passesCpu), ms(passesCpu) / double(std::max<uint64_t>(1, lines)));
    std::printf("\n%s\n", qPrintable(vboard::countersReport(c)));
    board.stop();
    return check.equal ? 0 : 1;
}

}  // namespace
}  // namespace dwnfrw

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    dwnfrw::BenchOptions bench;
    bool ok = true;
    for (int i = 0; i < args.size() && ok; ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        const QString value = hasValue ? args[i + 1] : QString();
        bool valueOk = true;
        if (a == QLatin1String("--unpaced")) {
            bench.paced = false;
            continue;
        }
        if (a == QLatin1String("--no-log")) {
            bench.logEnabled = false;
            continue;
        }
        if (!hasValue) {
            ok = false;
            break;
        }
        ++i;
        if (a == QLatin1String("--hex"))
            bench.hexPath = value;
        else if (a == QLatin1String("--corrupt"))
            bench.faults.corruptRate = value.toDouble(&valueOk);
        else if (a == QLatin1String("--drop"))
            bench.faults.dropRate = value.toDouble(&valueOk);
        else if (a == QLatin1String("--burst"))
            bench.faults.burstRate = value.toDouble(&valueOk);
        else if (a == QLatin1String("--late-ms"))
            bench.faults.lateMs = value.toInt(&valueOk);
        else if (a == QLatin1String("--seed"))
            bench.faults.seed = value.toUInt(&valueOk);
        else if (a == QLatin1String("--unplug-at-line"))
            bench.unplugAtLine = value.toInt(&valueOk);
        else
            valueOk = false;
        ok = valueOk;
    }
    if (!ok) {
        std::fprintf(stderr,
                     "usage: bench_run [--unpaced] [--no-log] [--hex FILE] [--corrupt RATE] "
                     "[--drop RATE] [--late-ms N] [--burst RATE] [--seed N] "
                     "[--unplug-at-line N]\n");
        return 2;
    }
    return dwnfrw::runBench(bench);
}
