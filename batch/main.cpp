// dwnfrw-batch: the updater without a window, over the same core as the window.
//
//   dwnfrw-batch update --port N|DEVICE[,...] --package FILE [options]
//   dwnfrw-batch info FILE [--json]
//   dwnfrw-batch split HEXFILE --out DIR
//   dwnfrw-batch ports [--json]
#include <sys/resource.h>
#include <unistd.h>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>

#include "batch/board_port.h"
#include "batch/production_line.h"
#include "batch/terminal_frontend.h"
#include "bootloader/modcomm.h"
#include "download/run_download.h"
#include "package/info_display.h"
#include "package/modgestfrw.h"
#include "package/package_opening.h"
#include "package/package_validation.h"
#include "platform/port_discovery.h"
#include "platform/port_lock.h"
#include "platform/serial_port_name.h"
#include "startup/folders.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/modgen.h"
#include "startup/runlog.h"
#include "startup/single_instance.h"
#include "startup/work_folder.h"

namespace {

using namespace dwnfrw;
using batch::kDeclined;
using batch::kFailure;
using batch::kSuccess;
using batch::kUsage;

// Every region line sends sixteen bytes, padded where the image has none.

// "a question was answered No: <why it was asked> (<option> gives Yes)"
constexpr int kTextDeclinedSummary = 1224;
// "<path> is not a firmware package (.fwz)"
constexpr int kTextNotAPackage = 1235;
constexpr int kTextNoDescription = 1192;

const char* const kUsageText =
    "usage:\n"
    "  dwnfrw-batch update --port N|DEVICE[,...] --package FILE [--lang CODE] [--brand kestova]\n"
    "                      [--log] [--no-check] [--no-check-plus] [--profile-file] [--yes]\n"
    "                      [--allow-downgrade] [--json]\n"
    "  dwnfrw-batch info FILE [--json]\n"
    "  dwnfrw-batch split HEXFILE --out DIR\n"
    "  dwnfrw-batch ports [--json]\n"
    "  dwnfrw-batch COMMAND --help\n"
    "\n"
    "update runs the window's whole sequence: open and check the package, split its image,\n"
    "confirm, identify the board, enter its bootloader, erase, write and verify, disconnect.\n"
    "Several ports (--port 3,4,5 or --port given again) update every board at once.\n"
    "Exit codes: 0 success, 1 failure, 2 bad usage, 3 a question answered No.\n";

const char* const kUpdateDescription =
    "Updates the board on each port with the package, all at once, exactly as the window\n"
    "does. --yes answers the confirmation and the question asked when the board's version\n"
    "cannot be read; a package older than the board's firmware is written only with\n"
    "--allow-downgrade. Other questions are answered No. Exit codes: 0 every board\n"
    "succeeded, 1 failure, 2 bad usage, 3 a question answered No (with several boards the\n"
    "worst of theirs). Ctrl-C stops every running pass like the window's stop command.";

int usage(const QString& problem, const QString& help = QString::fromLatin1(kUsageText)) {
    if (!problem.isEmpty())
        std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(problem));
    std::fputs(qPrintable(help), stderr);
    return kUsage;
}

// A command's own parser: its options, --help, and the usage text on errors.
class CommandParser {
  public:
    CommandParser(const QString& command, const QString& description) : command_(command) {
        parser_.setApplicationDescription(description);
        parser_.addHelpOption();
        parser_.addVersionOption();
    }
    QCommandLineParser& operator*() { return parser_; }
    QCommandLineParser* operator->() { return &parser_; }

    // Parses; nullopt when the caller goes on, else the exit code to end with.
    std::optional<int> parse(const QStringList& args) {
        QStringList line = args;
        line.prepend(QCoreApplication::applicationName() + QLatin1Char(' ') + command_);
        if (!parser_.parse(line))
            return usage(parser_.errorText(), helpText());
        if (parser_.isSet(QStringLiteral("version")))
            parser_.showVersion();  // ends the program
        if (parser_.isSet(QStringLiteral("help"))) {
            std::fputs(qPrintable(helpText()), stdout);
            return kSuccess;
        }
        return std::nullopt;
    }
    // Qt's text names the program as it was started and no command.
    QString helpText() const {
        QString text = parser_.helpText();
        const QString started = QCoreApplication::arguments().value(0);
        const qsizetype at = started.isEmpty() ? -1 : text.indexOf(started);
        if (at >= 0) {
            text.replace(at, started.size(),
                         QCoreApplication::applicationName() + QLatin1Char(' ') + command_);
        }
        return text;
    }

