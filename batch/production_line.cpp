#include "batch/production_line.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "batch/terminal_frontend.h"
#include "startup/frontend.h"
#include "startup/localtext.h"

namespace dwnfrw::batch {

namespace {

constexpr int kTextRepeatUpdate = 1134;

volatile std::sig_atomic_t g_interrupts = 0;

// Ctrl-C reaches only this process (the boards run in process groups of their
// own); each one is handed on to every board, whose first stops its run through
// the stop flag and whose second ends it at once.
void onInterrupt(int) {
    g_interrupts = g_interrupts + 1;
}

// A tenth of a second between redraws of the live lines and checks for Ctrl-C.
constexpr int kRefreshMs = 100;
constexpr int kBarWidth = 20;

struct Board {
    BoardPort port;
    std::unique_ptr<QProcess> process;
    QByteArray outPending;
    QByteArray errPending;
    int percent = 0;
    int phase = -1;  // the run's phase as last reported; -1 before the first
    QString operation;
    std::optional<QJsonObject> report;
    bool finished = false;
    int lastPlainTenth = -1;
};

QString clockText(qint64 ms) {
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2")
        .arg(seconds / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString oneLine(QString text) {
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.simplified();
}

// The report of a board whose process ended without one. Once its run had
// reached the bootloader connection an erase may have begun: the board is
// reported as touched, with what to do about it.
QJsonObject lostReport(const Board& board) {
    QString failure =
        board.process->exitStatus() == QProcess::CrashExit
            ? QStringLiteral("the update of %1 ended abnormally").arg(board.port.label)
            : QStringLiteral("the update of %1 ended (exit code %2) without a report")
                  .arg(board.port.label)
                  .arg(board.process->exitCode());
    const bool possiblyTouched = board.phase >= static_cast<int>(RunPhase::Connecting);
    if (possiblyTouched)
        failure += QLatin1Char('\n') + terminalText(GetText(kTextRepeatUpdate));
    return QJsonObject{{QStringLiteral("port"), board.port.label},
                       {QStringLiteral("outcome"), QStringLiteral("failure")},
                       {QStringLiteral("exitCode"), kFailure},
                       {QStringLiteral("failure"), failure},
                       {QStringLiteral("boardTouched"), possiblyTouched}};
}

int boardExitCode(const Board& board) {
    return board.report->value(QStringLiteral("exitCode")).toInt(kFailure);
}

// The live display: one line per board redrawn in place on a terminal; on a
// pipe, a plain line per board at every tenth of its work (a run that ends
// early resets its bar, which is no news).
class LineDisplay {
  public:
    LineDisplay(FILE* out, bool interactive) : out_(out), interactive_(interactive) {
        clock_.start();
    }

    void redraw(std::vector<Board>& boards) {
        if (!interactive_) {
            for (Board& board : boards) {
                if (board.finished || board.percent / 10 <= board.lastPlainTenth)
                    continue;
                board.lastPlainTenth = board.percent / 10;
                std::fprintf(out_, "%s %s %d%%\n", qPrintable(board.port.label),
                             qPrintable(clockText(clock_.elapsed())), board.percent);
            }
            std::fflush(out_);
            return;
        }
        moveToTop();
        for (const Board& board : boards) {
            QString state;
            if (board.finished) {
                state = board.report->value(QStringLiteral("outcome")).toString();
            } else {
                const int filled = board.percent * kBarWidth / 100;
                state = QStringLiteral("[%1%2] %3%  %4")
                            .arg(QString(filled, QLatin1Char('#')))
                            .arg(QString(kBarWidth - filled, QLatin1Char('.')))
                            .arg(board.percent, 3)
                            .arg(oneLine(board.operation).left(40));
            }
            std::fprintf(out_, "\r%-8s %s  %s\033[K\n", qPrintable(board.port.label),
                         qPrintable(clockText(clock_.elapsed())), qPrintable(state));
        }
        drawn_ = int(boards.size());
        std::fflush(out_);
    }

    // A message of one board, printed above the live lines.
    void message(FILE* stream, const QString& label, const QString& line,
                 std::vector<Board>& boards) {
        moveToTop();
        std::fprintf(stream, "%s%s: %s\n", interactive_ ? "\r\033[K" : "", qPrintable(label),
                     qPrintable(line));
        std::fflush(stream);
        if (interactive_)
            redraw(boards);
    }

  private:
    void moveToTop() {
        if (interactive_ && drawn_ > 0) {
            std::fprintf(out_, "\033[%dA", drawn_);
            std::fflush(out_);
        }
        drawn_ = 0;
    }

    FILE* out_;
    bool interactive_;
    int drawn_ = 0;
    QElapsedTimer clock_;
};

// Takes the whole lines off the front of pending.
QList<QByteArray> takeLines(QByteArray& pending, bool all) {
    QList<QByteArray> lines;
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        lines.append(pending.left(end));
        pending.remove(0, end + 1);
    }
    if (all && !pending.isEmpty()) {
        lines.append(pending);
        pending.clear();
    }
    return lines;
}

}  // namespace

int worseExitCode(int a, int b) {
    // A board that failed weighs more than one that was left alone because a
    // question was answered No; bad usage weighs most.
    const auto weight = [](int code) {
        switch (code) {
            case kSuccess:
                return 0;
            case kDeclined:
                return 1;
            case kFailure:
                return 2;
            default:
                return 3;
        }
    };
    return weight(a) >= weight(b) ? a : b;
}

int updateBoards(const QList<BoardPort>& ports, const QStringList& updateArguments, bool json) {
    FILE* out = json ? stderr : stdout;
    // Lines redrawn in place need a terminal that holds them all.
    winsize terminal{};
    const bool fits = !json && isatty(fileno(out)) &&
                      ::ioctl(fileno(out), TIOCGWINSZ, &terminal) == 0 &&
                      (terminal.ws_row == 0 || ports.size() < terminal.ws_row);
    LineDisplay display(out, fits);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGHUP, onInterrupt);

