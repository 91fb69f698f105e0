#include "app/config.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vorlia {
namespace {

TEST(HostConstants, DerivedFromTheTwoHostNames) {
    const HostConstants c = makeHostConstants("play.example.test", "example.test");
    EXPECT_EQ(c.gameStartURL, "https://play.example.test/act_web_tiyan/index.html?launcher=1");
    EXPECT_EQ(c.allowedHosts,
              (std::vector<std::string>{"play.example.test", "example.test", "www.example.test"}));
    EXPECT_EQ(c.updateBaseURL, "https://example.test/download/");
}

TEST(HostConstants, GameHostHasNoWwwMember) {
    const HostConstants c = makeHostConstants("play.example.test", "example.test");
    EXPECT_EQ(c.allowedHosts.size(), 3U);
    for (const std::string& host : c.allowedHosts) {
        EXPECT_NE(host, "www.play.example.test");
    }
}

TEST(HostConstantsDeathTest, StartURLThatDoesNotParseStopsTheProcess) {
    EXPECT_DEATH(makeHostConstants("bad%zzhost", "example.test"), "");
}

struct VersionCase {
    const char* name;
    std::optional<std::string> info;
    std::string expected;
};

class LauncherVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(LauncherVersion, FollowsTheInfoFileRules) {
    EXPECT_EQ(launcherVersionFromInfo(GetParam().info), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LauncherVersion,
    ::testing::Values(VersionCase{"NoFile", std::nullopt, "1.0"}, VersionCase{"EmptyFile", "", "1.0"},
                      VersionCase{"BadJson", "{\"CFBundleShortVersionString\": \"2.0\"", "1.0"},
                      VersionCase{"NotAnObject", "[\"2.0\"]", "1.0"},
                      VersionCase{"NoKey", "{\"x\": \"2.0\"}", "1.0"},
                      VersionCase{"NumberValue", "{\"CFBundleShortVersionString\": 2.5}", "1.0"},
                      VersionCase{"NullValue", "{\"CFBundleShortVersionString\": null}", "1.0"},
                      VersionCase{"ArrayValue", "{\"CFBundleShortVersionString\": [\"2\"]}", "1.0"},
                      VersionCase{"String", "{\"CFBundleShortVersionString\": \"2.3.1\"}", "2.3.1"},
                      VersionCase{"EmptyStringKept", "{\"CFBundleShortVersionString\": \"\"}", ""},
                      VersionCase{"BlanksKept", "{\"CFBundleShortVersionString\": \" 2.0 \"}", " 2.0 "},
                      VersionCase{"OtherKeysIgnored", "{\"a\": 1, \"CFBundleShortVersionString\": \"3\"}",
                                  "3"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace vorlia
