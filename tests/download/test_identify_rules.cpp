#include <gtest/gtest.h>

#include "download/identify.h"
#include "startup/globals.h"
#include "startup/localtext.h"

namespace dwnfrw {
namespace {

struct RuleCase {
    const char* name;
    DeviceReport device;
    int32_t major, minor, build;  // the package
    int32_t brand;
    bool noCheck, noCheckPlus;
    IdentifyOutcome outcome;
    int32_t messageText;       // 0: message untouched
    const char* askedDevice;   // "%1" for AskUser
    const char* askedPackage;  // "%2"
};

class IdentifyRulesTest : public ::testing::TestWithParam<RuleCase> {
  protected:
    static void SetUpTestSuite() {
        setProgramFolder(QStringLiteral(PROGRAM_DIR));
        QString code = QStringLiteral("ITA");
        QString message;
        ASSERT_TRUE(LoadLanguage(QStringLiteral("Nx016_0200"), code, message));
    }
    static void TearDownTestSuite() { UnloadLanguage(); }
};

TEST_P(IdentifyRulesTest, Judges) {
    const RuleCase& c = GetParam();
    PackageSession package;
    package.FwVersionMajor = c.major;
    package.FwVersionMinor = c.minor;
    package.FwVersionBuild = c.build;
    GlobalSettings settings;
    settings.Brand = c.brand;
    settings.NoCheck = c.noCheck;
    settings.NoCheckPlus = c.noCheckPlus;
    QString message = QStringLiteral("untouched");

    EXPECT_EQ(judgeDevice(c.device, package, settings, message), c.outcome);
    if (c.messageText == 0) {
        EXPECT_EQ(message, QStringLiteral("untouched"));
    } else if (c.messageText == 1098) {
        QString expected = GetText(1098);
        expected.replace(QLatin1String("%1"), QString::fromLatin1(c.askedDevice));
        expected.replace(QLatin1String("%2"), QString::fromLatin1(c.askedPackage));
        EXPECT_EQ(message, expected);
        EXPECT_FALSE(message.contains(QLatin1String("%1")));
    } else {
        EXPECT_EQ(message, GetText(c.messageText));
    }
}

const RuleCase kRules[] = {
    {"same_version_same_build", {4, 12, 7, 0}, 4, 2, 12, 0, false, false, Proceed, 0, "", ""},
    {"device_build_newer",
     {4, 13, 7, 0},
     4,
     2,
     12,
     0,
     false,
     false,
     AskUser,
     1098,
     "4.0.13",
     "4.2.12"},
    {"device_major_newer",
     {5, 0, 7, 0},
     4,
     9,
     99,
     0,
     false,
     false,
     AskUser,
     1098,
     "5.0.0",
     "4.9.99"},
    {"device_major_older", {3, 99, 7, 0}, 4, 0, 0, 0, false, false, Proceed, 0, "", ""},
    {"minor_takes_no_part", {4, 12, 7, 0}, 4, 0, 12, 0, false, false, Proceed, 0, "", ""},
    {"first_brand_refuses_code_20", {3, 0, 20, 0}, 4, 0, 0, 0, false, false, Refused, 1108, "", ""},
    {"second_brand_refuses_other_code",
     {3, 0, 7, 0},
     4,
     0,
     0,
     1,
     false,
     false,
     Refused,
     1108,
     "",
     ""},
    {"second_brand_accepts_20", {3, 0, 20, 0}, 4, 0, 0, 1, false, false, Proceed, 0, "", ""},
    {"brand_value_other_than_1_is_first",
     {3, 0, 20, 0},
     4,
     0,
     0,
     2,
     false,
     false,
     Refused,
     1108,
     "",
     ""},
    {"brand_judged_before_version", {9, 0, 20, 0}, 4, 0, 0, 0, false, false, Refused, 1108, "", ""},
    {"nocheck_skips_brand_and_version", {9, 0, 20, 0}, 4, 0, 0, 0, true, false, Proceed, 0, "", ""},
    {"nocheckplus_skips_brand_and_version",
     {9, 0, 7, 0},
     4,
     0,
     0,
     1,
     false,
     true,
     Proceed,
     0,
     "",
     ""},
    {"link_error_even_with_nocheck",
     {0, 0, 0, 5},
     4,
     0,
     0,
     0,
     true,
     false,
     NoVersion,
     1094,
     "",
     ""},
    {"link_error_before_brand", {0, 0, 20, 5}, 4, 0, 0, 0, false, true, NoVersion, 1094, "", ""},
    {"negative_versions_compare_signed",
     {-1, 0, 7, 0},
     4,
     0,
     0,
     0,
     false,
     false,
     Proceed,
     0,
     "",
     ""},
};

INSTANTIATE_TEST_SUITE_P(Rules, IdentifyRulesTest, ::testing::ValuesIn(kRules),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dwnfrw