  private:
    QString command_;
    QCommandLineParser parser_;
};

void printJson(const QJsonObject& object) {
    std::fprintf(stdout, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Indented).constData());
    std::fflush(stdout);
}

struct UpdateOptions {
    batch::BoardPort port;
    QString package;
    QString lang = QStringLiteral("ENG");
    bool secondBrand = false;
    bool log = false;
    bool noCheck = false;
    bool noCheckPlus = false;
    bool profileFile = false;
    bool yes = false;
    bool allowDowngrade = false;
    bool json = false;
    bool progressLines = false;  // one board of several: progress as numbers
};

// The report of one board: indented for a person, on one line for the command
// that runs several boards.
void printReport(const QJsonObject& report, const UpdateOptions& options) {
    if (options.progressLines) {
        std::fprintf(stdout, "%s\n",
                     QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    } else if (options.json) {
        printJson(report);
    }
}

// An update that ends before the run: the text on standard error and, with
// --json, a report of the same shape as a run's.
int failBeforeRun(const QString& failure, const UpdateOptions& options) {
    std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(failure));
    printReport(
        QJsonObject{{QStringLiteral("outcome"), QStringLiteral("failure")},
                    {QStringLiteral("exitCode"), kFailure},
                    {QStringLiteral("failure"), failure},
                    {QStringLiteral("package"), QFileInfo(options.package).absoluteFilePath()},
                    {QStringLiteral("port"), options.port.label},
                    {QStringLiteral("texts"), QJsonArray()},
                    {QStringLiteral("boardTouched"), false},
                    {QStringLiteral("bytesWritten"), 0},
                    {QStringLiteral("bytesVerified"), 0},
                    {QStringLiteral("seconds"), 0}},
        options);
    return kFailure;
}

// Runs the update once start-up has prepared language and folders, exactly as
// the window would: "open", then "dwn".
class BatchHost : public StartupHost {
  public:
    BatchHost(const UpdateOptions& options, int port) : options_(options), port_(port) {}

    // Runs on other ports go side by side; a second run on this device, from
    // this program or the window, is refused before the package is opened.
    // The window's single-copy rule stays the window's.
    bool anotherCopyRunning() override {
        return portLock_.claim(QStringLiteral("COM%1").arg(port_)) ==
               serial::PortLock::Claim::InUse;
    }
    void prepareGui() override {}
    // Only start-up's language failure arrives here; runUpdate reports it.
    void showMessage(const QString& text) override { startupMessage = batch::terminalText(text); }
    void showMainWindow() override;

    int exitCode = kFailure;
    QString startupMessage;

  private:
    const UpdateOptions& options_;
    int port_;
    serial::PortLock portLock_;
};

