#include "bridge/bridge_script.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vorlia {
namespace {

const std::string token = "481500.0123456789abcdef0123456789abcdef";

Config configWith(std::string version, std::string gameHost = "play.example.test") {
    Config config;
    config.launcherVersion = std::move(version);
    config.gameHost = std::move(gameHost);
    return config;
}

std::string sourceFile(const std::string& relative) {
    std::ifstream in(std::string(VORLIA_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(BridgeScript, ThreeHeadLinesWithTheValuesThenTheFixedScriptFile) {
    const std::string expected = "(function () {\n"
                                 "  if (window.__vrlLauncher) return;\n"
                                 "  window.__vrlLauncher = \"1.0\";\n"
                                 "  window.__vrlTok = \"" +
                                 token +
                                 "\";\n"
                                 "  var HOST = \"play.example.test" +
                                 sourceFile("src/bridge/bridge.js");
    EXPECT_EQ(bridgeScript(configWith("1.0"), token), expected);
}

TEST(BridgeScript, FixedPartClosesTheHostAndEndsByCallingTheFunction) {
    const std::string script = bridgeScript(configWith("1.0"), token);
    EXPECT_NE(script.find("  var HOST = \"play.example.test\";\n"), std::string::npos);
    EXPECT_TRUE(script.ends_with("})();\n"));
    EXPECT_EQ(script.find('\r'), std::string::npos);
}

// The version stands inside a double-quoted string: whatever it holds, it must
// come out as a literal of that same text, and ordinary versions verbatim.
TEST(BridgeScript, VersionIsAnEscapedStringLiteral) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1.0", "1.0"},
        {"", ""},
        {"10.2.3-beta.1+build.7", "10.2.3-beta.1+build.7"},
        {"1.0 (42)", "1.0 (42)"},
        {"ünï ✓", "ünï ✓"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"a\\", "a\\\\"},
        {"a\nb\rc", "a\\nb\\rc"},
        {"a\tb\x01\x1f", "a\\u0009b\\u0001\\u001f"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"a\u2028b\u2029c", "a\\u2028b\\u2029c"},
        // Broken UTF-8: a stray byte and a sequence cut short.
        {std::string("a\xff"
                     "b\xe2\x80"),
         "a\\ufffdb\\ufffd\\ufffd"},
        {"'single' `back` </script>", "'single' `back` </script>"},
    };
    for (const auto& [version, literal] : cases) {
        const std::string line = "\n  window.__vrlLauncher = \"" + literal + "\";\n  window.__vrlTok = \"";
        EXPECT_NE(bridgeScript(configWith(version), token).find(line), std::string::npos) << literal;
    }
}

TEST(RefreshSnippet, AssignsTheTokenInSingleQuotesWithoutSemicolon) {
    EXPECT_EQ(refreshSnippet(token), "window.__vrlTok='" + token + "'");
    EXPECT_EQ(refreshSnippet("-1.00ff"), "window.__vrlTok='-1.00ff'");
}

} // namespace
} // namespace vorlia
