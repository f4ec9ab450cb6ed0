// dwnfrw-batch: the updater without a window, over the same core as the window.
//
//   dwnfrw-batch update --port N|DEVICE --package FILE [options]
//   dwnfrw-batch info FILE [--json]
//   dwnfrw-batch split HEXFILE --out DIR
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>
#include <optional>

#include "batch/terminal_frontend.h"
#include "bootloader/modcomm.h"
#include "download/run_download.h"
#include "package/info_display.h"
#include "package/modgestfrw.h"
#include "package/package_opening.h"
#include "package/package_validation.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "startup/modgen.h"
#include "startup/single_instance.h"
#include "startup/work_folder.h"

namespace {

using namespace dwnfrw;

enum ExitCode { kSuccess = 0, kFailure = 1, kUsage = 2, kDeclined = 3 };

// Every region line sends sixteen bytes, padded where the image has none.

const char* const kUsageText =
    "usage:\n"
    "  dwnfrw-batch update --port N|DEVICE --package FILE [--lang CODE] [--brand kestova]\n"
    "                      [--log] [--no-check] [--no-check-plus] [--profile-file] [--yes] "
    "[--json]\n"
    "  dwnfrw-batch info FILE [--json]\n"
    "  dwnfrw-batch split HEXFILE --out DIR\n"
    "\n"
    "update runs the window's whole sequence: open and check the package, split its image,\n"
    "confirm, identify the board, enter its bootloader, erase, write and verify, disconnect.\n"
    "Questions are answered No unless --yes is given. Exit codes: 0 success, 1 failure,\n"
    "2 bad usage, 3 a question answered No. Ctrl-C stops the running pass like the window's\n"
    "stop command.\n";

int usage(const char* problem) {
    if (problem != nullptr)
        std::fprintf(stderr, "dwnfrw-batch: %s\n", problem);
    std::fputs(kUsageText, stderr);
    return kUsage;
}

void printJson(const QJsonObject& object) {
    std::fprintf(stdout, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Indented).constData());
    std::fflush(stdout);
}

// An update that ends before the run: the text on standard error and, with
// --json, a report of the same shape as a run's.
int failBeforeRun(const QString& failure, const QString& package, bool json) {
    std::fprintf(stderr, "dwnfrw-batch: %s\n", qPrintable(failure));
    if (json) {
        printJson(QJsonObject{{QStringLiteral("outcome"), QStringLiteral("failure")},
                              {QStringLiteral("exitCode"), kFailure},
                              {QStringLiteral("failure"), failure},
                              {QStringLiteral("package"), QFileInfo(package).absoluteFilePath()},
                              {QStringLiteral("texts"), QJsonArray()},
                              {QStringLiteral("boardTouched"), false},
                              {QStringLiteral("bytesWritten"), 0},
                              {QStringLiteral("bytesVerified"), 0},
                              {QStringLiteral("seconds"), 0}});
    }
    return kFailure;
}

struct UpdateOptions {
    QString port;
    QString package;
    QString lang = QStringLiteral("ENG");
    bool secondBrand = false;
    bool log = false;
    bool noCheck = false;
    bool noCheckPlus = false;
    bool profileFile = false;
    bool yes = false;
    bool json = false;
};

// Runs the update once start-up has prepared language and folders, exactly as
// the window would: "open", then "dwn".
class BatchHost : public StartupHost {
  public:
    BatchHost(const UpdateOptions& options, int port) : options_(options), port_(port) {}

    bool anotherCopyRunning() override { return !instance_.acquire(); }
    void prepareGui() override {}
    // Only start-up's language failure arrives here; runUpdate reports it.
    void showMessage(const QString& text) override { startupMessage = batch::terminalText(text); }
    void showMainWindow() override;

    int exitCode = kFailure;
    QString startupMessage;

  private:
    const UpdateOptions& options_;
    int port_;
    SingleInstance instance_;
};

void BatchHost::showMainWindow() {
    const bool interactive = !options_.json && isatty(STDOUT_FILENO);
    FILE* out = options_.json ? stderr : stdout;
    batch::TerminalProgress progress(out, interactive);
    batch::TerminalDialogs dialogs(options_.yes, out, stderr);
    dialogs.quiet = options_.json;
    dialogs.setProgress(&progress);
    batch::TerminalPump events;
    batch::TerminalToolbar toolbar(port_);
    batch::TerminalClockTimer timer;
    Frontend frontend{dialogs, progress, events, toolbar};
    RunClock clock(timer, progress);
    batch::TerminalPump::installInterruptHandler();

    PackageSession session;
    session.WorkFolder = joinPath(globals().DataFolder, QStringLiteral("tempfrw"));
    const QString packagePath = QFileInfo(options_.package).absoluteFilePath();
    QJsonObject report;
    report.insert(QStringLiteral("package"), packagePath);
    report.insert(QStringLiteral("port"), options_.port);

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
            failure = QStringLiteral("%1 is not a firmware package (.fwz)").arg(packagePath);
        }
    } else if (run.end == RunReport::End::Succeeded) {
        exitCode = kSuccess;
        outcome = QStringLiteral("success");
        failure.clear();
    } else if (dialogs.declined) {
        exitCode = kDeclined;
        outcome = QStringLiteral("declined");
        std::fprintf(stderr, "dwnfrw-batch: a question was answered No (--yes answers Yes)\n");
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
    report.insert(QStringLiteral("bytesWritten"), linesDone * kRegionLineDataBytes);
    report.insert(QStringLiteral("bytesVerified"), linesDone * kRegionLineDataBytes);
    report.insert(QStringLiteral("seconds"), progress.elapsedSeconds());
    if (options_.json)
        printJson(report);
}

