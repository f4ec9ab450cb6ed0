// chipboard: a simulated PIC18F452 running a firmware image, its USART on a
// pseudo-terminal. Prints the terminal's path as its first line.

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/chipboard/chip_bench.h"
#include "tools/chipboard/line_faults.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/line_options.h"

namespace {

FILE* gOut = stdout;  // our own standard output; gpsim's chatter goes elsewhere

int usage(const QString& why) {
    std::fprintf(stderr, "chipboard: %s\n", qPrintable(why));
    return 2;
}

bool readHexInto(const QString& path, vboard::PicMemory& memory, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QString why;
    if (!vboard::loadIntelHex(file.readAll(), memory, &why)) {
        *error = path + QStringLiteral(": ") + why;
        return false;
    }
    return true;
}

bool writeWhole(const QString& path, const QByteArray& bytes, QString* error) {
    QSaveFile file(path);
    // flush() before commit(): commit() does not report a failure of the
    // write that empties the buffer, and a state file cut short is a lost board.
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
        !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

// gpsim prints to standard output as it pleases; that goes to a memory file,
// whose last lines explain a simulation that stopped by itself.
int keepGpsimChatter() {
    const int saved = ::dup(STDOUT_FILENO);
    const int chatter = ::memfd_create("gpsim-output", MFD_CLOEXEC);
    if (saved < 0 || chatter < 0)
        return -1;
    ::dup2(chatter, STDOUT_FILENO);
    ::fcntl(saved, F_SETFD, FD_CLOEXEC);
    gOut = ::fdopen(saved, "w");
    return chatter;
}

QString lastLines(int fd, int count) {
    std::fflush(stdout);
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const off_t from = size > 4096 ? size - 4096 : 0;
    QByteArray text(int(size - from), '\0');
    if (::pread(fd, text.data(), size_t(text.size()), from) < 0)
        return {};
    QStringList lines = QString::fromLocal8Bit(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    while (lines.size() > count)
        lines.removeFirst();
    return lines.join(QStringLiteral("\n"));
}

}  // namespace

int main(int argc, char** argv) {
    // The end signals are read from a descriptor the simulation polls.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    const int stopFd = ::signalfd(-1, &endSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    // A paced bench waits once a byte time: keep the kernel from stretching
    // those waits by its default 50 us slack.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("chipboard"));
    const QString defaultFirmware = QDir(QCoreApplication::applicationDirPath())
                                        .filePath(QStringLiteral("../firmware/board.hex"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A simulated PIC18F452 (gpsim) running a firmware image, its USART (RC6 TX, RC7 RX)\n"
        "served on a pseudo-terminal at 9600 baud 8N1. The first line of output is the\n"
        "terminal's path; the counters follow when the board ends (Ctrl-C or SIGTERM).\n"
        "Memory files are Intel HEX in the virtual board's layout (EEPROM at F00000)."));
    parser.addHelpOption();
    const QCommandLineOption linkOption = vboard::linkOption();
    const QCommandLineOption firmwareOption(
        QStringLiteral("firmware"),
        QStringLiteral("The Intel HEX image the chip starts with (program memory, EEPROM, user "
                       "ID, configuration). Default: %1.")
            .arg(QDir::cleanPath(defaultFirmware)),
        QStringLiteral("HEX"), defaultFirmware);
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("The chip's whole memory: loaded at start when FILE exists (instead of "
                       "--firmware), written back when the board ends."),
        QStringLiteral("FILE"));
    const QCommandLineOption dumpOption(
        QStringLiteral("dump"),
        QStringLiteral("Write the whole memory as Intel HEX to FILE when the board ends."),
        QStringLiteral("FILE"));
    const QCommandLineOption pacedOption(
        QStringLiteral("paced"),
        QStringLiteral("Simulated time never runs ahead of the wall clock (real 9600-baud "
                       "timing); the same as --speed 1."));
    const QCommandLineOption speedOption(
        QStringLiteral("speed"),
        QStringLiteral("Simulated time runs at most N times as fast as the wall clock (default: "
                       "as fast as the simulator goes)."),
        QStringLiteral("N"));
    const QCommandLineOption clockOption(
        QStringLiteral("clock"), QStringLiteral("The crystal's frequency (default 10000000)."),
        QStringLiteral("HZ"), QStringLiteral("10000000"));
    const QCommandLineOption corruptOption = vboard::corruptOption();
    const QCommandLineOption dropOption = vboard::dropOption();
    const QCommandLineOption seedOption = vboard::seedOption();
    parser.addOptions({linkOption, firmwareOption, stateOption, dumpOption, pacedOption,
                       speedOption, clockOption, corruptOption, dropOption, seedOption});
    parser.process(app);

    chipbench::ChipOptions options;
    bool ok = false;
    options.clockHz = parser.value(clockOption).toDouble(&ok);
    if (!ok || options.clockHz < 1e3 || options.clockHz > 40e6)
        return usage(QStringLiteral("--clock takes a frequency in Hz from 1000 to 40000000"));
    if (parser.isSet(speedOption)) {
        options.link.speed = parser.value(speedOption).toDouble(&ok);
        if (!ok || options.link.speed <= 0.0)
            return usage(QStringLiteral("--speed takes a positive number"));
    }
    if (parser.isSet(pacedOption))
        options.link.speed = 1.0;
    double corruptRate = 0.0;
    double dropRate = 0.0;
    if (!vboard::parseRate(parser.value(corruptOption), corruptRate))
        return usage(QStringLiteral("--corrupt takes a fraction from 0 to 1"));
    if (!vboard::parseRate(parser.value(dropOption), dropRate))
        return usage(QStringLiteral("--drop takes a fraction from 0 to 1"));
    const uint32_t seed = parser.value(seedOption).toUInt(&ok);
    if (!ok)
        return usage(QStringLiteral("bad --seed"));

    // The memory the chip starts with: the state of the last run, or a new
    // chip (blank) programmed with the firmware image.
    vboard::PicMemory memory(vboard::pic18f452Layout(), vboard::StartContents::Blank);
    QString error;
    const QString statePath = parser.value(stateOption);
    if (!statePath.isEmpty() && QFileInfo::exists(statePath)) {
        if (!readHexInto(statePath, memory, &error))
            return usage(QStringLiteral("the state file ") + error);
    } else {
        const QString firmware = parser.value(firmwareOption);
        if (!QFileInfo::exists(firmware))
            return usage(QStringLiteral("no firmware image at %1 (give one with --firmware HEX)")
                             .arg(QDir::cleanPath(firmware)));
        if (!readHexInto(firmware, memory, &error))
            return usage(error);
    }

    const int chatter = keepGpsimChatter();
    options.chatterFd = chatter;
    chipbench::ChipBench bench(options);
    if (!bench.create(&error))
        return usage(error);
    bench.loadMemory(memory);

    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B9600);
    cfsetospeed(&raw, B9600);
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, &raw, nullptr) != 0)
        return usage(QStringLiteral("cannot create a pseudo-terminal: %1")
                         .arg(QString::fromLocal8Bit(strerror(errno))));
    // The bench holds no end of the host's side: the host opening and closing
    // the terminal is how it sees a port opened and hung up.
    ::close(slave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    const QString device = QString::fromLocal8Bit(name);
    const QString linkPath = parser.value(linkOption);
    if (!linkPath.isEmpty() && !vboard::linkTerminal(linkPath, device, &error))
        return usage(error);
    chipbench::LineFaults faults(corruptRate, dropRate, seed);
    const bool faulty = corruptRate > 0.0 || dropRate > 0.0;
    bench.serve(master, name, stopFd, faulty ? &faults : nullptr);
    std::fprintf(gOut, "%s\n", name);
    std::fflush(gOut);

    const chipbench::RunEnd end = bench.run();
    int status = 0;
    if (end == chipbench::RunEnd::Halted) {
        std::fprintf(stderr,
                     "chipboard: the simulation stopped by itself at PC %06X after %llu cycles; "
                     "gpsim said:\n%s\n",
                     bench.programCounter() * 2, static_cast<unsigned long long>(bench.cycles()),
                     qPrintable(chatter >= 0 ? lastLines(chatter, 6) : QString()));
        status = 1;
    }
    bench.readMemory(memory);
    if (!statePath.isEmpty() && !writeWhole(statePath, vboard::dumpIntelHex(memory), &error)) {
        std::fprintf(stderr, "chipboard: %s\n", qPrintable(error));
        status = 1;
    }
    if (parser.isSet(dumpOption) &&
        !writeWhole(parser.value(dumpOption), vboard::dumpIntelHex(memory), &error)) {
        std::fprintf(stderr, "chipboard: %s\n", qPrintable(error));
        status = 1;
    }
    if (!linkPath.isEmpty())
        vboard::unlinkTerminal(linkPath, device);

    const chipbench::LinkCounters counters = bench.linkCounters();
    std::fprintf(gOut,
                 "bytes received: %llu\nbytes sent: %llu\nhost opens: %llu\nhost closes: %llu\n"
                 "corrupted bytes: %llu\ndropped requests: %llu\ndropped replies: %llu\n"
                 "framing errors: %llu\nresets: %llu\nwrite-protected words: %llu\ncycles: %llu\n",
                 static_cast<unsigned long long>(counters.bytesReceived),
                 static_cast<unsigned long long>(counters.bytesSent),
                 static_cast<unsigned long long>(counters.hostOpens),
                 static_cast<unsigned long long>(counters.hostCloses),
                 static_cast<unsigned long long>(faults.counters().corruptedBytes),
                 static_cast<unsigned long long>(faults.counters().droppedRequests),
                 static_cast<unsigned long long>(faults.counters().droppedReplies),
                 static_cast<unsigned long long>(bench.framingErrors()),
                 static_cast<unsigned long long>(bench.resets()),
                 static_cast<unsigned long long>(bench.protectedWrites()),
                 static_cast<unsigned long long>(bench.cycles()));
    std::fflush(gOut);
    return status;
}
