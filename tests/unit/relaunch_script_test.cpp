#include "rules/relaunch_script.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorlia {
namespace {

// Seven lines, no final line feed: the exact text the shell runs.
TEST(RelaunchScript, WorkedExample) {
    const std::string expected =
        "#!/bin/sh\n"
        "while kill -0 812 2>/dev/null; do sleep 0.05; done\n"
        "rm -rf '/opt/Games/Vorlia.app'.old '/opt/Games/Vorlia.app'.new\n"
        "mv -T 'WORK/Vorlia.app' '/opt/Games/Vorlia.app'.new && "
        "mv -T '/opt/Games/Vorlia.app' '/opt/Games/Vorlia.app'.old && "
        "{ mv -T '/opt/Games/Vorlia.app'.new '/opt/Games/Vorlia.app' || "
        "mv -T '/opt/Games/Vorlia.app'.old '/opt/Games/Vorlia.app'; }\n"
        "chmod +x '/opt/Games/Vorlia.app'/vorlia 2>/dev/null\n"
        "[ -x '/opt/Games/Vorlia.app'/vorlia ] && [ -f '/opt/Games/Vorlia.app'/Info.json ] "
        "&& rm -rf '/opt/Games/Vorlia.app'.old; rm -rf '/opt/Games/Vorlia.app'.new\n"
        "exec '/opt/Games/Vorlia.app'/vorlia";
    EXPECT_EQ(relaunchScript(812, "/opt/Games/Vorlia.app", "WORK/Vorlia.app"), expected);
}

TEST(RelaunchScript, ProcessIdentifierInDecimal) {
    EXPECT_NE(relaunchScript(2147483647, "/a", "/b").find("kill -0 2147483647 2>"), std::string::npos);
}

struct QuoteCase {
    const char* name;
    std::string path;
    std::string quoted;
};

class ShellQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(ShellQuote, EveryByteStandsForItself) {
    EXPECT_EQ(shellQuote(GetParam().path), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShellQuote,
    ::testing::Values(
        QuoteCase{"Plain", "/opt/Vorlia.app", "'/opt/Vorlia.app'"}, QuoteCase{"Empty", "", "''"},
        QuoteCase{"SingleQuote", "Games' Corner", "'Games'\\'' Corner'"},
        QuoteCase{"TwoQuotesInARow", "a''b", "'a'\\'''\\''b'"},
        QuoteCase{"QuoteAtBothEnds", "'x'", "''\\''x'\\'''"}, QuoteCase{"Space", "My Games", "'My Games'"},
        QuoteCase{"Dollar", "$HOME/$(id)", "'$HOME/$(id)'"},
        QuoteCase{"DoubleQuote", "say \"hi\"", "'say \"hi\"'"}, QuoteCase{"Backslash", "a\\b\\", "'a\\b\\'"},
        QuoteCase{"Backtick", "`reboot`", "'`reboot`'"}, QuoteCase{"LineFeed", "a\nb", "'a\nb'"},
        QuoteCase{"Utf8", "Spiele/\xc3\xa9t\xc3\xa9", "'Spiele/\xc3\xa9t\xc3\xa9'"}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace vorlia