    std::vector<Board> boards(size_t(ports.size()));
    QEventLoop loop;
    int running = 0;
    const auto forward = [&](Board& board, bool all) {
        for (const QByteArray& line : takeLines(board.outPending, all)) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.contains(QStringLiteral("outcome"))) {
                board.report = object;
            } else if (object.contains(QStringLiteral("percent"))) {
                board.percent = object.value(QStringLiteral("percent")).toInt();
                board.phase = object.value(QStringLiteral("phase")).toInt(board.phase);
                board.operation = object.value(QStringLiteral("operation")).toString();
            }
        }
        for (const QByteArray& line : takeLines(board.errPending, all)) {
            if (!line.trimmed().isEmpty())
                display.message(stderr, board.port.label, QString::fromUtf8(line), boards);
        }
    };

    for (qsizetype i = 0; i < ports.size(); ++i) {
        Board& board = boards[size_t(i)];
        board.port = ports[i];
        board.process = std::make_unique<QProcess>();
        QProcess* process = board.process.get();
        QObject::connect(process, &QProcess::readyReadStandardOutput, [&board, &forward] {
            board.outPending += board.process->readAllStandardOutput();
            forward(board, false);
        });
        QObject::connect(process, &QProcess::readyReadStandardError, [&board, &forward] {
            board.errPending += board.process->readAllStandardError();
            forward(board, false);
        });
        const auto ended = [&, i] {
            Board& ended = boards[size_t(i)];
            if (ended.finished)
                return;
            ended.outPending += ended.process->readAllStandardOutput();
            ended.errPending += ended.process->readAllStandardError();
            forward(ended, true);
            if (!ended.report)
                ended.report = lostReport(ended);
            ended.finished = true;
            display.redraw(boards);
            if (--running == 0)
                loop.quit();
        };
        QObject::connect(process, &QProcess::finished, ended);
        QObject::connect(process, &QProcess::errorOccurred, [ended](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                ended();
        });
        // A board whose command dies (even by kill -9) is told by a hang-up,
        // which stops its run as Ctrl-C does: no board runs on unsupervised.
        const pid_t parent = ::getpid();
        process->setChildProcessModifier([parent] {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGHUP);
            if (::getppid() != parent)
                ::_exit(kFailure);  // the command died before the hang-up was asked for
        });
        ++running;
        process->start(QCoreApplication::applicationFilePath(),
                       QStringList{QStringLiteral("update"), QStringLiteral("--port"),
                                   board.port.label, QStringLiteral("--json"),
                                   QStringLiteral("--") + QLatin1String(kProgressLinesOption)} +
                           updateArguments);
    }

    int forwarded = 0;
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, [&] {
        for (; forwarded < g_interrupts; ++forwarded) {
            for (Board& board : boards) {
                if (!board.finished && board.process->processId() > 0)
                    ::kill(pid_t(board.process->processId()), SIGINT);
            }
        }
        display.redraw(boards);
    });
    refresh.start(kRefreshMs);
    display.redraw(boards);
    if (running > 0)
        loop.exec();
    refresh.stop();

    int exitCode = kSuccess;
    int succeeded = 0;
    QJsonArray reports;
    for (const Board& board : boards) {
        const int code = boardExitCode(board);
        exitCode = worseExitCode(exitCode, code);
        succeeded += code == kSuccess ? 1 : 0;
        reports.append(*board.report);
        const QString failure = oneLine(board.report->value(QStringLiteral("failure")).toString());
        std::fprintf(out, "%s: %s%s%s\n", qPrintable(board.port.label),
                     qPrintable(board.report->value(QStringLiteral("outcome")).toString()),
                     failure.isEmpty() ? "" : " - ", qPrintable(failure));
    }
    std::fprintf(out, "%d of %d boards updated\n", succeeded, int(boards.size()));
    std::fflush(out);
    if (json) {
        std::fprintf(stdout, "%s\n",
                     QJsonDocument(reports).toJson(QJsonDocument::Indented).constData());
        std::fflush(stdout);
    }
    return exitCode;
}

}  // namespace dwnfrw::batch
