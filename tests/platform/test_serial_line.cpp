// The serial line against a raw pseudo-terminal whose far end the test holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>

#include "platform/serial_line.h"

using dwnfrw::serial::Clock;
using dwnfrw::serial::SerialLine;
using namespace std::chrono_literals;

namespace {

class FarEnd {
  public:
    FarEnd() {
        termios raw{};
        cfmakeraw(&raw);
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, &raw, nullptr) == 0) {
            ::close(slave);
            path_ = QString::fromLocal8Bit(name);
        }
    }
    ~FarEnd() { hangUp(); }
    QString path() const { return path_; }
    void send(const QByteArray& bytes) {
        ASSERT_EQ(::write(master_, bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    QByteArray receive(int count) {
        QByteArray out;
        while (out.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(master_, buffer,
                                     std::min<size_t>(sizeof buffer, size_t(count - out.size())));
            if (n <= 0)
                break;
            out.append(buffer, int(n));
        }
        return out;
    }
    void hangUp() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

  private:
    int master_ = -1;
    QString path_;
};

TEST(SerialLine, WritesAndReadsWhatArrived) {
    FarEnd far;
    ASSERT_FALSE(far.path().isEmpty());
    SerialLine line;
    QString error;
    ASSERT_TRUE(line.open(far.path(), 9600, &error)) << error.toStdString();
    EXPECT_TRUE(line.isOpen());
    EXPECT_EQ(line.devicePath(), far.path());

    ASSERT_TRUE(line.write(QByteArray("\x24\x45\x30\x0D"), Clock::now() + 1s));
    EXPECT_EQ(far.receive(4), QByteArray("\x24\x45\x30\x0D"));

    far.send("abc");
    EXPECT_EQ(line.readExactly(3, Clock::now() + 1s), QByteArray("abc"));
    far.send("xyz");
    const QByteArray some = line.readSome(Clock::now() + 1s);
    EXPECT_FALSE(some.isEmpty());
    EXPECT_TRUE(QByteArray("xyz").startsWith(some));
}

TEST(SerialLine, ReadsEndAtTheirDeadlineWithWhatCame) {
    FarEnd far;
    SerialLine line;
    ASSERT_TRUE(line.open(far.path(), 9600));
    far.send("12");
    const auto start = Clock::now();
    EXPECT_EQ(line.readExactly(5, start + 60ms), QByteArray("12"));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 60ms);
    EXPECT_LT(waited, 500ms);
    EXPECT_TRUE(line.readSome(Clock::now() + 20ms).isEmpty());
    EXPECT_TRUE(line.isOpen());
}

TEST(SerialLine, ClearInputDropsWhatWaits) {
    FarEnd far;
    SerialLine line;
    ASSERT_TRUE(line.open(far.path(), 9600));
    far.send("stale");
    // Let the bytes reach the port, then drop them.
    EXPECT_FALSE(line.readExactly(1, Clock::now() + 1s).isEmpty());
    line.clearInput();
    far.send("new");
    EXPECT_EQ(line.readExactly(3, Clock::now() + 1s), QByteArray("new"));
}

TEST(SerialLine, ClosesWhenTheFarEndGoesAway) {
    FarEnd far;
    SerialLine line;
    ASSERT_TRUE(line.open(far.path(), 9600));
    far.hangUp();
    const auto start = Clock::now();
    EXPECT_TRUE(line.readSome(Clock::now() + 2s).isEmpty());
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(line.isOpen());
    EXPECT_FALSE(line.lastError().isEmpty());
    EXPECT_FALSE(line.write("x", Clock::now() + 100ms));
}

TEST(SerialLine, MissingDeviceFailsWithItsName) {
    SerialLine line;
    QString error;
    EXPECT_FALSE(line.open(QStringLiteral("/dev/no-such-serial-device"), 9600, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("/dev/no-such-serial-device")))
        << error.toStdString();
    EXPECT_FALSE(line.isOpen());
    EXPECT_FALSE(line.open(QStringLiteral("COM99"), 9600, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("COM99"))) << error.toStdString();
}

TEST(SerialLine, OpensAgainAfterClose) {
    FarEnd far;
    SerialLine line;
    ASSERT_TRUE(line.open(far.path(), 9600));
    line.close();
    EXPECT_FALSE(line.isOpen());
    ASSERT_TRUE(line.open(far.path(), 9600));
    far.send("k");
    EXPECT_EQ(line.readExactly(1, Clock::now() + 1s), QByteArray("k"));
}

}  // namespace