void BatchHost::showMainWindow() {
    const bool interactive = !options_.json && isatty(STDOUT_FILENO);
    FILE* out = options_.json ? stderr : stdout;
    batch::TerminalProgress progress(options_.progressLines ? stdout : out, interactive);
    if (options_.progressLines)
        progress.reportAsNumbers();
    batch::TerminalDialogs dialogs(options_.yes, out, stderr);
    dialogs.quiet = options_.json;
    dialogs.setAllowDowngrade(options_.allowDowngrade);
    dialogs.setProgress(&progress);
    batch::TerminalPump events;
    batch::TerminalToolbar toolbar(port_);
    batch::TerminalClockTimer timer;
    Frontend frontend{dialogs, progress, events, toolbar};
    RunClock clock(timer, progress);
    batch::TerminalPump::installInterruptHandler();

    // Runs on other ports share the data folder: this port's region files and
    // unpacked package stay in folders of its own, and its log lines name it.
    const QString tag = options_.port.folderTag();
    GlobalSettings& g = globals();
    g.TempFolder = portFolder(g.TempFolder, tag);
    makePrivateFolder(g.TempFolder);
    // One board alone writes the window's lines; only the boards of a line
    // share the day's log, so only they name their port on each line.
    if (options_.progressLines)
        setLogPortTag(options_.port.label);
    // A device path stands behind a port number of our own: texts name it as given.
    if (!options_.port.number)
        bootloaderSettings().PortLabel = options_.port.label;

    PackageSession session;
    session.WorkFolder = portFolder(joinPath(globals().DataFolder, QStringLiteral("tempfrw")), tag);
    const QString packagePath = QFileInfo(options_.package).absoluteFilePath();
    QJsonObject report;
    report.insert(QStringLiteral("package"), packagePath);
    report.insert(QStringLiteral("port"), options_.port.label);

    dialogs.setChosenFile(packagePath);
    OpenFile(session, frontend);
    const bool accepted = toolbar.isToolEnabled(QStringLiteral("dwn"));

    RunReport run;
    if (accepted) {
        report.insert(QStringLiteral("packageVersion"), QStringLiteral("%1.%2.%3")
                                                            .arg(session.FwVersionMajor)
                                                            .arg(session.FwVersionMinor)
                                                            .arg(session.FwVersionBuild));
        run = RunDownload(session, frontend, clock);
        progress.finish();
    }
    removeWorkFolder(session.WorkFolder);

    // The failure is the text of the error message the window would have
    // shown: text 1011 and the reason for a refused package, text 1018 and
    // the reason for a failed run. It reached standard error with the message.
    QString failure = dialogs.lastCriticalText;
    bool failurePrinted = !failure.isEmpty();
    QString outcome;
    if (!accepted) {
        exitCode = kFailure;
        outcome = QStringLiteral("package refused");
        if (failure.isEmpty()) {
            // The window drops a file without the .fwz extension silently.
            failure = GetText(kTextNotAPackage).arg(packagePath);
        }
    } else if (run.end == RunReport::End::Succeeded) {
        exitCode = kSuccess;
        outcome = QStringLiteral("success");
        failure.clear();
    } else if (run.end == RunReport::End::Declined || run.end == RunReport::End::Cancelled) {
        exitCode = kDeclined;
        outcome = QStringLiteral("declined");
        for (const auto& question : dialogs.questions) {
            if (question.answeredBy == nullptr) {
                std::fprintf(stderr, "dwnfrw-batch: %s\n",
                             qPrintable(batch::terminalText(question.prompt).trimmed()));
            }
        }
        std::fprintf(
            stderr, "dwnfrw-batch: %s\n",
            qPrintable(GetText(kTextDeclinedSummary)
                           .arg(run.declinedReason, QLatin1String(dialogs.declinedOption))));
        report.insert(QStringLiteral("declinedReason"), run.declinedReason);
    } else {
        exitCode = kFailure;
        outcome = QStringLiteral("failure");
        if (failure.isEmpty()) {
            failure = GetText(1018) + QLatin1Char('\r') + run.failureText;
            failurePrinted = false;
        }
    }
    failure = batch::terminalText(failure);
    if (exitCode == kFailure && !failurePrinted)
        std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(failure));

    const qint64 linesDone = run.linesVerified;
    report.insert(QStringLiteral("outcome"), outcome);
    report.insert(QStringLiteral("exitCode"), exitCode);
    report.insert(QStringLiteral("failure"), failure);
    QJsonArray texts;
    for (const QString& text : dialogs.shownTexts)
        texts.append(batch::terminalText(text));
    report.insert(QStringLiteral("texts"), texts);
    QJsonArray questions;
    for (const auto& question : dialogs.questions) {
        questions.append(QJsonObject{
            {QStringLiteral("text"), batch::terminalText(question.prompt).trimmed()},
            {QStringLiteral("answer"), QLatin1String(batch::answerWord(question.answer))},
            {QStringLiteral("answeredBy"), question.answeredBy != nullptr
                                               ? QJsonValue(QLatin1String(question.answeredBy))
                                               : QJsonValue()}});
    }
    report.insert(QStringLiteral("questions"), questions);
    if (run.device) {
        report.insert(QStringLiteral("device"),
                      QJsonObject{{QStringLiteral("version"), run.device->DeviceVerFW},
                                  {QStringLiteral("build"), run.device->DeviceBuildFW},
                                  {QStringLiteral("brand"), run.device->DeviceBrand},
                                  {QStringLiteral("linkError"), run.device->LinkError}});
    }
    // Whether an erase packet reached the board: if so and the run failed,
    // the board may hold incomplete firmware until an update completes.
    report.insert(QStringLiteral("boardTouched"), run.boardTouched);
    if (!run.incompleteLog.isEmpty())
        report.insert(QStringLiteral("incompleteLog"), batch::terminalText(run.incompleteLog));
    report.insert(QStringLiteral("bytesWritten"), qint64(run.linesWritten) * kRegionLineDataBytes);
    report.insert(QStringLiteral("bytesVerified"), linesDone * kRegionLineDataBytes);
    report.insert(QStringLiteral("seconds"), progress.elapsedSeconds());
    // What the run cost this process, for sizing a line of many boards.
    rusage cost{};
    getrusage(RUSAGE_SELF, &cost);
    report.insert(QStringLiteral("cpuSeconds"),
                  double(cost.ru_utime.tv_sec + cost.ru_stime.tv_sec) +
                      double(cost.ru_utime.tv_usec + cost.ru_stime.tv_usec) / 1e6);
    report.insert(QStringLiteral("peakMemoryKiB"), qint64(cost.ru_maxrss));
    printReport(report, options_);
}

