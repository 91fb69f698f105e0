// Whatever URL a page asks for, the window only ever shows the allowed hosts
// (or the inline schemes), and every request gets exactly one decision.
#include "rules/navigation.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool hasScheme(const std::string& url, std::string_view scheme) {
    return url.size() > scheme.size() && url.compare(0, scheme.size(), scheme) == 0 &&
           url[scheme.size()] == ':';
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string gameHost = "play.vorlia.example";
    const std::vector<std::string> allowed = {gameHost, "vorlia.example", "www.vorlia.example"};
    const std::uint8_t flags = data[0];
    const std::string url(reinterpret_cast<const char*>(data + 1), size - 1);

    vorlia::NavigationRequest request;
    request.url = url;
    request.linkActivated = (flags & 1) != 0;
    request.hasTargetFrame = (flags & 2) != 0;
    const auto decision = vorlia::decideNavigation(request, allowed, gameHost);

    const bool shown = decision == vorlia::NavigationDecision::allow ||
                       decision == vorlia::NavigationDecision::cancelAndLoadHere;
    const bool inline_ = hasScheme(url, "about") || hasScheme(url, "blob") || hasScheme(url, "data");
    if (shown && !inline_) {
        const auto host = vorlia::navigationHost(url);
        if (!host) {
            std::abort();
        }
        bool ok = endsWith(*host, "." + gameHost);
        for (const auto& a : allowed) {
            ok = ok || *host == a;
        }
        if (!ok) {
            std::abort();
        }
    }
    // A new-window request to a web host never stays a new window.
    if (!inline_ && !request.hasTargetFrame && decision == vorlia::NavigationDecision::allow) {
        std::abort();
    }
    // Without a link or a new window, nothing is ever handed to the system.
    if (request.hasTargetFrame && !request.linkActivated &&
        decision == vorlia::NavigationDecision::cancelAndHandOver) {
        std::abort();
    }
    return 0;
}
