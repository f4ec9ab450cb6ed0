// Shared by the download-run tests: the real Italian texts, a small image split
// into region files, a virtual board on COM3 and the run log read back.
#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "bootloader/modcomm.h"
#include "download/run_download.h"
#include "startup/command_states.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "tests/package/package_fixtures.h"
#include "tests/support/scripted_frontend.h"
#include "tests/support/vboard_fixture.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"

namespace dwnfrw::testing {

inline constexpr int kRunPort = 3;
// A silent or unplugged board fails an exchange quickly.
inline constexpr int32_t kTestReadTimeoutMs = 100;
inline constexpr uint32_t kProgramBase = 0x000200;
inline constexpr uint32_t kUserIdBase = 0x200000;
inline constexpr uint32_t kEepromBase = 0xF00000;
inline constexpr int kProgramLines = 4;

// The Italian module of the first brand, opened once for the whole process
// (a module cannot be opened a second time in one process).
inline bool loadItalianTexts() {
    static const bool loaded = [] {
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        QString code = QStringLiteral("ITA");
        QString message;
        return LoadLanguage(brandProductId(0), code, message) && !GetText(1018).isEmpty();
    }();
    return loaded;
}

// Text n with every "%1" replaced.
inline QString textWith(int32_t n, const QString& first) {
    return GetText(n).replace(QLatin1String("%1"), first);
}

// The failure report of a run: text 1018, CR, the description.
inline QString failureReport(const QString& description) {
    return GetText(1018) + QLatin1Char('\r') + description;
}

inline QByteArray hexRecord(uint16_t address, uint8_t type, const QByteArray& data) {
    return vboard::intelHexRecord(type, address, data);
}

inline QByteArray upperAddressRecord(uint32_t address) {
    const uint16_t upper = uint16_t(address >> 16);
    return hexRecord(0, 4, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
}

// 16 bytes that differ from line to line and from erased flash.
inline QByteArray lineBytes(uint32_t address) {
    QByteArray data;
    for (uint32_t i = 0; i < 16; ++i)
        data.append(char(((address + i) * 7 + (address >> 4)) & 0x7F));
    return data;
}

// A few lines of program memory, one EEPROM line and the user ID.
inline QByteArray smallImageHex(int programLines = kProgramLines) {
    QByteArray hex = upperAddressRecord(kProgramBase);
    for (int line = 0; line < programLines; ++line) {
        const uint32_t address = kProgramBase + uint32_t(line) * 16;
        hex += hexRecord(uint16_t(address), 0, lineBytes(address));
    }
    hex += upperAddressRecord(kUserIdBase);
    hex += hexRecord(0, 0, QByteArrayLiteral("ID-RUN-1"));
    hex += upperAddressRecord(kEepromBase);
    hex += hexRecord(0, 0, QByteArrayLiteral("eeprom-of-a-run!"));
    hex += ":00000001FF\r\n";
    return hex;
}

class RecordingTimer : public RunClockTimer {
  public:
    void setTimerEnabled(bool on) override {
        enabled = on;
        history.push_back(on);
    }
    bool enabled = false;
    std::vector<bool> history;
};

// The toolbar of an idle window after a run, whatever its end.
inline QMap<QString, bool> idleToolbarAfterRun() {
    return {{QStringLiteral("stop"), false}, {QStringLiteral("info"), false},
            {QStringLiteral("open"), true},  {QStringLiteral("esci"), true},
            {QStringLiteral("dwn"), true},   {QStringLiteral("comport"), true},
            {QStringLiteral("Tool6"), true}, {QStringLiteral("Tool7"), true},
            {QStringLiteral("Tool8"), true}};
}

// Folders, settings and texts of a run; a board on COM3 when a test starts one.
class RunFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(data_.isValid());
        resetGlobals();
        resetBootloaderSettings();
        ASSERT_TRUE(loadItalianTexts()) << "the Italian text module is not built";
        GlobalSettings& g = globals();
        g.AppName = brandAppName(0);
        g.DataFolder = data_.path();
        g.TempFolder = data_.filePath(QStringLiteral("temp"));
        g.LogsFolder = data_.filePath(QStringLiteral("logs"));
        g.LogEnabled = true;
        g.ComPort = kRunPort;
        ASSERT_TRUE(QDir().mkpath(g.TempFolder));
        ASSERT_TRUE(QDir().mkpath(g.LogsFolder));
        session_.WorkFolder = data_.filePath(QStringLiteral("tempfrw"));
        session_.FwVersionMajor = 4;
        session_.FwVersionMinor = 1;
        session_.FwVersionBuild = 7;
        session_.PackagePath = data_.filePath(QStringLiteral("update.fwz"));
        // The window as a run finds it: a package accepted.
        fe_.toolbar.port = kRunPort;
        applyWindowOpened(fe_.toolbar);
        applyPackageAccepted(fe_.toolbar);
        fe_.toolbar.changes.clear();
    }

    void TearDown() override {
        DisconnectBootloader();
        port_.reset();
        resetBootloaderSettings();
        resetGlobals();
    }

    // A board whose application answers, unless the options say otherwise.
    static vboard::BoardOptions application(int32_t version = 4, int32_t build = 0,
                                            int32_t brand = 7) {
        vboard::BoardOptions options;
        options.startMode = vboard::BoardMode::Application;
        options.appVersion = version;
        options.appBuild = build;
        options.appBrand = brand;
        return options;
    }