// Start-up's command line for the options, as the companion product gives it.
QString startupCommandLine(const UpdateOptions& options, int port) {
    QStringList line{QStringLiteral("/COM=%1").arg(port), QStringLiteral("/L=") + options.lang};
    if (options.log)
        line << QStringLiteral("/LOG");
    if (options.noCheck)
        line << QStringLiteral("/NOCHECK");
    if (options.noCheckPlus)
        line << QStringLiteral("/NOCHECKPLUS");
    if (options.profileFile)
        line << QStringLiteral("/D");
    if (options.secondBrand)
        line << QStringLiteral("/BRAND=KESTOVA");
    return line.join(QLatin1Char(' '));
}

// The language codes this installation has text modules for, upper case.
QStringList languageCodes(bool secondBrand) {
    const QString product = brandProductId(secondBrand ? 1 : 0);
    const QString suffix = QStringLiteral(".dll");
    QStringList codes;
    const QDir folder(QCoreApplication::applicationDirPath());
    for (const QString& file : folder.entryList(QDir::Files)) {
        if (file.startsWith(product, Qt::CaseInsensitive) &&
            file.endsWith(suffix, Qt::CaseInsensitive) &&
            file.size() > product.size() + suffix.size()) {
            codes
                << file.mid(product.size(), file.size() - product.size() - suffix.size()).toUpper();
        }
    }
    codes.removeDuplicates();
    codes.sort();
    return codes;
}

// The update of one board in this process.
int updateOneBoard(const UpdateOptions& options) {
    // A device path stands behind port 1 of a ports folder of our own, so the
    // core keeps naming ports by number as the window does.
    std::optional<int> port = options.port.number;
    std::unique_ptr<QTemporaryDir> portsFolder;
    if (!port) {
        portsFolder = std::make_unique<QTemporaryDir>();
        const QString device = options.port.label;
        if (!portsFolder->isValid() ||
            !QFile::link(device, QDir(portsFolder->path()).filePath(QStringLiteral("COM1")))) {
            return failBeforeRun(QStringLiteral("cannot use the device %1").arg(device), options);
        }
        qputenv("DWNFRW_PORTS", QFile::encodeName(portsFolder->path()));
        port = 1;
    }

    const QString line = startupCommandLine(options, *port);
    BatchHost host(options, *port);
    switch (Main(line, host)) {
        case StartupEnd::WindowShown:
            return host.exitCode;
        case StartupEnd::AnotherCopy:
            return failBeforeRun(
                QStringLiteral("%1 (%2) is being updated by another run; one run per port")
                    .arg(options.port.label, options.port.device),
                options);
        case StartupEnd::LanguageFailed:
        case StartupEnd::NoHomeFolder:
            return failBeforeRun(host.startupMessage, options);
        case StartupEnd::EmptyCommandLine:
        case StartupEnd::MissingSetting:
            break;
    }
    return failBeforeRun(QStringLiteral("start-up refused the command line %1").arg(line), options);
}

