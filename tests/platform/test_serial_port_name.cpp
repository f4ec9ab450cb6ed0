#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/port_discovery.h"
#include "platform/serial_port_name.h"

using dwnfrw::serial::comPortNumber;
using dwnfrw::serial::portsFolder;
using dwnfrw::serial::resolveSerialPortName;

namespace {

// Points DWNFRW_PORTS at a fresh folder for one test and puts it back after.
class PortsFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        if (qEnvironmentVariableIsSet("DWNFRW_PORTS"))
            saved_ = qgetenv("DWNFRW_PORTS");
        qputenv("DWNFRW_PORTS", QFile::encodeName(dir_.path()));
    }
    void TearDown() override {
        if (saved_.isNull())
            qunsetenv("DWNFRW_PORTS");
        else
            qputenv("DWNFRW_PORTS", saved_);
    }
    void link(const QString& name, const QString& target) {
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(),
                            QFile::encodeName(dir_.filePath(name)).constData()),
                  0);
    }
    QTemporaryDir dir_;
    QByteArray saved_;
};

TEST_F(PortsFolderTest, NamesWithoutLinkMapToTheMachinesPorts) {
    struct Case {
        const char* name;
        const char* device;
    };
    const Case cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM32", "/dev/ttyS31"},
        {"COM33", "/dev/ttyUSB0"},
        {"COM64", "/dev/ttyUSB31"},
        {"com5", "/dev/ttyS4"},
        {"COM65", ""},
        {"COM0", ""},
        {"COM", ""},
        {"COMX", ""},
        {"COM-1", ""},
        {"/dev/pts/7", "/dev/pts/7"},
        {"./relative", "./relative"},
        {"ttyACM0", "ttyACM0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolveSerialPortName(QString::fromLatin1(c.name)), QString::fromLatin1(c.device))
            << c.name;
}

TEST_F(PortsFolderTest, LinkInThePortsFolderWinsEvenWhenItsTargetIsGone) {
    link(QStringLiteral("COM3"), QStringLiteral("/dev/null"));
    link(QStringLiteral("COM40"), dir_.filePath(QStringLiteral("no-such-terminal")));
    link(QStringLiteral("COM70"), QStringLiteral("/dev/null"));
    EXPECT_EQ(resolveSerialPortName(QStringLiteral("COM3")), dir_.filePath(QStringLiteral("COM3")));
    EXPECT_EQ(resolveSerialPortName(QStringLiteral("com3")), dir_.filePath(QStringLiteral("COM3")));
    EXPECT_EQ(resolveSerialPortName(QStringLiteral("COM40")),
              dir_.filePath(QStringLiteral("COM40")));
    EXPECT_EQ(resolveSerialPortName(QStringLiteral("COM70")),
              dir_.filePath(QStringLiteral("COM70")));
    EXPECT_EQ(resolveSerialPortName(QStringLiteral("COM4")), QStringLiteral("/dev/ttyS3"));
}

TEST_F(PortsFolderTest, LinksArePresentOnlyWhileTheirDeviceExists) {
    link(QStringLiteral("COM3"), QStringLiteral("/dev/null"));
    link(QStringLiteral("COM40"), dir_.filePath(QStringLiteral("no-such-terminal")));
    const dwnfrw::serial::PortPresence live = dwnfrw::serial::portPresence(3);
    EXPECT_TRUE(live.present);
    EXPECT_TRUE(live.fromPortsFolder);
    EXPECT_EQ(live.devicePath, QStringLiteral("/dev/null"));
    EXPECT_FALSE(dwnfrw::serial::portPresence(40).present);
    int listed = 0;
    for (const auto& p : dwnfrw::serial::discoverPorts()) {
        if (p.name == QLatin1String("COM3") || p.name == QLatin1String("COM40")) {
            EXPECT_EQ(p.present, p.name == QLatin1String("COM3")) << qPrintable(p.name);
            ++listed;
        }
    }
    EXPECT_EQ(listed, 2);
}

TEST_F(PortsFolderTest, PortsFolderDefaultsToTheUsersConfiguration) {
    EXPECT_EQ(portsFolder(), dir_.path());
    qunsetenv("DWNFRW_PORTS");
    EXPECT_EQ(portsFolder(), QDir::homePath() + QStringLiteral("/.config/dwnfrw/ports"));
}

TEST(ComPortNumber, ReadsOnlyComFollowedByDigits) {
    EXPECT_EQ(comPortNumber(QStringLiteral("COM12")), 12);
    EXPECT_EQ(comPortNumber(QStringLiteral("Com7")), 7);
    EXPECT_EQ(comPortNumber(QStringLiteral("COM1A")), 0);
    EXPECT_EQ(comPortNumber(QStringLiteral("COM")), 0);
    EXPECT_EQ(comPortNumber(QStringLiteral("XCOM1")), 0);
    EXPECT_EQ(comPortNumber(QStringLiteral("COM\u0663")), 0);  // Arabic-Indic digit three
}

}  // namespace
