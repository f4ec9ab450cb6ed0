// bench_line: several virtual boards updated at once by one dwnfrw-batch
// command (one child process per board), against one board alone.
//
//   bench_line                 8 boards paced at 9600 baud against 1 board
//                              paced: wall time ratio (target <= 1.2), CPU
//                              time and peak memory of each board's process
//   bench_line --unpaced       1, 4, 16 and 32 boards answering at once
//   bench_line --boards N      N boards (paced unless --unpaced) against one
//
// Every board starts in its application (version 4 build 3, below the sample
// package's 4.1.7) and must hold the image afterwards. Everything lives in a
// scratch folder: ports, data, documents.

#include <sys/resource.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "tools/vboard/image_check.h"
#include "tools/vboard/pty_board.h"

namespace {

constexpr int kFirstPort = 3;
// A paced sample update takes about 25 s; far beyond this is a hang.
constexpr int kRunTimeoutMs = 15 * 60 * 1000;

struct LineRun {
    int boards = 0;
    double wallSeconds = 0;
    std::vector<double> cpuSeconds;     // per board's process
    std::vector<qint64> peakMemoryKiB;  // per board's process
    double parentCpuSeconds = 0;        // the command's own process, and the boards' sum
    int succeeded = 0;
    int imagesEqual = 0;
    QString problem;
};

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

LineRun runLine(int boards, bool paced, const QString& batch, const QString& package,
                const QByteArray& image) {
    LineRun run;
    run.boards = boards;
    QTemporaryDir scratch;
    const QString ports = scratch.filePath(QStringLiteral("ports"));
    QDir().mkpath(ports);
    std::vector<std::unique_ptr<vboard::PtyBoard>> board;
    QStringList portList;
    for (int i = 0; i < boards; ++i) {
        vboard::BoardOptions options;
        options.startMode = vboard::BoardMode::Application;
        options.paced = paced;
        options.appBuild = 3;
        board.push_back(std::make_unique<vboard::PtyBoard>(options));
        QString why;
        const int port = kFirstPort + i;
        if (!board.back()->start(&why) ||
            !board.back()->linkAs(ports + QStringLiteral("/COM%1").arg(port), &why)) {
            run.problem = why;
            return run;
        }
        portList << QString::number(port);
    }

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), scratch.filePath(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), scratch.filePath(QStringLiteral("data")));
    environment.insert(QStringLiteral("DWNFRW_PORTS"), ports);
    QProcess process;
    process.setProcessEnvironment(environment);
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    QElapsedTimer clock;
    clock.start();
    process.start(batch, {QStringLiteral("update"), QStringLiteral("--port"),
                          portList.join(QLatin1Char(',')), QStringLiteral("--package"), package,
                          QStringLiteral("--yes"), QStringLiteral("--json")});
    if (!process.waitForFinished(kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.problem = QStringLiteral("the command did not end");
        return run;
    }
    run.wallSeconds = clock.nsecsElapsed() / 1e9;
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    run.parentCpuSeconds = seconds(after.ru_utime) + seconds(after.ru_stime) -
                           seconds(before.ru_utime) - seconds(before.ru_stime);

    // One board runs in the command's own process and prints one report.
    const QJsonDocument document = QJsonDocument::fromJson(process.readAllStandardOutput());
    const QJsonArray reports =
        document.isArray() ? document.array() : QJsonArray{document.object()};
    for (const QJsonValue& value : reports) {
        const QJsonObject report = value.toObject();
        run.succeeded += report[QStringLiteral("outcome")].toString() == QLatin1String("success");
        run.cpuSeconds.push_back(report[QStringLiteral("cpuSeconds")].toDouble());
        run.peakMemoryKiB.push_back(report[QStringLiteral("peakMemoryKiB")].toInteger());
    }
    for (auto& one : board) {
        one->stop();
        run.imagesEqual += vboard::checkImage(image, [&](uint32_t address, int length) {
                               return one->read(address, length);
                           }).equal;
    }
    if (run.succeeded != boards)
        run.problem = QString::fromUtf8(process.readAllStandardError()).left(400);
    return run;
}

template <typename T>
std::pair<T, T> range(const std::vector<T>& values) {
    if (values.empty())
        return {T(), T()};
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return {*low, *high};
}

void print(const LineRun& run) {
    const auto [cpuLow, cpuHigh] = range(run.cpuSeconds);
    const auto [memLow, memHigh] = range(run.peakMemoryKiB);
    std::printf("| %d | %.2f s | %d/%d | %d/%d | %.2f-%.2f s | %.1f-%.1f MB | %.2f s |\n",
                run.boards, run.wallSeconds, run.succeeded, run.boards, run.imagesEqual, run.boards,
                cpuLow, cpuHigh, memLow / 1024.0, memHigh / 1024.0, run.parentCpuSeconds);
    if (!run.problem.isEmpty())
        std::printf("problem: %s\n", qPrintable(run.problem));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption unpaced(QStringLiteral("unpaced"),
                                     QStringLiteral("Boards answer at once: 1, 4, 16, 32."));
    const QCommandLineOption boardsOption(QStringLiteral("boards"),
                                          QStringLiteral("Boards at once (default 8)."),
                                          QStringLiteral("N"), QStringLiteral("8"));
    const QCommandLineOption batchOption(QStringLiteral("batch"), QStringLiteral("dwnfrw-batch"),
                                         QStringLiteral("FILE"), QStringLiteral(DWNFRW_BATCH_EXE));
    const QCommandLineOption sampleOption(QStringLiteral("sample"),
                                          QStringLiteral("Folder of sample.fwz and sample.hex"),
                                          QStringLiteral("DIR"), QStringLiteral(DWNFRW_SAMPLE_DIR));
    parser.addOptions({unpaced, boardsOption, batchOption, sampleOption});
    parser.process(app);

    const QDir sample(parser.value(sampleOption));
    QFile hex(sample.filePath(QStringLiteral("sample.hex")));
    if (!hex.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_line: cannot read %s\n", qPrintable(hex.fileName()));
        return 1;
    }
    const QByteArray image = hex.readAll();
    const QString package = sample.filePath(QStringLiteral("sample.fwz"));
    const QString batch = parser.value(batchOption);
    const bool paced = !parser.isSet(unpaced);

    std::vector<int> sizes;
    if (paced || parser.isSet(boardsOption))
        sizes = {1, parser.value(boardsOption).toInt()};
    else
        sizes = {1, 4, 16, 32};
    std::printf("%s boards, sample package\n\n", paced ? "paced (9600 baud)" : "unpaced");
    std::printf(
        "| Boards | Wall time | Succeeded | Memory equals image | CPU per board | "
        "Peak memory per board | CPU of all processes |\n|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<LineRun> runs;
    bool allGood = true;
    for (int boards : sizes) {
        runs.push_back(runLine(boards, paced, batch, package, image));
        print(runs.back());
        allGood = allGood && runs.back().problem.isEmpty() && runs.back().imagesEqual == boards;
    }
    std::printf("\n");
    for (const LineRun& run : runs) {
        if (run.boards > 1 && runs.front().wallSeconds > 0) {
            std::printf("%d boards / 1 board wall time: %.3f\n", run.boards,
                        run.wallSeconds / runs.front().wallSeconds);
        }
    }
    return allGood ? 0 : 1;
}