// The default device profile is written once, before the boards start, so
// that no board reads a profile another one is still writing.
void prepareSharedFolders(const UpdateOptions& options, int port) {
    class Quiet : public StartupHost {
      public:
        bool anotherCopyRunning() override { return false; }
        void prepareGui() override {}
        void showMessage(const QString&) override {}
        void showMainWindow() override {}
    } quiet;
    Main(startupCommandLine(options, port), quiet);
}

int runUpdate(const QStringList& args) {
    CommandParser parser(QStringLiteral("update"), QString::fromLatin1(kUpdateDescription));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("The board's port: a number (3 or COM3) or a device path. Given again, "
                       "or as a list (3,4,5), every board is updated at once."),
        QStringLiteral("N|DEVICE"));
    const QCommandLineOption packageOption(QStringLiteral("package"),
                                           QStringLiteral("The firmware package (.fwz)."),
                                           QStringLiteral("FILE"));
    const QCommandLineOption langOption(QStringLiteral("lang"),
                                        QStringLiteral("Language of the texts (ENG, ITA)."),
                                        QStringLiteral("CODE"), QStringLiteral("ENG"));
    const QCommandLineOption brandOption(QStringLiteral("brand"),
                                         QStringLiteral("kestova, or norvexa (the default)."),
                                         QStringLiteral("BRAND"));
    const QCommandLineOption logOption(QStringLiteral("log"),
                                       QStringLiteral("Write the day's run log."));
    const QCommandLineOption noCheckOption(
        QStringLiteral("no-check"),
        QStringLiteral("Skip the package's minimum version and the board's brand and version."));
    const QCommandLineOption noCheckPlusOption(
        QStringLiteral("no-check-plus"),
        QStringLiteral("Skip the board's brand and version tests only."));
    const QCommandLineOption profileOption(
        QStringLiteral("profile-file"),
        QStringLiteral("Take memory ranges and block sizes from the device profile file."));
    const QCommandLineOption yesOption(
        QStringLiteral("yes"),
        QStringLiteral("Answer Yes to the confirmation and to going on when the board's version "
                       "cannot be read."));
    const QCommandLineOption downgradeOption(
        QStringLiteral("allow-downgrade"),
        QStringLiteral("Answer Yes when the package is older than the board's firmware."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"),
        QStringLiteral("End with a JSON report on standard output (an array of one report per "
                       "board when there are several)."));
    QCommandLineOption progressLinesOption(QString::fromLatin1(batch::kProgressLinesOption),
                                           QStringLiteral("Progress as JSON lines."));
    progressLinesOption.setFlags(QCommandLineOption::HiddenFromHelp);
    parser->addOptions({portOption, packageOption, langOption, brandOption, logOption,
                        noCheckOption, noCheckPlusOption, profileOption, yesOption, downgradeOption,
                        jsonOption, progressLinesOption});
    if (const std::optional<int> end = parser.parse(args))
        return *end;
    const auto bad = [&](const QString& problem) { return usage(problem, parser.helpText()); };
    if (!parser->positionalArguments().isEmpty())
        return bad(QStringLiteral("unexpected %1").arg(parser->positionalArguments().first()));

    UpdateOptions options;
    options.package = parser->value(packageOption);
    options.lang = parser->value(langOption);
    if (parser->isSet(brandOption)) {
        const QString brand = parser->value(brandOption);
        options.secondBrand = brand.compare(QLatin1String("kestova"), Qt::CaseInsensitive) == 0;
        if (!options.secondBrand && brand.compare(QLatin1String("norvexa"), Qt::CaseInsensitive))
            return bad(QStringLiteral("--brand takes kestova (or norvexa, the default)"));
    }
    options.log = parser->isSet(logOption);
    options.noCheck = parser->isSet(noCheckOption);
    options.noCheckPlus = parser->isSet(noCheckPlusOption);
    options.profileFile = parser->isSet(profileOption);
    options.yes = parser->isSet(yesOption);
    options.allowDowngrade = parser->isSet(downgradeOption);
    options.json = parser->isSet(jsonOption);
    options.progressLines = parser->isSet(progressLinesOption);
    // A run whose output has gone (a closed pipe, "| head") finishes its run
    // rather than die half written on its next line: output errors are not
    // its failures.
    std::signal(SIGPIPE, SIG_IGN);

    QStringList portTexts;
    for (const QString& value : parser->values(portOption))
        portTexts += value.split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (portTexts.isEmpty() || options.package.isEmpty())
        return bad(QStringLiteral("update needs --port and --package"));
    // The code becomes part of start-up's command line, so it must be one word.
    static const QRegularExpression languageCode(QStringLiteral("^[A-Za-z]{1,8}$"));
    if (!languageCode.match(options.lang).hasMatch())
        return bad(QStringLiteral("--lang takes one code such as ENG or ITA"));
    // A code without its text module would run in Italian without a word.
    const QStringList codes = languageCodes(options.secondBrand);
    if (!codes.contains(options.lang.toUpper()))
        return bad(QStringLiteral("--lang takes one of %1, not %2")
                       .arg(codes.join(QStringLiteral(", ")), options.lang));

    QList<batch::BoardPort> ports;
    for (const QString& text : portTexts) {
        const std::optional<batch::BoardPort> port = batch::boardPort(text.trimmed());
        if (!port)
            return bad(QStringLiteral("--port takes a number from 1 to %1 or a device path, not %2")
                           .arg(serial::kLastComPort)
                           .arg(text));
        for (const batch::BoardPort& earlier : ports) {
            if (earlier.device == port->device) {
                return bad(QStringLiteral("%1 and %2 are the same port (%3); one run per port")
                               .arg(earlier.label, port->label, port->device));
            }
        }
        ports.append(*port);
    }
    if (ports.size() == 1) {
        options.port = ports.first();
        return updateOneBoard(options);
    }

    QStringList shared{QStringLiteral("--package"), QFileInfo(options.package).absoluteFilePath(),
                       QStringLiteral("--lang"), options.lang};
    if (options.secondBrand)
        shared << QStringLiteral("--brand") << QStringLiteral("kestova");
    for (const QCommandLineOption* flag : {&logOption, &noCheckOption, &noCheckPlusOption,
                                           &profileOption, &yesOption, &downgradeOption}) {
        if (parser->isSet(*flag))
            shared << QStringLiteral("--") + flag->names().first();
    }
    if (options.profileFile)
        prepareSharedFolders(options, ports.first().number.value_or(1));
    // The boards' own texts are in their language; so is what this command
    // adds for a board whose process ended without a report.
    QString code = options.lang.toUpper();
    QString message;
    LoadLanguage(brandProductId(options.secondBrand ? 1 : 0), code, message);
    return batch::updateBoards(ports, shared, options.json);
}

