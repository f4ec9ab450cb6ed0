#include <gtest/gtest.h>

#include "startup/command_line.h"

namespace dwnfrw {
namespace {

struct CommandLineCase {
    const char* name;
    const char* line;
    GlobalSettings expected;
};

GlobalSettings settings(bool log, bool noCheck, bool noCheckPlus, bool profile, int32_t port,
                        const char* language, int32_t brand) {
    GlobalSettings s;
    s.LogEnabled = log;
    s.NoCheck = noCheck;
    s.NoCheckPlus = noCheckPlus;
    s.UseProfileFile = profile;
    s.ComPort = port;
    s.LanguageCode = QString::fromLatin1(language);
    s.Brand = brand;
    return s;
}

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, ReadsSettings) {
    const CommandLineCase& c = GetParam();
    GlobalSettings actual;
    parseCommandLine(QString::fromUtf8(c.line), actual);
    EXPECT_EQ(actual.LogEnabled, c.expected.LogEnabled);
    EXPECT_EQ(actual.NoCheck, c.expected.NoCheck);
    EXPECT_EQ(actual.NoCheckPlus, c.expected.NoCheckPlus);
    EXPECT_EQ(actual.UseProfileFile, c.expected.UseProfileFile);
    EXPECT_EQ(actual.ComPort, c.expected.ComPort);
    EXPECT_EQ(actual.LanguageCode, c.expected.LanguageCode);
    EXPECT_EQ(actual.Brand, c.expected.Brand);
}

const CommandLineCase kCases[] = {
    {"lower_case_accepted", "/com=3 /l=ita", settings(false, false, false, false, 3, "ITA", 0)},
    {"all_flags", "/LOG /NOCHECK /NOCHECKPLUS /D /COM=7 /L=ENG",
     settings(true, true, true, true, 7, "ENG", 0)},
    {"port_written_as_com_reads_zero", "/COM=COM3 /L=ITA",
     settings(false, false, false, false, 0, "ITA", 0)},
    {"half_rounds_to_even_up", "/COM=3.5 /L=ITA",
     settings(false, false, false, false, 4, "ITA", 0)},
    {"half_rounds_to_even_down", "/COM=2.5 /L=ITA",
     settings(false, false, false, false, 2, "ITA", 0)},
    {"hexadecimal_port", "/COM=&H10 /L=ITA", settings(false, false, false, false, 16, "ITA", 0)},
    {"hexadecimal_lower_case", "/com=&hff /l=x", settings(false, false, false, false, 255, "X", 0)},
    {"trailing_text_after_number", "/COM=12abc /L=ITA",
     settings(false, false, false, false, 12, "ITA", 0)},
    {"exponent", "/COM=1E1 /L=ITA", settings(false, false, false, false, 10, "ITA", 0)},
    {"exponent_without_digits_stops", "/COM=3E /L=ITA",
     settings(false, false, false, false, 3, "ITA", 0)},
    {"negative_port", "/COM=-2 /L=ITA", settings(false, false, false, false, -2, "ITA", 0)},
    {"overflow_keeps_earlier_port", "/COM=5 /COM=99999999999 /L=ITA",
     settings(false, false, false, false, 5, "ITA", 0)},
    {"later_port_overwrites", "/COM=5 /COM=6 /L=ITA",
     settings(false, false, false, false, 6, "ITA", 0)},
    {"prefix_repeated_inside_token", "/COM=/COM=9 /L=/L=ENG",
     settings(false, false, false, false, 9, "ENG", 0)},
    {"log_with_value_ignored", "/LOG=1 /COM=3 /L=ITA",
     settings(false, false, false, false, 3, "ITA", 0)},
    {"brand_prefix_selects_second", "/BRAND=KESTOVAX /COM=3 /L=ITA",
     settings(false, false, false, false, 3, "ITA", 1)},
    {"other_brand_keeps_first", "/BRAND=OTHER /COM=3 /L=ITA",
     settings(false, false, false, false, 3, "ITA", 0)},
    {"brand_not_cleared_by_later_other", "/BRAND=kestova /BRAND=OTHER /COM=3 /L=ITA",
     settings(false, false, false, false, 3, "ITA", 1)},
    {"two_spaces_between_options", "/COM=3  /L=ENG",
     settings(false, false, false, false, 3, "ENG", 0)},
    {"empty_language", "/COM=3 /L=", settings(false, false, false, false, 3, "", 0)},
    {"no_options", "hello world", settings(false, false, false, false, 0, "", 0)},
    {"nothing_readable", "/COM=abc /L=ITA", settings(false, false, false, false, 0, "ITA", 0)},
    {"language_keeps_odd_characters", "/L=../x /COM=1",
     settings(false, false, false, false, 1, "../X", 0)},
};

INSTANTIATE_TEST_SUITE_P(Grammar, CommandLineTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LeadingNumberTest, ReadsLikeALeadingNumberParser) {
    struct {
        const char* text;
        double value;
    } cases[] = {{"", 0},       {"42", 42}, {"+7", 7},  {"-1.5", -1.5}, {".5", 0.5},  {"1.", 1},
                 {"&H1F", 31},  {"&H", 0},  {"&HG", 0}, {"2E2", 200},   {"2D2", 200}, {"2E+1x", 20},
                 {"2E-1", 0.2}, {"x12", 0}, {"  8", 8}, {"1.2.3", 1.2}};
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(leadingNumber(QString::fromLatin1(c.text)), c.value) << c.text;
    }
}

TEST(RoundToInt32Test, HalvesToEvenAndRefusesOverflow) {
    EXPECT_EQ(roundToInt32(0.5), 0);
    EXPECT_EQ(roundToInt32(1.5), 2);
    EXPECT_EQ(roundToInt32(-2.5), -2);
    EXPECT_EQ(roundToInt32(2147483647.0), 2147483647);
    EXPECT_EQ(roundToInt32(2147483647.5), std::nullopt);
    EXPECT_EQ(roundToInt32(-2147483648.0), -2147483647 - 1);
    EXPECT_EQ(roundToInt32(-2147483649.0), std::nullopt);
}

}  // namespace
}  // namespace dwnfrw
