// Start-up to a shown window: the program's own start-up and window, timed
// from the process's entry to the window's first paint, then ended. The
// shipped program has no switch for this; this harness reaches the window.
//
//   bench_startup /COM=1 /L=ENG      (needs a display, e.g. under xvfb-run)
#include <QElapsedTimer>
#include <QEvent>
#include <cstdio>

#include "startup/command_line.h"
#include "ui/program_host.h"

namespace {

// Ends the program at the window's first paint.
class FirstPaint : public QObject {
  public:
    explicit FirstPaint(const QElapsedTimer& clock) : clock_(clock) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            std::printf("start-up to first paint: %.3f s\n", clock_.nsecsElapsed() / 1e9);
            QCoreApplication::exit(0);
        }
        return false;
    }

  private:
    const QElapsedTimer& clock_;
    bool seen_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer clock;
    clock.start();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    dwnfrw::ProgramHost host(argc, argv);
    if (dwnfrw::Main(dwnfrw::joinArguments(arguments), host) != dwnfrw::StartupEnd::WindowShown) {
        std::fprintf(stderr, "bench_startup: the window was not shown\n");
        return 1;
    }
    FirstPaint firstPaint(clock);
    host.window()->installEventFilter(&firstPaint);
    return host.exec();
}
