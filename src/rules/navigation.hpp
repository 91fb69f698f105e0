// Where the game window may go: the decision for one navigation request, from
// plain values only, so that every rule can be tested without the engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

enum class NavigationDecision {
    allow,
    cancel,
    // A request for a new window to an allowed host: cancel it and load its
    // request, unchanged, in the one web view instead.
    cancelAndLoadHere,
    // Cancel, and give the URL to the system's default application.
    cancelAndHandOver,
};

struct NavigationRequest {
    std::optional<std::string> url; // absent (or empty) when the request has none
    bool linkActivated = false;     // the user activated a link
    bool hasTargetFrame = true;     // false when the page asks for a new window
};

// The rules, tried in order, first match decides:
//   1. no URL: cancel;
//   2. scheme exactly "about", "blob" or "data": allow;
//   3. host in allowedHosts, or ending with "." + gameHost (both case-sensitive):
//      load here when there is no target frame, otherwise allow;
//   4. anything else: hand over when a link was activated or there is no
//      target frame, otherwise cancel silently.
NavigationDecision decideNavigation(const NavigationRequest& request,
                                    const std::vector<std::string>& allowedHosts, std::string_view gameHost);

// The host of a URL as the navigation rules see it: without port or user
// information, percent-decoded; absent when the URL has none or when its
// authority could be read differently by the web engine than here (a
// backslash before the host, characters a host name cannot hold), so that a
// doubtful URL never counts as an allowed one.
std::optional<std::string> navigationHost(const std::string& url);

} // namespace vorlia
