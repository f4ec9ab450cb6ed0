// The device profile: the default PICCFG.INI, the INI reader's rules and the
// value conversions.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "bootloader/modpic.h"
#include "startup/globals.h"
#include "startup/localtext.h"

using namespace dwnfrw;

namespace {

class ProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(logs_.isValid());
        resetGlobals();
        globals().LogsFolder = logs_.path();
    }
    void TearDown() override { resetGlobals(); }

    void writeProfile(const QByteArray& text) {
        QFile file(picProfilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }
    QByteArray profileText() {
        QFile file(picProfilePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir logs_;
};

const QByteArray kDefaultProfileText =
    "[PIC18F452]\r\n"
    "writeblock=8\r\n"
    "readblock=1\r\n"
    "eraseblock=64\r\n"
    "DeviceType=1\r\n"
    "MaxPacketSize=128\r\n"
    "BytesPerAddr=1\r\n"
    "pmrangelow=\"000200\"\r\n"
    "pmrangehigh=\"007FFF\"\r\n"
    "eerangelow=\"000000\"\r\n"
    "eerangehigh=\"0000FF\"\r\n"
    "usrrangelow=\"200000\"\r\n"
    "usrrangehigh=\"20000F\"\r\n"
    "cfgrangelow=\"300000\"\r\n"
    "cfgrangehigh=\"30000F\"\r\n"
    "300001=\"CONFIG1H\"\r\n"
    "300002=\"CONFIG2L\"\r\n"
    "300003=\"CONFIG2H\"\r\n"
    "300005=\"CONFIG3H\"\r\n"
    "300006=\"CONFIG4L\"\r\n"
    "300008=\"CONFIG5L\"\r\n"
    "300009=\"CONFIG5H\"\r\n"
    "30000A=\"CONFIG6L\"\r\n"
    "30000B=\"CONFIG6H\"\r\n"
    "30000C=\"CONFIG7L\"\r\n"
    "30000D=\"CONFIG7H\"\r\n";

TEST_F(ProfileTest, DefaultProfileIsWrittenKeyByKeyInOrder) {
    EXPECT_EQ(picProfilePath(), logs_.filePath(QStringLiteral("PICCFG.INI")));
    WriteDefaultProfile();
    EXPECT_EQ(profileText(), kDefaultProfileText);
}

TEST_F(ProfileTest, ExistingProfileIsLeftUntouchedEvenWithKeysMissing) {
    const QByteArray mine = "[PIC18F452]\r\nwriteblock=16\r\n";
    writeProfile(mine);
    WriteDefaultProfile();
    EXPECT_EQ(profileText(), mine);
}

TEST_F(ProfileTest, WithoutTheOptionTheFileIsIgnored) {
    writeProfile("[PIC18F452]\r\neerangelow=\"000000\"\r\neraseblock=999\r\n");
    PicProfile profile;
    QString message;
    ASSERT_TRUE(LoadPicProfile(profile, message));
    const PicProfile builtIn = builtInPicProfile();
    EXPECT_EQ(profile.eerangelow, 0x000020);
    EXPECT_EQ(profile.pmrangelow, 0x000200);
    EXPECT_EQ(profile.pmrangehigh, 0x007FFF);
    EXPECT_EQ(profile.usrrangelow, 0x200000);
    EXPECT_EQ(profile.usrrangehigh, 0x20000F);
    EXPECT_EQ(profile.cfgrangelow, 0x300000);
    EXPECT_EQ(profile.cfgrangehigh, 0x30000F);
    EXPECT_EQ(profile.eerangehigh, 0x0000FF);
    EXPECT_EQ(profile.eraseblock, 64);
    EXPECT_EQ(profile.writeblock, 8);
    EXPECT_EQ(profile.bytesperaddr, 1);
    EXPECT_EQ(profile.readblock, 1);
    EXPECT_EQ(profile.maxpacketsize, 128);
    EXPECT_EQ(profile.devicetype, 1);
    EXPECT_EQ(profileText(), "[PIC18F452]\r\neerangelow=\"000000\"\r\neraseblock=999\r\n");
    EXPECT_EQ(builtIn.eerangelow, profile.eerangelow);
}

TEST_F(ProfileTest, DefaultFileLoadsUnderTheOption) {
    globals().UseProfileFile = true;
    WriteDefaultProfile();
    PicProfile profile;
    QString message;
    ASSERT_TRUE(LoadPicProfile(profile, message)) << message.toStdString();
    PicProfile expected = builtInPicProfile();
    expected.eerangelow = 0;  // the file says 000000
    EXPECT_EQ(profile.eerangelow, expected.eerangelow);
    EXPECT_EQ(profile.pmrangelow, expected.pmrangelow);
    EXPECT_EQ(profile.pmrangehigh, 32767);
    EXPECT_EQ(profile.usrrangehigh, expected.usrrangehigh);
    EXPECT_EQ(profile.cfgrangelow, expected.cfgrangelow);
    EXPECT_EQ(profile.eraseblock, 64);
    EXPECT_EQ(profile.writeblock, 8);
    EXPECT_EQ(profile.bytesperaddr, 1);
    EXPECT_EQ(profile.maxpacketsize, 128);
    EXPECT_EQ(profile.devicetype, 1);
    EXPECT_EQ(profile.readblock, 1);
}

TEST_F(ProfileTest, ReaderFollowsThePrivateProfileRules) {
    writeProfile(
        "; a comment\r\n"
        "[other]\r\n"
        "pmrangelow=111111\r\n"
        "[pic18f452]\r\n"
        "  PMRANGELOW = \"000400\"  \r\n"
        "pmrangelow=999999\r\n"
        "long=ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"
        "quotedlong=\"0123456789012345678901\"\r\n"
        "half=\"007FFF\n"
        "empty=\r\n"
        ";hidden=1\r\n"
        "noequals\r\n"
        "[PIC18F452]\r\n"
        "second=2\r\n");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    };
    const Case cases[] = {
        {"PIC18F452", "pmrangelow", "000400"},
        {"other", "PMRangeLow", "111111"},
        {"PIC18F452", "long", "ABCDEFGHIJKLMNOPQRS"},
        {"PIC18F452", "quotedlong", "0123456789012345678"},
        {"PIC18F452", "half", "\"007FFF"},
        {"PIC18F452", "empty", ""},
        {"PIC18F452", "hidden", ""},
        {"PIC18F452", "noequals", ""},
        {"PIC18F452", "absent", ""},
        {"PIC18F452", "second", "2"},
        {"missing", "pmrangelow", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ReadProfileValue(QString::fromLatin1(c.section), QString::fromLatin1(c.key)),
                  QString::fromLatin1(c.value))
            << c.section << "/" << c.key;
    QFile::remove(picProfilePath());
    EXPECT_EQ(ReadProfileValue(QStringLiteral("PIC18F452"), QStringLiteral("pmrangelow")),
              QString());
}

struct Conversion {
    const char* name;
    const char* key;
    const char* text;
    int64_t expected;  // -1000: the load fails
};

class ProfileConversionTest : public ProfileTest,
                              public ::testing::WithParamInterface<Conversion> {};

TEST_P(ProfileConversionTest, LoadsTheValue) {
    const Conversion& c = GetParam();
    globals().UseProfileFile = true;
    writeProfile(QByteArray("[PIC18F452]\r\n") + c.key + "=" + c.text + "\r\n");
    PicProfile profile;
    QString message;
    const bool loaded = LoadPicProfile(profile, message);
    if (c.expected == -1000) {
        EXPECT_FALSE(loaded);
        EXPECT_TRUE(message.contains(QString::fromLatin1(c.key))) << message.toStdString();
        EXPECT_TRUE(message.contains(QString::fromLatin1(c.text).remove(QLatin1Char('"'))))
            << message.toStdString();
        return;
    }
    ASSERT_TRUE(loaded) << message.toStdString();
    const QString key = QString::fromLatin1(c.key);
    const int64_t value = key == QLatin1String("pmrangehigh")  ? profile.pmrangehigh
                          : key == QLatin1String("eraseblock") ? profile.eraseblock
                          : key == QLatin1String("devicetype") ? profile.devicetype
                                                               : -1;
    EXPECT_EQ(value, c.expected);
    // Keys that the file does not have load as 0.
    EXPECT_EQ(profile.usrrangelow, 0);
    EXPECT_EQ(profile.writeblock, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ProfileConversionTest,
    ::testing::Values(Conversion{"hex_quoted", "pmrangehigh", "\"007FFF\"", 32767},
                      Conversion{"hex_unquoted", "pmrangehigh", "007FFF", 32767},
                      Conversion{"hex_lower", "pmrangehigh", "7fff", 32767},
                      Conversion{"hex_leading_digits", "pmrangehigh", "12G4", 0x12},
                      Conversion{"hex_none", "pmrangehigh", "zz", 0},
                      Conversion{"hex_empty", "pmrangehigh", "", 0},
                      Conversion{"hex_32_bits", "pmrangehigh", "FFFFFFFF", -1},
                      Conversion{"byte_plain", "eraseblock", "64", 64},
                      Conversion{"byte_half_down_to_even", "eraseblock", "12.5", 12},
                      Conversion{"byte_half_up_to_even", "eraseblock", "13.5", 14},
                      Conversion{"byte_leading_number", "eraseblock", "64 bytes", 64},
                      Conversion{"byte_quoted", "eraseblock", "\"32\"", 32},
                      Conversion{"byte_exponent", "eraseblock", "1e2", 100},
                      Conversion{"byte_empty", "eraseblock", "", 0},
                      Conversion{"byte_word", "devicetype", "abc", 0},
                      Conversion{"byte_small_negative", "devicetype", "-0.4", 0},
                      Conversion{"byte_top", "devicetype", "255.4", 255},
                      Conversion{"byte_rounds_over", "devicetype", "255.5", -1000},
                      Conversion{"byte_too_big", "eraseblock", "300", -1000},
                      Conversion{"byte_negative", "eraseblock", "-1", -1000}),
    [](const ::testing::TestParamInfo<Conversion>& info) { return info.param.name; });

// The check judges a used key's value as the reader reads it, and keeps the
// program range off the boot block and inside the device's flash.
TEST_F(ProfileTest, CheckJudgesValuesAsTheReaderReadsThem) {
    static const bool textsLoaded = [] {
        setProgramFolder(QStringLiteral(DWNFRW_TEST_PROGRAM_DIR));
        QString code = QStringLiteral("ENG");
        QString message;
        return LoadLanguage(brandProductId(0), code, message);
    }();
    ASSERT_TRUE(textsLoaded);
    struct Case {
        const char* key;
        const char* value;
        int text;  // 0: accepted
        const char* low = "000200";
        const char* high = "007FFF";
    };
    const Case cases[] = {
        {"eraseblock", "64 ; rows", 0},
        {"eraseblock", "&H40", 0},
        {"writeblock", "8.0", 0},
        {"eraseblock", "rows", 1115},
        {"eraseblock", "", 1115},
        {"pmrangelow", "0200 ; after the boot block", 0},
        {"pmrangelow", "&H0200", 1115},
        {"pmrangehigh", "\"\"", 1115},
        {"pmrangelow", "000000", 1159, "000000"},
        {"pmrangelow", "0001FF", 1159, "0001FF"},
        {"pmrangehigh", "008000", 1159, "000200", "008000"},
        {"pmrangehigh", "00FFFF", 1159, "000200", "00FFFF"},
        {"pmrangehigh", "007FFF", 0},
    };
    globals().UseProfileFile = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        // The first match wins: the case's line stands before the default's.
        writeProfile(QByteArray(kDefaultProfileText)
                         .replace("[PIC18F452]\r\n",
                                  QByteArray("[PIC18F452]\r\n") + c.key + "=" + c.value + "\r\n"));
        PicProfile profile;
        QString message;
        ASSERT_TRUE(LoadPicProfile(profile, message)) << message.toStdString();
        const bool accepted = CheckPicProfile(profile, message);
        EXPECT_EQ(accepted, c.text == 0) << message.toStdString();
        if (c.text == 1115) {
            EXPECT_EQ(message, GetText(1115).arg(QLatin1String(c.key), picProfilePath()));
        } else if (c.text == 1159) {
            EXPECT_EQ(message, GetText(1159).arg(picProfilePath(), QLatin1String(c.low),
                                                 QLatin1String(c.high), "000200", "007FFF"));
        }
    }
}

}  // namespace
