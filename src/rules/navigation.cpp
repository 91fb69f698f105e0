#include "rules/navigation.hpp"

#include "base/handle.hpp"

#include <glib.h>

#include <algorithm>
#include <array>

namespace vorlia {
namespace {

// As written: the rule is case-sensitive, so "ABOUT" is not "about" (GUri
// would lower-case the scheme for us).
std::optional<std::string> literalScheme(const std::string& url) {
    GText scheme(g_uri_parse_scheme(url.c_str()));
    if (!scheme) {
        return std::nullopt;
    }
    return std::string(scheme.get());
}

bool isHostNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

bool isInlineScheme(const std::string& scheme) {
    static constexpr std::array<std::string_view, 3> inlineSchemes{"about", "blob", "data"};
    return std::find(inlineSchemes.begin(), inlineSchemes.end(), scheme) != inlineSchemes.end();
}

bool isAllowedHost(const std::string& host, const std::vector<std::string>& allowedHosts,
                   std::string_view gameHost) {
    if (std::find(allowedHosts.begin(), allowedHosts.end(), host) != allowedHosts.end()) {
        return true;
    }
    // An empty game host would turn the suffix into "." and let in any name.
    if (gameHost.empty()) {
        return false;
    }
    const std::string suffix = "." + std::string(gameHost);
    return host.ends_with(suffix);
}

} // namespace

std::optional<std::string> navigationHost(const std::string& url) {
    char* userinfo = nullptr;
    char* host = nullptr;
    if (!g_uri_split(url.c_str(), G_URI_FLAGS_NONE, nullptr, &userinfo, &host, nullptr, nullptr, nullptr,
                     nullptr, nullptr)) {
        return std::nullopt;
    }
    const GText ownedUserinfo(userinfo);
    const GText ownedHost(host);
    if (host == nullptr || *host == '\0') {
        return std::nullopt;
    }
    // Web engines end the authority of http(s) URLs at a backslash; GUri does
    // not, and would take "evil.test\@play.host" to be on play.host.
    if (userinfo != nullptr && std::string_view(userinfo).find('\\') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view name(host);
    if (!std::all_of(name.begin(), name.end(), isHostNameCharacter)) {
        return std::nullopt;
    }
    return std::string(name);
}

NavigationDecision decideNavigation(const NavigationRequest& request,
                                    const std::vector<std::string>& allowedHosts, std::string_view gameHost) {
    if (!request.url || request.url->empty()) {
        return NavigationDecision::cancel;
    }
    const std::string& url = *request.url;

    if (const auto scheme = literalScheme(url); scheme && isInlineScheme(*scheme)) {
        return NavigationDecision::allow;
    }

    // The scheme plays no part here: an allowed host is allowed under any scheme.
    if (const auto host = navigationHost(url); host && isAllowedHost(*host, allowedHosts, gameHost)) {
        return request.hasTargetFrame ? NavigationDecision::allow : NavigationDecision::cancelAndLoadHere;
    }

    if (!request.linkActivated && request.hasTargetFrame) {
        return NavigationDecision::cancel;
    }
    return NavigationDecision::cancelAndHandOver;
}

} // namespace vorlia
