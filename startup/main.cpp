// The executable: start-up decides, then the main window shows and dispatches.
#include <cstdio>

#include "startup/command_line.h"
#include "ui/program_host.h"

int main(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    // Asked by a person or a script, not by the companion product: answered
    // before start-up, which would end silently without /COM= and /L=.
    if (arguments == QStringList{QStringLiteral("--version")}) {
        std::printf("dwnfrw %s\n", DWNFRW_VERSION);
        return 0;
    }

    dwnfrw::ProgramHost host(argc, argv);
    if (dwnfrw::Main(dwnfrw::joinArguments(arguments), host) != dwnfrw::StartupEnd::WindowShown) {
        return 0;
    }
    return host.exec();
}
