#include <QFile>
// vboard: a PIC18F452 controller board with its resident bootloader, on a
// pseudo-terminal. Prints the terminal's path as its first line.

#include <signal.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

#include "tools/vboard/image_check.h"
#include "tools/vboard/line_options.h"
#include "tools/vboard/pty_board.h"

int main(int argc, char** argv) {
    // Signals are taken with sigwait below; the board's thread must not see them.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vboard"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A virtual PIC18F452 controller board with its resident serial bootloader, on a\n"
        "pseudo-terminal. The first line of output is the terminal's path; the counters\n"
        "of bytes and exchanges follow when the board ends (Ctrl-C or SIGTERM).\n"
        "By default the board runs its application (identification, loader entry) when\n"
        "one is there (the word at 000200 programmed), else its bootloader; --bootloader\n"
        "starts it in the bootloader. The bootloader starts the application on request.\n"
        "An application whose version record stands in program memory at 000220 (the\n"
        "board's own firmware, as an update writes it) answers its own version;\n"
        "--app-version, --app-build and --brand are what a previous firmware without one\n"
        "answers.\n"
        "Memory: program 000000-007FFF (64-byte erase rows, 8-byte write blocks, boot\n"
        "block below 000200 write-protected), EEPROM 00-FF, user ID 200000-200007,\n"
        "configuration 300000-30000F (read-only), device ID 3FFFFE (device number 33).\n"
        "In Intel HEX files the EEPROM stands at F00000. Program memory, EEPROM and user\n"
        "ID start with a previous firmware (a fixed pattern) unless --blank is given;\n"
        "writes and erases aimed at the boot block are reported as faults."));
    parser.addHelpOption();
    const QCommandLineOption hexOption(QStringLiteral("hex"),
                                       QStringLiteral("Initial memory from an Intel HEX file."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption dumpOption(
        QStringLiteral("dump"),
        QStringLiteral("Write the whole memory as Intel HEX to FILE each time the host closes "
                       "the port, and when the board ends."),
        QStringLiteral("FILE"));
    const QCommandLineOption linkOption = vboard::linkOption();
    const QCommandLineOption pacedOption(
        QStringLiteral("paced"),
        QStringLiteral("Pace every byte, both ways, at 9600 baud 8N1 (1.0417 ms a byte)."));
    const QCommandLineOption workOption(QStringLiteral("work-delay-ms"),
                                        QStringLiteral("Working time before each reply."),
                                        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption corruptOption = vboard::corruptOption();
    const QCommandLineOption dropOption = vboard::dropOption();
    const QCommandLineOption lateOption(
        QStringLiteral("late-ms"),
        QStringLiteral("Answer one request in four (by the seed's choice) N ms later than usual."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption burstOption(
        QStringLiteral("burst"),
        QStringLiteral("Send a burst of 1 to 8 stray bytes before this fraction (0..1) of the "
                       "answers."),
        QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption seedOption = vboard::seedOption();
    const QCommandLineOption stopAfterOption(QStringLiteral("stop-after"),
                                             QStringLiteral("Stop answering after N exchanges."),
                                             QStringLiteral("N"));
    const QCommandLineOption wrongVersionOption(
        QStringLiteral("wrong-version"),
        QStringLiteral("Answer the version query with a version the host refuses."));
    const QCommandLineOption bootloaderOption(
        QStringLiteral("bootloader"),
        QStringLiteral("Start in the bootloader (a board whose application is broken); by default "
                       "the board runs its application until the loader-entry command arrives."));
    const QCommandLineOption appVersionOption(
        QStringLiteral("app-version"),
        QStringLiteral("Firmware version the application reports (default 4)."),
        QStringLiteral("N"), QStringLiteral("4"));
    const QCommandLineOption appBuildOption(
        QStringLiteral("app-build"),
        QStringLiteral("Build number the application reports (default 0)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption brandOption(
        QStringLiteral("brand"),
        QStringLiteral("Brand code the application reports (default 7; 20 is the second brand)."),
        QStringLiteral("N"), QStringLiteral("7"));
    const QCommandLineOption appErrorOption(
        QStringLiteral("app-link-error"),
        QStringLiteral("The application answers the identification with this error code."),
        QStringLiteral("CODE"));
    const QCommandLineOption expectOption(
        QStringLiteral("expect"),
        QStringLiteral("When the board ends, compare its memory with this Intel HEX image (the "
                       "bytes an update writes, a later record over an earlier one as the "
                       "updater merges them) and end with status 1 when they differ."),
        QStringLiteral("FILE"));
    const QCommandLineOption blankOption(
        QStringLiteral("blank"),
        QStringLiteral("Start with program memory, EEPROM and user ID all 0xFF (a new device); "
                       "by default they hold a previous firmware, a fixed pattern."));
    const QCommandLineOption appSilentOption(QStringLiteral("app-silent"),
                                             QStringLiteral("The application never answers."));
    parser.addOptions({hexOption,        dumpOption,       linkOption,      pacedOption,
                       workOption,       corruptOption,    dropOption,      lateOption,
                       burstOption,      seedOption,       stopAfterOption, wrongVersionOption,
                       bootloaderOption, appVersionOption, appBuildOption,  brandOption,
                       appErrorOption,   appSilentOption,  expectOption,    blankOption});
    parser.process(app);

    const auto usage = [](const QString& why) {
        std::fprintf(stderr, "vboard: %s\n", qPrintable(why));
        return 2;
    };
    vboard::BoardOptions options;
    options.startMode = parser.isSet(bootloaderOption) ? vboard::BoardMode::Bootloader
                                                       : vboard::BoardMode::Application;
    options.appSilent = parser.isSet(appSilentOption);
    bool numberOk = true;
    const auto number = [&](const QCommandLineOption& option) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        numberOk = numberOk && ok;
        return value;
    };
    options.appVersion = number(appVersionOption);
    options.appBuild = number(appBuildOption);
    options.appBrand = number(brandOption);
    if (parser.isSet(appErrorOption))
        options.appLinkError = number(appErrorOption);
    if (!numberOk)
        return usage(QStringLiteral(
            "--app-version, --app-build, --brand and --app-link-error take whole numbers"));
    options.paced = parser.isSet(pacedOption);
    options.wrongVersion = parser.isSet(wrongVersionOption);
    bool ok = false;
    options.workDelayMs = parser.value(workOption).toInt(&ok);
    if (!ok || options.workDelayMs < 0)
        return usage(QStringLiteral("bad --work-delay-ms"));
    if (!vboard::parseRate(parser.value(corruptOption), options.corruptRate))
        return usage(QStringLiteral("--corrupt takes a fraction from 0 to 1"));
    if (!vboard::parseRate(parser.value(dropOption), options.dropRate))
        return usage(QStringLiteral("--drop takes a fraction from 0 to 1"));
    if (!vboard::parseRate(parser.value(burstOption), options.burstRate))
        return usage(QStringLiteral("--burst takes a fraction from 0 to 1"));
    options.lateMs = parser.value(lateOption).toInt(&ok);
    if (!ok || options.lateMs < 0)
        return usage(QStringLiteral("bad --late-ms"));
    options.seed = parser.value(seedOption).toUInt(&ok);
    if (!ok)
        return usage(QStringLiteral("bad --seed"));
    if (parser.isSet(stopAfterOption)) {
        options.stopAfterExchanges = parser.value(stopAfterOption).toInt(&ok);
        if (!ok || options.stopAfterExchanges < 0)
            return usage(QStringLiteral("bad --stop-after"));
    }

    vboard::PtyBoard board(options);
    QString error;
    if (parser.isSet(blankOption)) {
        // A new board: nothing but the bootloader in its boot block.
        for (const vboard::FirmwareArea& area : vboard::firmwareAreas())
            board.load(area.base, QByteArray(area.bytes, '\xFF'));
    }
    if (parser.isSet(hexOption) && !board.loadHex(parser.value(hexOption), &error))
        return usage(error);
    board.powerOn();
    if (parser.isSet(dumpOption))
        board.setDumpFile(parser.value(dumpOption));
    if (!board.start(&error))
        return usage(error);
    if (parser.isSet(linkOption) && !board.linkAs(parser.value(linkOption), &error)) {
        board.stop();
        return usage(error);
    }
    std::printf("%s\n", qPrintable(board.devicePath()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&endSignals, &signal);
    board.stop();
    std::printf("%s", qPrintable(vboard::countersReport(board.counters())));
    // A careful host never aims at the boot block: every such request is a fault.
    std::printf("boot block faults: %llu\n",
                static_cast<unsigned long long>(board.bootBlockFaults()));
    int status = 0;
    if (parser.isSet(expectOption)) {
        QFile image(parser.value(expectOption));
        if (!image.open(QIODevice::ReadOnly)) {
            std::printf("cannot read the image %s\n", qPrintable(image.fileName()));
            status = 1;
        } else {
            const vboard::ImageCheck check = vboard::checkImage(
                image.readAll(), [&board](uint32_t a, int n) { return board.read(a, n); });
            std::printf("%s\n", qPrintable(check.report));
            status = check.equal ? 0 : 1;
        }
    }
    std::fflush(stdout);
    return status;
}