const QCommandLineOption kJsonOption(QStringLiteral("json"),
                                     QStringLiteral("Print a JSON document instead of text."));

int runInfo(const QStringList& args) {
    CommandParser parser(QStringLiteral("info"),
                         QStringLiteral("Prints the description of each firmware file of a "
                                        "package."));
    parser->addOption(kJsonOption);
    parser->addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The package (.fwz)."));
    if (const std::optional<int> end = parser.parse(args))
        return *end;
    if (parser->positionalArguments().size() != 1)
        return usage(QStringLiteral("info needs one package file"), parser.helpText());
    const QString file = parser->positionalArguments().first();
    const bool json = parser->isSet(kJsonOption);

    QTemporaryDir work;
    if (!work.isValid())
        return kFailure;
    PackageSession session;
    session.WorkFolder = QDir(work.path()).filePath(QStringLiteral("tempfrw"));
    QString hexPath, failure;
    int32_t pointer = 0;
    if (!ValidateFileFRW(session, QFileInfo(file).absoluteFilePath(), hexPath, pointer, failure)) {
        std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(batch::terminalText(failure)));
        if (json)
            printJson(QJsonObject{{QStringLiteral("failure"), batch::terminalText(failure)}});
        return kFailure;
    }
    QJsonArray records;
    const QList<InfoFRW>& table = InfoFRWTable();
    if (std::none_of(table.begin(), table.end(),
                     [](const InfoFRW& record) { return !record.Nome.isEmpty(); })) {
        const QString failure = GetText(kTextNoDescription).arg(QFileInfo(file).absoluteFilePath());
        std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(batch::terminalText(failure)));
        if (json)
            printJson(QJsonObject{{QStringLiteral("failure"), batch::terminalText(failure)}});
        return kFailure;
    }
    for (qsizetype i = 0; i < table.size(); ++i) {
        if (table[i].Nome.isEmpty())
            continue;
        const InfoDisplay shown = describeInfoRecord(table[i]);
        if (json) {
            // One-line fields lose the blank or line break a block's layout
            // leaves at their end; several lines keep their shape.
            const auto oneLine = [](const QString& text) {
                return batch::terminalText(text).trimmed();
            };
            records.append(
                QJsonObject{{QStringLiteral("index"), static_cast<int>(i)},
                            {QStringLiteral("name"), oneLine(table[i].Nome)},
                            {QStringLiteral("articles"), oneLine(shown.articoli)},
                            {QStringLiteral("version"), oneLine(shown.fwVer)},
                            {QStringLiteral("functions"), batch::terminalText(shown.funzioni)},
                            {QStringLiteral("bugFixes"), batch::terminalText(shown.bugFix)},
                            {QStringLiteral("notes"), batch::terminalText(shown.note)},
                            {QStringLiteral("type"), oneLine(shown.tipo)}});
            continue;
        }
        std::printf("== %s\n", qPrintable(batch::terminalText(table[i].Nome).trimmed()));
        std::printf("%s: %s\n", qPrintable(GetText(1027).trimmed()), qPrintable(shown.articoli));
        std::printf("%s: %s\n", qPrintable(GetText(1026)),
                    qPrintable(batch::terminalText(shown.fwVer).trimmed()));
        std::printf("%s:\n%s\n", qPrintable(GetText(1021)),
                    qPrintable(batch::terminalText(shown.funzioni)));
        std::printf("%s:\n%s\n", qPrintable(GetText(1022)),
                    qPrintable(batch::terminalText(shown.bugFix)));
        std::printf("%s:\n%s\n", qPrintable(GetText(1024)),
                    qPrintable(batch::terminalText(shown.note)));
        std::printf("%s: %s\n\n", qPrintable(GetText(1028)),
                    qPrintable(batch::terminalText(shown.tipo).trimmed()));
    }
    if (json)
        printJson(QJsonObject{{QStringLiteral("records"), records}});
    return kSuccess;
}

