// The board's own firmware on the simulated chip, end to end: chipboard runs
// board.hex (the bootloader and the demo application), dwnfrw-batch updates it
// with the sample package over a pseudo-terminal, and the chip's memory, its
// boot block and its answers are checked afterwards. Power is cut (SIGTERM to
// chipboard) in the middle of updates, and a careless host aims writes at the
// boot block straight through the bootloader library.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <thread>

#include "components/ctrllink/ctrllink.h"
#include "components/nxpicboot/nxpicboot.h"
#include "tools/vboard/image_check.h"
#include "tools/vboard/intel_hex.h"
#include "tools/vboard/pic_memory.h"

namespace {

using namespace std::chrono_literals;

constexpr int kPort = 3;
constexpr uint32_t kBootBlockBytes = 0x200;
// The sample package's version as the board answers it (4.1.7: version 4,
// build 7), and what board.hex's application answers (4, 3 by default).
constexpr int32_t kSampleVersion = DWNFRW_SAMPLE_APP_VERSION;
constexpr int32_t kSampleBuild = DWNFRW_SAMPLE_APP_BUILD;
constexpr int32_t kSampleBrand = DWNFRW_SAMPLE_BRAND;
// An unpaced sample update takes a few seconds; far beyond this is a hang.
constexpr int kUpdateTimeoutMs = 120'000;

QString firmwareFile(const char* name) {
    return QStringLiteral(DWNFRW_FIRMWARE_DIR "/") + QLatin1String(name);
}

QString sampleFile(const char* name) {
    return QStringLiteral(DWNFRW_SAMPLE_DIR "/") + QLatin1String(name);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Memory as an Intel HEX file gives it: what chipboard dumps, or an image.
std::unique_ptr<vboard::PicMemory> memoryOf(const QString& path, QString* error) {
    auto memory = std::make_unique<vboard::PicMemory>(vboard::pic18f452Layout(),
                                                      vboard::StartContents::Blank);
    const QByteArray text = readAll(path);
    if (text.isEmpty()) {
        *error = path + QStringLiteral(" is missing or empty");
        return nullptr;
    }
    if (!vboard::loadIntelHex(text, *memory, error))
        return nullptr;
    return memory;
}

// Points the library's port names at a ports folder while it lives.
class ScopedPortsFolder {
  public:
    explicit ScopedPortsFolder(const QString& folder) : saved_(qgetenv("DWNFRW_PORTS")) {
        qputenv("DWNFRW_PORTS", folder.toUtf8());
    }
    ~ScopedPortsFolder() {
        if (saved_.isNull())
            qunsetenv("DWNFRW_PORTS");
        else
            qputenv("DWNFRW_PORTS", saved_);
    }

  private:
    QByteArray saved_;
};

// One simulated board: a scratch folder with its ports folder, state and dump.
class ChipBench {
  public:
    ChipBench() {
        ports_ = scratch_.filePath(QStringLiteral("ports"));
        QDir().mkpath(ports_);
        state_ = scratch_.filePath(QStringLiteral("state.hex"));
        dump_ = scratch_.filePath(QStringLiteral("dump.hex"));
    }
    ~ChipBench() { powerOff(); }

    QString link() const { return ports_ + QStringLiteral("/COM%1").arg(kPort); }
    QString ports() const { return ports_; }
    QString dumpPath() const { return dump_; }

    // Switches the board on: the memory of its state file when it has one,
    // else the firmware image. True once the link to its terminal exists.
    bool powerOn(const QStringList& extra = {},
                 const QString& firmware = firmwareFile("board.hex")) {
        chip_ = std::make_unique<QProcess>();
        chip_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{
            QStringLiteral("--link"),  link(), QStringLiteral("--firmware"), firmware,
            QStringLiteral("--state"), state_, QStringLiteral("--dump"),     dump_};
        chip_->start(QStringLiteral(DWNFRW_CHIPBOARD_EXE), arguments + extra);
        if (!chip_->waitForStarted(5000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 10'000) {
            if (QFileInfo(link()).exists() && chip_->canReadLine())
                return true;
            chip_->waitForReadyRead(50);
            if (chip_->state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }

    // Cuts the power: SIGTERM, as a board unplugged; the state file keeps the
    // memory the chip had at that moment.
    void powerOff() {
        if (!chip_ || chip_->state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(chip_->processId()), SIGTERM);
        if (!chip_->waitForFinished(5000)) {
            chip_->kill();
            chip_->waitForFinished();
        }
    }

    // dwnfrw-batch update of the package; its exit code (-1: it did not end).
    // onLine sees each line of its standard output as it comes (the progress).
    int update(const QString& package, const std::function<void(const QString&)>& onLine = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), scratch_.filePath(QStringLiteral("home")));
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           scratch_.filePath(QStringLiteral("data")));
        environment.insert(QStringLiteral("DWNFRW_PORTS"), ports_);
        QProcess batch;
        batch.setProcessEnvironment(environment);
        batch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        batch.start(QStringLiteral(DWNFRW_BATCH_EXE),
                    {QStringLiteral("update"), QStringLiteral("--port"), QString::number(kPort),
                     QStringLiteral("--package"), package, QStringLiteral("--yes")});
        QElapsedTimer clock;
        clock.start();
        while (batch.state() != QProcess::NotRunning && clock.elapsed() < kUpdateTimeoutMs) {
            batch.waitForReadyRead(20);
            while (batch.canReadLine()) {
                const QString line = QString::fromUtf8(batch.readLine()).trimmed();
                if (onLine)
                    onLine(line);
            }
        }
        if (batch.state() != QProcess::NotRunning) {
            batch.kill();
            batch.waitForFinished();
            return -1;
        }
        return batch.exitStatus() == QProcess::NormalExit ? batch.exitCode() : -1;
    }

  private:
    QTemporaryDir scratch_;
    QString ports_;
    QString state_;
    QString dump_;
    std::unique_ptr<QProcess> chip_;
};

// The board's terminal as a host opens it: raw, 9600 baud.
class Terminal {
  public:
    explicit Terminal(const QString& link)
        : fd_(::open(QFile::encodeName(link).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (fd_ < 0)
            return;
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Terminal() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    // Sends bytes; returns what comes back until a CR or the wait ends.
    QByteArray exchange(const QByteArray& bytes, std::chrono::milliseconds wait) {
        QByteArray answer;
        if (::write(fd_, bytes.constData(), size_t(bytes.size())) != bytes.size())
            return answer;
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!answer.endsWith('\r') && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char chunk[64];
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0)
                answer.append(chunk, int(n));
        }
        return answer;
    }

  private:
    int fd_;
};

struct Identity {
    int32_t version = -1, build = -1, brand = -1, linkError = -1;
    bool operator==(const Identity&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Identity& id) {
    return out << "version " << id.version << ", build " << id.build << ", brand " << id.brand
               << ", link error " << id.linkError;
}

Identity running(int32_t version, int32_t build, int32_t brand) {
    return {version, build, brand, ctrllink::kLinkOk};
}

// Who the running application says it is, asked through the link component
// with the program's own settings (six attempts of a second, answers with a
// wrong checksum skipped).
Identity identify(const ChipBench& bench) {
    const ScopedPortsFolder ports(bench.ports());
    ctrllink::CtrlLinkClient link;
    link.PortNumber = kPort;
    Identity id;
    if (!link.Open())
        return id;
    link.ReadVersion(id.version, id.build, id.brand, id.linkError);
    bool closed = false;
    link.Close(closed);
    return id;
}

// Checks what every finished update leaves: the image from 000200 up and in
// EEPROM and user ID, and the boot block exactly as bootloader.hex has it.
void expectUpdatedBoard(const QString& dumpPath, const char* image = "sample.hex") {
    QString error;
    const auto board = memoryOf(dumpPath, &error);
    ASSERT_TRUE(board) << error.toStdString();
    const vboard::ImageCheck check = vboard::checkImage(
        readAll(sampleFile(image)),
        [&](uint32_t address, int length) { return board->peek(address, length); });
    EXPECT_TRUE(check.equal) << check.report.toStdString();
    const auto bootloader = memoryOf(firmwareFile("bootloader.hex"), &error);
    ASSERT_TRUE(bootloader) << error.toStdString();
    EXPECT_EQ(board->peek(0, kBootBlockBytes), bootloader->peek(0, kBootBlockBytes))
        << "the boot block changed";
}

struct UpdateCase {
    const char* name;
    QStringList chipOptions;
    const char* package = "sample";
};

class SampleUpdate : public ::testing::TestWithParam<UpdateCase> {};

// The update ends with exit 0, the memory holds the image, and the board runs
// the new application at once: it answers the package's version.
TEST_P(SampleUpdate, LeavesTheImageAndRunsTheNewApplication) {
    ChipBench bench;
    ASSERT_TRUE(bench.powerOn(GetParam().chipOptions));
    EXPECT_EQ(identify(bench), running(DWNFRW_APP_VERSION, DWNFRW_APP_BUILD, DWNFRW_APP_BRAND))
        << "board.hex's own";
    const QByteArray package = GetParam().package;
    ASSERT_EQ(bench.update(sampleFile((package + ".fwz").constData())), 0);
    EXPECT_EQ(identify(bench), running(kSampleVersion, kSampleBuild, kSampleBrand));
    bench.powerOff();
    expectUpdatedBoard(bench.dumpPath(), (package + ".hex").constData());
}

const UpdateCase kUpdateCases[] = {
    {"clean_line", {}},
    // All of program memory: the application and data up to 007FFF still starts.
    {"full_32k", {}, "full32k"},
    {"two_percent_of_bytes_damaged",
     {QStringLiteral("--corrupt"), QStringLiteral("0.02"), QStringLiteral("--seed"),
      QStringLiteral("3")}},
};

INSTANTIATE_TEST_SUITE_P(Chip, SampleUpdate, ::testing::ValuesIn(kUpdateCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Power lost at a moment of an update: once the progress line of `percent`
// came (dwnfrw-batch prints one every tenth), `afterMs` later. In the sample's
// plan identification and loader entry take the first 14 %, erasing runs to
// about 42 %, writing and verifying line by line to about 95 %.
struct PowerLossCase {
    const char* name;
    int percent;
    int afterMs;
};

class PowerLoss : public ::testing::TestWithParam<PowerLossCase> {};

TEST_P(PowerLoss, TheNextUpdateSucceedsAndTheBootBlockStays) {
    const PowerLossCase& c = GetParam();
    ChipBench bench;
    ASSERT_TRUE(bench.powerOn());
    static const QRegularExpression percentLine(QStringLiteral("(\\d+)%$"));
    bool cut = false;
    bench.update(sampleFile("sample.fwz"), [&](const QString& line) {
        const QRegularExpressionMatch m = percentLine.match(line);
        if (cut || !m.hasMatch() || m.captured(1).toInt() < c.percent)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.afterMs));
        bench.powerOff();
        cut = true;
    });
    ASSERT_TRUE(cut) << "the update ended before the moment of the power loss";

    // Switched on again with the memory it had.
    ASSERT_TRUE(bench.powerOn());
    ASSERT_EQ(bench.update(sampleFile("sample.fwz")), 0);
    EXPECT_EQ(identify(bench), running(kSampleVersion, kSampleBuild, kSampleBrand));
    bench.powerOff();
    expectUpdatedBoard(bench.dumpPath());
}

const PowerLossCase kPowerLossCases[] = {
    {"erase_first_rows", 20, 0}, {"erase_early", 20, 200},   {"erase_middle", 30, 0},
    {"erase_late", 30, 200},     {"erase_last_rows", 40, 0}, {"write_first_lines", 50, 0},
    {"write_early", 60, 0},      {"write_middle", 70, 0},    {"write_late", 80, 0},
    {"write_last_lines", 90, 0},
};

INSTANTIATE_TEST_SUITE_P(Chip, PowerLoss, ::testing::ValuesIn(kPowerLossCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A careless host, straight through the library: erases and writes aimed at
// the boot block are refused by the board itself, and the boot block stays.
TEST(BootBlock, ErasesAndWritesBelow000200AreRefused) {
    ChipBench bench;
    ASSERT_TRUE(bench.powerOn());
    {
        // The loader-entry command puts the running application in its
        // bootloader, which does not answer the identification.
        Terminal terminal(bench.link());
        ASSERT_TRUE(terminal.ok());
        EXPECT_EQ(terminal.exchange("$E0\r", 100ms), QByteArray());
        EXPECT_EQ(terminal.exchange(ctrllink::identificationRequest(), 500ms), QByteArray());
    }
    const ScopedPortsFolder ports(bench.ports());
    const int32_t handle = OpenPIC("COM3", 9600, 1000);
    ASSERT_GT(handle, 0) << NxpicResultText(handle);

    uint8_t data[NXPIC_DATA_BUFFER_BYTES] = {};
    struct Attempt {
        const char* name;
        int32_t address;
        uint8_t length;
    };
    for (const Attempt& a : {Attempt{"reset_vector", 0x000000, 16},
                             Attempt{"last_line_of_the_boot_block", 0x0001F0, 16},
                             Attempt{"across_the_boundary", 0x0001F8, 16}}) {
        PicBlock block{NXPIC_CMD_WRITE_PROGRAM, a.length, {0, 0}, a.address, 8, 1, 1};
        EXPECT_EQ(WritePIC(handle, &block, data), NXPIC_ERR_REFUSED) << a.name;
    }
    for (const int32_t row : {0x000000, 0x0001C0}) {
        uint8_t packet[NXPIC_PACKET_BUFFER_BYTES] = {NXPIC_CMD_ERASE_PROGRAM, 1,
                                                     uint8_t(row & 0xFF), uint8_t(row >> 8), 0};
        EXPECT_EQ(SendGetPacket(handle, packet, 5, 255, 1), NXPIC_ERR_REFUSED) << row;
    }
    ClosePIC(handle);

    bench.powerOff();
    QString error;
    const auto board = memoryOf(bench.dumpPath(), &error);
    ASSERT_TRUE(board) << error.toStdString();
    const auto image = memoryOf(firmwareFile("board.hex"), &error);
    ASSERT_TRUE(image) << error.toStdString();
    EXPECT_EQ(board->peek(0, kBootBlockBytes), image->peek(0, kBootBlockBytes));
}

// The demo application on the chip, line by line: only exactly "$V?" CR is
// answered, whatever came before; nothing else gets an answer.
TEST(Application, AnswersExactlyTheIdentificationRequest) {
    ChipBench bench;
    ASSERT_TRUE(bench.powerOn());
    Terminal terminal(bench.link());
    ASSERT_TRUE(terminal.ok());
    const QByteArray answer =
        ctrllink::versionAnswer(DWNFRW_APP_VERSION, DWNFRW_APP_BUILD, DWNFRW_APP_BRAND);
    const struct {
        const char* name;
        QByteArray bytes;
        QByteArray expected;
    } rows[] = {
        {"request", "$V?\r", answer},
        {"after_a_noise_line", "noise\r$V?\r", answer},
        {"after_an_empty_line", "\r$V?\r", answer},
        {"prefixed", "x$V?\r", {}},
        {"one_byte_too_many", "$V??\r", {}},
        {"cut_short", "$V\r", {}},
        {"lower_case", "$v?\r", {}},
        {"line_feed_instead_of_cr", "$V?\n", {}},
        {"after_the_line_feed", "\r$V?\r", answer},
        {"long_noise_then_request", QByteArray(300, 'Z') + "\r$V?\r", answer},
        {"binary_frame_then_request",
         QByteArray("\xA5\x05\x01\x00\x02\x00\x10\x3A\x7F\r", 10) + "$V?\r", answer},
        {"other_command", "$E1\r", {}},
        // The second request arrives while the first is answered: the receive
        // FIFO holds two bytes, the rest overruns, and that line is dropped up
        // to the next CR. The receiver works again afterwards.
        {"request_during_the_answer", "$V?\r$V?\r", answer},
        {"line_after_the_overrun", "\r$V?\r", answer},
        {"request_again", "$V?\r", answer},
    };
    for (const auto& row : rows) {
        const QByteArray got = terminal.exchange(row.bytes, row.expected.isEmpty() ? 300ms : 2s);
        EXPECT_EQ(got, row.expected) << row.name;
    }
}

// Numbers in decimal without leading zeros, zeros inside kept, up to 65535.
TEST(Application, WritesItsNumbersInDecimal) {
    const struct {
        const char* image;
        int32_t version, build, brand;
    } rows[] = {
        {"app-numbers-a.hex", 0, 100, 65535},
        {"app-numbers-b.hex", 10005, 9, 20},
    };
    for (const auto& row : rows) {
        ChipBench bench;
        ASSERT_TRUE(bench.powerOn(
            {}, QStringLiteral(DWNFRW_TEST_FIRMWARE_DIR "/") + QLatin1String(row.image)))
            << row.image;
        EXPECT_EQ(identify(bench), running(row.version, row.build, row.brand)) << row.image;
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