// "3" or "COM3" (any case) name a port by number; anything else is a device.
std::optional<int> portNumber(const QString& text) {
    static const QRegularExpression pattern(QStringLiteral("^(?:COM)?([0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const int number = match.captured(1).toInt(&ok);
    return ok ? number : 0;
}

int runUpdate(const QStringList& args) {
    UpdateOptions options;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](QString& into) {
            if (i + 1 >= args.size())
                return false;
            into = args[++i];
            return true;
        };
        if (a == QLatin1String("--port")) {
            if (!value(options.port))
                return usage("--port needs a port number or a device");
        } else if (a == QLatin1String("--package")) {
            if (!value(options.package))
                return usage("--package needs a file");
        } else if (a == QLatin1String("--lang")) {
            if (!value(options.lang))
                return usage("--lang needs a language code");
        } else if (a == QLatin1String("--brand")) {
            QString brand;
            if (!value(brand))
                return usage("--brand needs a brand");
            options.secondBrand = brand.compare(QLatin1String("kestova"), Qt::CaseInsensitive) == 0;
            if (!options.secondBrand &&
                brand.compare(QLatin1String("norvexa"), Qt::CaseInsensitive))
                return usage("--brand takes kestova (or norvexa, the default)");
        } else if (a == QLatin1String("--log")) {
            options.log = true;
        } else if (a == QLatin1String("--no-check")) {
            options.noCheck = true;
        } else if (a == QLatin1String("--no-check-plus")) {
            options.noCheckPlus = true;
        } else if (a == QLatin1String("--profile-file")) {
            options.profileFile = true;
        } else if (a == QLatin1String("--yes")) {
            options.yes = true;
        } else if (a == QLatin1String("--json")) {
            options.json = true;
        } else {
            return usage(qPrintable(QStringLiteral("unknown option %1").arg(a)));
        }
    }
    if (options.port.isEmpty() || options.package.isEmpty()) {
        return usage("update needs --port and --package");
    }
    // The code becomes part of start-up's command line, so it must be one word.
    static const QRegularExpression languageCode(QStringLiteral("^[A-Za-z]{1,8}$"));
    if (!languageCode.match(options.lang).hasMatch()) {
        return usage("--lang takes one code such as ENG or ITA");
    }

    // A device path stands behind port 1 of a ports folder of our own, so the
    // core keeps naming ports by number as the window does.
    std::optional<int> port = portNumber(options.port);
    std::unique_ptr<QTemporaryDir> portsFolder;
    if (!port) {
        portsFolder = std::make_unique<QTemporaryDir>();
        const QString device = QFileInfo(options.port).absoluteFilePath();
        if (!portsFolder->isValid() ||
            !QFile::link(device, QDir(portsFolder->path()).filePath(QStringLiteral("COM1")))) {
            return failBeforeRun(QStringLiteral("cannot use the device %1").arg(device),
                                 options.package, options.json);
        }
        qputenv("DWNFRW_PORTS", QFile::encodeName(portsFolder->path()));
        port = 1;
    } else if (*port < 1) {
        return usage("--port takes a number from 1 or a device path");
    }

    QStringList line{QStringLiteral("/COM=%1").arg(*port), QStringLiteral("/L=") + options.lang};
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

    BatchHost host(options, *port);
    switch (Main(line.join(QLatin1Char(' ')), host)) {
        case StartupEnd::WindowShown:
            return host.exitCode;
        case StartupEnd::AnotherCopy:
            return failBeforeRun(QStringLiteral("another copy of the updater is running"),
                                 options.package, options.json);
        case StartupEnd::LanguageFailed:
        case StartupEnd::NoHomeFolder:
            return failBeforeRun(host.startupMessage, options.package, options.json);
        case StartupEnd::EmptyCommandLine:
        case StartupEnd::MissingSetting:
            break;
    }
    return failBeforeRun(
        QStringLiteral("start-up refused the command line %1").arg(line.join(QLatin1Char(' '))),
        options.package, options.json);
}

int runInfo(const QStringList& args) {
    QString file;
    bool json = false;
    for (const QString& a : args) {
        if (a == QLatin1String("--json")) {
            json = true;
        } else if (file.isEmpty() && !a.startsWith(QLatin1String("--"))) {
            file = a;
        } else {
            return usage(qPrintable(QStringLiteral("unexpected %1").arg(a)));
        }
    }
    if (file.isEmpty())
        return usage("info needs a package file");

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
    QString hex, out;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--out") && i + 1 < args.size()) {
            out = args[++i];
        } else if (hex.isEmpty() && !args[i].startsWith(QLatin1String("--"))) {
            hex = args[i];
        } else {
            return usage(qPrintable(QStringLiteral("unexpected %1").arg(args[i])));
        }
    }
    if (hex.isEmpty() || out.isEmpty())
        return usage("split needs HEXFILE and --out DIR");
    if (!QDir().mkpath(out)) {
        std::fprintf(stderr, "dwnfrw-batch: cannot create %s\n", qPrintable(out));
        return kFailure;
    }
    globals().TempFolder = QFileInfo(out).absoluteFilePath();
    QString failure;
    if (!SplitHexFile(QFileInfo(hex).absoluteFilePath(), failure)) {
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
    QStringList args = QCoreApplication::arguments().mid(1);
    if (args.isEmpty() || args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h")) {
        std::fputs(kUsageText, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kUsage : kSuccess;
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("update"))
        return runUpdate(args);
    loadTextsForTools();
    if (command == QLatin1String("info"))
        return runInfo(args);
    if (command == QLatin1String("split"))
        return runSplit(args);
    return usage(qPrintable(QStringLiteral("unknown command %1").arg(command)));
}