int runSplit(const QStringList& args) {
    CommandParser parser(QStringLiteral("split"),
                         QStringLiteral("Splits an Intel HEX image into the region files the "
                                        "update writes; an image that opening a package "
                                        "refuses is refused, and no region file is left."));
    const QCommandLineOption outOption(QStringLiteral("out"),
                                       QStringLiteral("The folder for the region files."),
                                       QStringLiteral("DIR"));
    parser->addOption(outOption);
    parser->addPositionalArgument(QStringLiteral("HEXFILE"), QStringLiteral("The image."));
    if (const std::optional<int> end = parser.parse(args))
        return *end;
    const QString out = parser->value(outOption);
    if (parser->positionalArguments().size() != 1 || out.isEmpty())
        return usage(QStringLiteral("split needs HEXFILE and --out DIR"), parser.helpText());
    const QString hex = parser->positionalArguments().first();
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "dwnfrw-batch: cannot create %s\n", qPrintable(out));
        return kFailure;
    }
    globals().TempFolder = QFileInfo(out).absoluteFilePath();
    // The opening's rules: the split, then the device's judgement of the
    // image; a refusal leaves no region file behind.
    const QString hexPath = QFileInfo(hex).absoluteFilePath();
    QString failure;
    PicProfile profile;
    if (!SplitHexFile(hexPath, failure) || !LoadPicProfile(profile, failure) ||
        !CheckImageForDevice(hexPath, profile, failure)) {
        DeleteRegionFiles();
        std::fprintf(stderr, "%s\n", qPrintable(batch::terminalText(failure)));
        return kFailure;
    }
    for (int region = 0; region < kRegionCount; ++region) {
        const QString path = regionFilePath(static_cast<RegionIndex>(region));
        if (QFileInfo::exists(path))
            std::printf("%s\n", qPrintable(path));
    }
    return kSuccess;
}

