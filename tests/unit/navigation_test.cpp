#include "rules/navigation.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vorlia {
namespace {

using D = NavigationDecision;

const std::string gameHost = "play.vorlia.test";
const std::vector<std::string> allowedHosts{"play.vorlia.test", "vorlia.test", "www.vorlia.test"};

// How a request reaches the rules: a clicked link in a frame, a script or form
// in a frame, a clicked link with a blank target, a script opening a window.
enum class Via { click, script, clickNewWindow, scriptNewWindow };

NavigationRequest request(std::optional<std::string> url, Via via) {
    return NavigationRequest{std::move(url), via == Via::click || via == Via::clickNewWindow,
                             via == Via::click || via == Via::script};
}

struct Case {
    const char* name;
    std::optional<std::string> url;
    Via via;
    D expected;
};

std::ostream& operator<<(std::ostream& os, const Case& c) {
    return os << c.name;
}

class NavigationRules : public ::testing::TestWithParam<Case> {};

TEST_P(NavigationRules, DecideAsTheRulesSay) {
    const Case& c = GetParam();
    EXPECT_EQ(decideNavigation(request(c.url, c.via), allowedHosts, gameHost), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NavigationRules,
    ::testing::Values(
        // No URL: cancelled however it came.
        Case{"NoUrlClicked", std::nullopt, Via::click, D::cancel},
        Case{"NoUrlNewWindow", std::nullopt, Via::scriptNewWindow, D::cancel},
        Case{"EmptyUrl", std::string(), Via::clickNewWindow, D::cancel},

        // Inline schemes, exact and case-sensitive.
        Case{"AboutBlank", "about:blank", Via::script, D::allow},
        Case{"AboutBlankNewWindow", "about:blank", Via::scriptNewWindow, D::allow},
        Case{"Data", "data:text/html,<b>hi</b>", Via::click, D::allow},
        Case{"DataAnything", "data:,", Via::script, D::allow},
        Case{"Blob", "blob:https://elsewhere.test/6f1c", Via::script, D::allow},
        Case{"AboutCapitalsClicked", "ABOUT:blank", Via::click, D::cancelAndHandOver},
        Case{"AboutCapitalsFromScript", "ABOUT:blank", Via::script, D::cancel},
        Case{"DataCapitalsOnAllowedHost", "DATA://play.vorlia.test/x", Via::script, D::allow},

        // The three members.
        Case{"GameHost", "https://play.vorlia.test/act_web_tiyan/index.html?launcher=1", Via::click,
             D::allow},
        Case{"SiteHost", "https://vorlia.test/", Via::click, D::allow},
        Case{"WwwSiteHost", "https://www.vorlia.test/news", Via::script, D::allow},

        // Sub-domains of the game host, at any depth.
        Case{"WwwGameHost", "https://www.play.vorlia.test/", Via::click, D::allow},
        Case{"DeepGameSubdomain", "https://a.b.c.play.vorlia.test/x", Via::script, D::allow},
        Case{"GameSubdomainInFrame", "https://cdn.play.vorlia.test/frame.html", Via::script, D::allow},

        // Near misses are outside the set.
        Case{"OtherSiteSubdomainClicked", "https://shop.vorlia.test/", Via::click, D::cancelAndHandOver},
        Case{"OtherSiteSubdomainFromScript", "https://shop.vorlia.test/", Via::script, D::cancel},
        Case{"GameHostGluedToLabel", "https://evilplay.vorlia.test/", Via::click, D::cancelAndHandOver},
        Case{"GameHostAsPrefix", "https://play.vorlia.test.evil.test/", Via::click, D::cancelAndHandOver},
        Case{"UpperCaseHost", "https://PLAY.vorlia.test/", Via::click, D::cancelAndHandOver},
        Case{"UpperCaseHostFromScript", "https://Play.Vorlia.Test/", Via::script, D::cancel},
        Case{"TrailingDot", "https://play.vorlia.test./", Via::script, D::cancel},

        // Port, scheme and user information are not part of the host.
        Case{"PortAndPlainHttp", "http://play.vorlia.test:8080/x", Via::click, D::allow},
        Case{"AnySchemeOnAllowedHost", "ftp://vorlia.test/file", Via::script, D::allow},
        Case{"UserInfoBeforeAllowedHost", "https://user:pw@play.vorlia.test/", Via::script, D::allow},
        Case{"AllowedNameAsUserInfo", "https://play.vorlia.test@evil.test/", Via::script, D::cancel},
        Case{"TwoAtSigns", "https://a@play.vorlia.test@evil.test/", Via::click, D::cancelAndHandOver},
        Case{"PercentEncodedAllowedHost", "https://%70lay.vorlia.test/", Via::script, D::allow},
        // Doubtful authorities never count as allowed: engines read these as evil.test.
        Case{"BackslashBeforeAllowedHost", "https://evil.test\\@play.vorlia.test/", Via::script, D::cancel},
        Case{"EncodedSlashInHost", "https://evil.test%2F.play.vorlia.test/", Via::script, D::cancel},
        Case{"Ipv6Loopback", "http://[::1]:8080/", Via::click, D::cancelAndHandOver},
        Case{"HostlessHttp", "http:play.vorlia.test", Via::script, D::cancel},

        // Allowed host, new window: loaded in this view instead.
        Case{"BlankTargetToAllowedHost", "https://vorlia.test/about", Via::clickNewWindow,
             D::cancelAndLoadHere},
        Case{"WindowOpenToAllowedHost", "https://cdn.play.vorlia.test/", Via::scriptNewWindow,
             D::cancelAndLoadHere},

        // URLs without a host go to the last rule.
        Case{"MailtoClicked", "mailto:support@vorlia.test", Via::click, D::cancelAndHandOver},
        Case{"MailtoFromScript", "mailto:support@vorlia.test", Via::script, D::cancel},
        Case{"FileUrlClicked", "file:///etc/passwd", Via::click, D::cancelAndHandOver},

        // The last rule, row by row.
        Case{"ElsewhereLinkInFrame", "https://elsewhere.test/", Via::click, D::cancelAndHandOver},
        Case{"ElsewhereLinkNewWindow", "https://elsewhere.test/", Via::clickNewWindow, D::cancelAndHandOver},
        Case{"ElsewhereScriptNewWindow", "https://elsewhere.test/", Via::scriptNewWindow,
             D::cancelAndHandOver},
        Case{"ElsewhereScriptInFrame", "https://elsewhere.test/", Via::script, D::cancel}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(NavigationRules, EmptyGameHostAllowsNoSuffix) {
    const std::vector<std::string> members{"vorlia.test"};
    EXPECT_EQ(decideNavigation(request("https://evil.test./", Via::script), members, ""), D::cancel);
    EXPECT_EQ(decideNavigation(request("https://vorlia.test/", Via::script), members, ""), D::allow);
}

struct HostCase {
    std::string url;
    std::optional<std::string> host;
};

TEST(NavigationHost, IsTheBareHostName) {
    const std::vector<HostCase> cases{
        {"https://play.vorlia.test:8443/x?y#z", "play.vorlia.test"},
        {"http://u:p@Vorlia.test/", "Vorlia.test"},
        {"https://%70lay.vorlia.test/", "play.vorlia.test"},
        {"mailto:someone@vorlia.test", std::nullopt},
        {"file:///tmp/x", std::nullopt},
        {"about:blank", std::nullopt},
        {"https://evil.test\\@vorlia.test/", std::nullopt},
        {"http://[::1]/", std::nullopt},
        {"not a url", std::nullopt},
    };
    for (const HostCase& c : cases) {
        EXPECT_EQ(navigationHost(c.url), c.host) << c.url;
    }
}

} // namespace
} // namespace vorlia