    void startBoard(const vboard::BoardOptions& options) {
        port_ = std::make_unique<VirtualBoardOnPort>(options, kRunPort);
        ASSERT_TRUE(port_->ok()) << port_->error().toStdString();
        // Old firmware everywhere the update writes, so that nothing matches by chance.
        ASSERT_TRUE(board().load(kProgramBase, QByteArray(kProgramLines * 16, '\x11')));
        ASSERT_TRUE(board().load(kUserIdBase, QByteArray(8, '\x22')));
        ASSERT_TRUE(board().load(kEepromBase, QByteArray(16, '\x33')));
    }

    // The package's image split into region files, as opening it does; with
    // splitMayFail, an image the split itself refuses is left unsplit.
    void prepareImage(const QByteArray& hex = smallImageHex(), bool splitMayFail = false) {
        image_ = hex;
        const QString hexPath = data_.filePath(QStringLiteral("image.hex"));
        ASSERT_TRUE(writeAll(hexPath, hex));
        QString message;
        ASSERT_TRUE(InitBootloader(kRunPort, message)) << message.toStdString();
        ASSERT_TRUE(SplitHexFile(hexPath, message) || splitMayFail) << message.toStdString();
        session_.HexPath = hexPath;
        bootloaderSettings().ReadTimeout = kTestReadTimeoutMs;
    }

    RunReport run() {
        RunClock clock(timer_, fe_.progress);
        Frontend frontend = fe_.frontend();
        return RunDownload(session_, frontend, clock);
    }

    vboard::PtyBoard& board() { return port_->board(); }

    vboard::ImageCheck checkBoard() {
        return vboard::checkImage(
            image_, [this](uint32_t address, int length) { return board().read(address, length); });
    }

    // Every line of the run log, without time stamps.
    QStringList logTexts() const {
        QStringList texts;
        const QDir logs(globals().LogsFolder);
        for (const QString& name : logs.entryList({QStringLiteral("*.LOG")}, QDir::Files)) {
            const QByteArray bytes = readAll(logs.filePath(name));
            for (QByteArray line : bytes.split('\n')) {
                if (line.endsWith('\r'))
                    line.chop(1);
                const qsizetype tab = line.indexOf('\t');
                if (tab >= 0)
                    texts.append(QString::fromLocal8Bit(line.mid(tab + 1)));
            }
        }
        return texts;
    }

    // The log without the link component's own exchange lines.
    // The lines of the run's steps: neither the link's nor the run's
    // beginning and outcome lines.
    QStringList runLogTexts() const {
        QStringList texts;
        for (const QString& line : logTexts()) {
            if (!line.startsWith(QLatin1String("LINK ")) && !isOutcomeLine(line))
                texts.append(line);
        }
        return texts;
    }

    // The run's beginning and outcome lines, in order.
    QStringList outcomeLogTexts() const {
        QStringList texts;
        for (const QString& line : logTexts()) {
            if (isOutcomeLine(line))
                texts.append(line);
        }
        return texts;
    }

    static bool isOutcomeLine(const QString& line) {
        return line.startsWith(QLatin1String("AGGIORNAMENTO porta ")) ||
               line.startsWith(QLatin1String("ESITO: "));
    }

    // The beginning line of a run of the fixture's package on kRunPort.
    QString beginLogText() const {
        return QStringLiteral("AGGIORNAMENTO porta COM%1, pacchetto %2, versione 4.1.7")
            .arg(kRunPort)
            .arg(session_.PackagePath);
    }

    // The log lines the write passes produce for the region files, in order.
    static QStringList writePassLog() {
        QStringList lines;
        const struct {
            const char* file;
            const char* heading;
        } passes[] = {{"progmem", "Download flash"},
                      {"eedata", "Download eeprom"},
                      {"userid", "Download Userid"}};
        for (const auto& pass : passes) {
            const QByteArray text = readAll(regionFilePath(QString::fromLatin1(pass.file)));
            if (text.isEmpty())
                continue;
            lines.append(QString::fromLatin1(pass.heading));
            for (QByteArray line : text.split('\n')) {
                if (line.endsWith('\r'))
                    line.chop(1);
                if (line.isEmpty())
                    continue;
                lines.append(QStringLiteral("<- TX ") + QString::fromLatin1(line));
                lines.append(QStringLiteral("-> RX riga validata"));
            }
        }
        return lines;
    }

    void expectIdleWindow() {
        EXPECT_EQ(fe_.toolbar.enabled, idleToolbarAfterRun());
        EXPECT_TRUE(fe_.progress.operationText.isEmpty());
        EXPECT_TRUE(fe_.progress.percentText.isEmpty());
        EXPECT_FALSE(fe_.progress.barVisible);
        EXPECT_EQ(fe_.progress.barValue, 0);
        EXPECT_FALSE(fe_.toolbar.busy);
        EXPECT_FALSE(timer_.enabled);
    }

    QTemporaryDir data_;
    PackageSession session_;
    QByteArray image_;
    ScriptedFrontend fe_;
    RecordingTimer timer_;
    std::unique_ptr<VirtualBoardOnPort> port_;
};

}  // namespace dwnfrw::testing
