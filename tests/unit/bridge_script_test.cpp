#include "base/files.hpp"
#include "rules/bridge_script.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vorlia {
namespace {

const std::string token = "481500.0123456789abcdef0123456789abcdef";

std::string script(std::string_view version) {
    return bridgeScript(version, "play.example.test", token);
}

std::string sourceFile(const std::string& relative) {
    return readFile(std::string(VORLIA_SOURCE_DIR) + "/" + relative).value_or("");
}

// The script file is the whole page script with empty values, so that it can
// be read, linted and run on its own; the launcher fills in the three values.
TEST(BridgeScript, TheFileIsTheScriptWithEmptyValues) {
    const std::string file = sourceFile("src/rules/bridge.js");
    EXPECT_EQ(bridgeScript("", "", ""), file);

    std::string filled = file;
    const auto fill = [&filled](const std::string& empty, const std::string& value) {
        const std::size_t at = filled.find(empty);
        ASSERT_NE(at, std::string::npos) << empty;
        filled.replace(at, empty.size(), value);
    };
    fill("window.__vrlLauncher = \"\"", "window.__vrlLauncher = \"1.0\"");
    fill("window.__vrlTok = \"\"", "window.__vrlTok = \"" + token + "\"");
    fill("var HOST = \"\"", "var HOST = \"play.example.test\"");
    EXPECT_EQ(script("1.0"), filled);
}

TEST(BridgeScript, FixedPartClosesTheHostAndEndsByCallingTheFunction) {
    const std::string text = script("1.0");
    EXPECT_NE(text.find("  var HOST = \"play.example.test\";\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("})();\n"));
    EXPECT_EQ(text.find('\r'), std::string::npos);
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
        {"a\tb\x01\x1f", "a\\tb\\u0001\\u001f"},
        {std::string("a\0b", 3), "a\\u0000b"},
        {"a\u2028b\u2029c", "a\u2028b\u2029c"},
        // Broken UTF-8: a stray byte and a sequence cut short, each read as
        // one replacement character.
        {std::string("a\xff"
                     "b\xe2\x80"),
         "a\ufffdb\ufffd"},
        {"'single' `back` </script>", "'single' `back` </script>"},
    };
    for (const auto& [version, literal] : cases) {
        const std::string line = "\n  window.__vrlLauncher = \"" + literal + "\";\n  window.__vrlTok = \"";
        EXPECT_NE(script(version).find(line), std::string::npos) << literal;
    }
}

TEST(RefreshSnippet, AssignsTheTokenInSingleQuotesWithoutSemicolon) {
    EXPECT_EQ(refreshSnippet(token), "window.__vrlTok='" + token + "'");
    EXPECT_EQ(refreshSnippet("-1.00ff"), "window.__vrlTok='-1.00ff'");
}

} // namespace
} // namespace vorlia