// The ports the program can use now, with the device behind each name.
int runPorts(const QStringList& args) {
    CommandParser parser(QStringLiteral("ports"),
                         QStringLiteral("Lists the ports the program can use: each COM name that "
                                        "reaches a device present now (links of the ports "
                                        "folder, serial and USB adapters), and USB adapters' "
                                        "details. A link whose device has gone is absent."));
    parser->addOption(kJsonOption);
    if (const std::optional<int> end = parser.parse(args))
        return *end;
    if (!parser->positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected %1").arg(parser->positionalArguments().first()),
                     parser.helpText());

    const QList<serial::PortPresence> ports = serial::discoverPorts();
    if (parser->isSet(kJsonOption)) {
        QJsonArray list;
        for (const serial::PortPresence& port : ports) {
            QJsonObject entry{{QStringLiteral("name"), port.name},
                              {QStringLiteral("device"), port.devicePath},
                              {QStringLiteral("present"), port.present},
                              {QStringLiteral("link"), port.fromPortsFolder}};
            if (port.usb) {
                entry.insert(QStringLiteral("usb"),
                             QJsonObject{{QStringLiteral("vendorId"), port.vendorId},
                                         {QStringLiteral("productId"), port.productId},
                                         {QStringLiteral("serialNumber"), port.serialNumber},
                                         {QStringLiteral("description"), port.description},
                                         {QStringLiteral("manufacturer"), port.manufacturer}});
            }
            list.append(entry);
        }
        std::fprintf(stdout, "%s\n",
                     QJsonDocument(list).toJson(QJsonDocument::Indented).constData());
        return kSuccess;
    }
    if (ports.isEmpty())
        std::printf("no ports found\n");
    for (const serial::PortPresence& port : ports) {
        QString line =
            QStringLiteral("%1 %2 %3")
                .arg(port.name.isEmpty() ? QStringLiteral("-") : port.name, -6)
                .arg(port.devicePath, -24)
                .arg(port.present ? QStringLiteral("present") : QStringLiteral("absent"));
        if (port.fromPortsFolder)
            line += QStringLiteral("  link");
        if (port.usb) {
            line += QStringLiteral("  USB %1:%2")
                        .arg(port.vendorId, 4, 16, QLatin1Char('0'))
                        .arg(port.productId, 4, 16, QLatin1Char('0'));
            if (!port.serialNumber.isEmpty())
                line += QStringLiteral(" serial ") + port.serialNumber;
            if (!port.description.isEmpty())
                line += QStringLiteral(" \"%1\"").arg(port.description);
        }
        std::printf("%s\n", qPrintable(line.trimmed()));
    }
    return kSuccess;
}

// info and split print their headings in English, as update does by default.
void loadTextsForTools() {
    QString code = QStringLiteral("ENG");
    QString message;
    globals().AppName = brandAppName(0);
    LoadLanguage(brandProductId(0), code, message);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dwnfrw-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DWNFRW_VERSION));
    // The command's own options are its parser's: everything after the
    // command reaches it untouched.
    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption helpOption = top.addHelpOption();
    const QCommandLineOption versionOption = top.addVersionOption();
    top.addPositionalArgument(QStringLiteral("command"),
                              QStringLiteral("update, info, split or ports"));
    if (!top.parse(QCoreApplication::arguments()))
        return usage(top.errorText());
    if (top.isSet(versionOption))
        top.showVersion();
    if (top.isSet(helpOption)) {
        std::fputs(kUsageText, stdout);
        return kSuccess;
    }
    QStringList args = top.positionalArguments();
    if (args.isEmpty())
        return usage(QString());
    const QString command = args.takeFirst();
    if (command == QLatin1String("update"))
        return runUpdate(args);
    if (command == QLatin1String("ports"))
        return runPorts(args);
    loadTextsForTools();
    if (command == QLatin1String("info"))
        return runInfo(args);
    if (command == QLatin1String("split"))
        return runSplit(args);
    return usage(QStringLiteral("unknown command %1").arg(command));
}
