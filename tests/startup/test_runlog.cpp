#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>

#include "startup/globals.h"
#include "startup/runlog.h"
#include "startup/runtime_error.h"

namespace dwnfrw {
namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class RunLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        resetGlobals();
        globals().LogsFolder = dir_.path();
        globals().LogEnabled = true;
    }
    QString file(const QDate& day) const { return QDir(dir_.path()).filePath(logFileName(day)); }
    QTemporaryDir dir_;
};

TEST_F(RunLogTest, FileNameIsDayMonthYear) {
    EXPECT_EQ(logFileName(QDate(2026, 3, 7)), QStringLiteral("07032026.LOG"));
    EXPECT_EQ(logFileName(QDate(2026, 12, 31)), QStringLiteral("31122026.LOG"));
}

TEST_F(RunLogTest, LinesAreStampedTabSeparatedAndAppended) {
    const QDateTime when(QDate(2026, 12, 8), QTime(9, 5, 7));
    const QLocale locale = QLocale::system();
    const QString stamp = locale.toString(when.date(), QLocale::ShortFormat);
    WriteLogAt(QStringLiteral("INIZIO DOWNLOAD FIRMWARE"), when);
    WriteLogAt(QStringLiteral("a\tb"), when);  // tabs in the text stay
    WriteLogAt(QString(), when);               // an empty text ends with the tab

    const QList<QByteArray> lines = readAll(file(when.date())).split('\n');
    ASSERT_EQ(lines.size(), 4);  // three lines and the empty rest after the last LF
    EXPECT_TRUE(lines[0].endsWith("\tINIZIO DOWNLOAD FIRMWARE\r"));
    EXPECT_TRUE(lines[0].startsWith(stamp.toLocal8Bit() + ' '));
    EXPECT_TRUE(lines[0].contains("09:05:07") || lines[0].contains("9:05:07"));
    EXPECT_TRUE(lines[1].endsWith("\ta\tb\r"));
    EXPECT_TRUE(lines[2].endsWith("\t\r"));
    EXPECT_TRUE(lines[3].isEmpty());
}

TEST_F(RunLogTest, RunPastMidnightContinuesInTheNextDaysFile) {
    const QDateTime before(QDate(2026, 12, 8), QTime(23, 59, 59));
    const QDateTime after(QDate(2026, 12, 9), QTime(0, 0, 1));
    WriteLogAt(QStringLiteral("prima"), before);
    WriteLogAt(QStringLiteral("dopo"), after);
    EXPECT_TRUE(readAll(file(before.date())).endsWith("\tprima\r\n"));
    EXPECT_TRUE(readAll(file(after.date())).endsWith("\tdopo\r\n"));
    EXPECT_FALSE(readAll(file(after.date())).contains("prima"));
}

TEST_F(RunLogTest, DisabledLogTouchesNothingEvenWithoutFolder) {
    globals().LogEnabled = false;
    globals().LogsFolder = QDir(dir_.path()).filePath(QStringLiteral("missing"));
    EXPECT_NO_THROW(WriteLog(QStringLiteral("x")));
    EXPECT_FALSE(QDir(globals().LogsFolder).exists());
}

TEST_F(RunLogTest, MissingFolderReachesTheCaller) {
    globals().LogsFolder = QDir(dir_.path()).filePath(QStringLiteral("missing"));
    try {
        WriteLog(QStringLiteral("x"));
        FAIL() << "no error raised";
    } catch (const RunTimeError& error) {
        EXPECT_TRUE(error.description().contains(globals().LogsFolder));
    }
}

}  // namespace
}  // namespace dwnfrw
