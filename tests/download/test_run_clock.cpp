#include <gtest/gtest.h>
#include <QElapsedTimer>

#include "download/loader_entry.h"
#include "download/overall_progress.h"
#include "startup/globals.h"
#include "startup/localtext.h"
#include "tests/support/scripted_frontend.h"

namespace dwnfrw {
namespace {

class RecordingTimer : public RunClockTimer {
  public:
    void setTimerEnabled(bool on) override { enabled = on; }
    bool enabled = false;
};

class RunClockTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        setProgramFolder(QStringLiteral(PROGRAM_DIR));
        QString code = QStringLiteral("ENG");
        QString message;
        ASSERT_TRUE(LoadLanguage(QStringLiteral("Nx016_0200"), code, message));
    }
    static void TearDownTestSuite() { UnloadLanguage(); }
};

TEST_F(RunClockTest, WholeSecondsRoundedDown) {
    const QString pattern = GetText(1017);
    ASSERT_TRUE(pattern.contains(QLatin1String("%1")));
    struct {
        qint64 ms;
        const char* seconds;
    } cases[] = {{0, "0"}, {999, "0"}, {1000, "1"}, {59900, "59"}, {3600000, "3600"}};
    for (const auto& c : cases) {
        QString expected = pattern;
        expected.replace(QLatin1String("%1"), QString::fromLatin1(c.seconds));
        EXPECT_EQ(RunClock::clockText(c.ms), expected) << c.ms;
    }
}

TEST_F(RunClockTest, TicksOnlyWhileActiveAndStopClearsTheLabel) {
    RecordingTimer timer;
    testing::RecordingProgress progress;
    RunClock clock(timer, progress);
    progress.percentText = QStringLiteral("before");
    clock.tick();  // before any run: nothing changes
    EXPECT_EQ(progress.percentText, QStringLiteral("before"));

    clock.start();
    EXPECT_TRUE(timer.enabled);
    clock.tick();
    EXPECT_EQ(progress.percentText, RunClock::clockText(0));
    clock.stop();
    EXPECT_FALSE(timer.enabled);
    EXPECT_TRUE(progress.percentText.isEmpty());
}

// One run's steps in order: the rate is measured from the first erase packet
// and trusted after 1.5 s; the absent EEPROM and user-ID regions weigh nothing.
// The weights follow the library's frames: an erase exchange of 12 bytes, a
// line of 41 (write 27, verify 14).
TEST(OverallProgressTest, PercentAndTimeLeftAcrossThePhases) {
    const struct {
        const char* name;
        PassStep step;
        int64_t nowMs;
        int percent;
        int secondsLeft;
    } steps[] = {
        {"identifying", {RunPhase::Identifying}, 0, 0, -1},
        {"connecting_after_the_loader", {RunPhase::Connecting}, 2500, 28, -1},
        {"erase_starts_the_rate", {RunPhase::ErasingProgram, 0}, 3000, 31, -1},
        {"rate_not_yet_trusted", {RunPhase::ErasingProgram, 6400}, 4000, 44, -1},
        {"half_the_lines", {RunPhase::WritingProgram, 50, 51}, 7000, 67, 4},
        {"finished", {RunPhase::Disconnecting, 1}, 10000, 100, 0},
    };
    OverallProgressCalculation calculation(RunPlan{{6400, 0}, {100, 0}, {100, 0, 0}});
    for (const auto& row : steps) {
        const OverallProgress overall = calculation.step(row.step, row.nowMs);
        EXPECT_EQ(overall.phase, row.step.phase) << row.name;
        EXPECT_EQ(overall.percent, row.percent) << row.name;
        EXPECT_EQ(overall.secondsLeft, row.secondsLeft) << row.name;
    }
    EXPECT_EQ(calculation.linesVerified(), 50);
}

TEST(PauseOneSecondTest, PumpsEventsAboutEveryTenthOfASecond) {
    testing::CountingPump pump;
    QElapsedTimer timer;
    timer.start();
    PauseOneSecond(pump);
    EXPECT_GE(timer.elapsed(), 1000);
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_GE(pump.count, 9);
    EXPECT_LE(pump.count, 12);
}

TEST(SendLoaderEntryTest, PortWithoutDeviceReturnsNormallyAfterTheHoldAndPause) {
    qputenv("DWNFRW_PORTS", "/nonexistent-ports");
    testing::CountingPump pump;
    QElapsedTimer timer;
    timer.start();
    SendLoaderEntry(64, pump);  // /dev/ttyUSB31: not on a test machine
    EXPECT_GE(timer.elapsed(), 1200);
    EXPECT_LT(timer.elapsed(), 2000);
    qunsetenv("DWNFRW_PORTS");
}

}  // namespace
}  // namespace dwnfrw
