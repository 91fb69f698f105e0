#include "rules/constants.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>

#include <cstdlib>

namespace vorlia {

HostConstants makeHostConstants(std::string_view gameHost, std::string_view siteHost) {
    HostConstants c;
    c.gameHost = gameHost;
    c.siteHost = siteHost;
    c.gameStartURL = "https://" + c.gameHost + "/act_web_tiyan/index.html?launcher=1";
    // A built-in host name always parses; anything else is a build mistake.
    if (!g_uri_is_valid(c.gameStartURL.c_str(), G_URI_FLAGS_NONE, nullptr)) {
        std::abort();
    }
    c.allowedHosts = {c.gameHost, c.siteHost, "www." + c.siteHost};
    c.updateBaseURL = "https://" + c.siteHost + "/download/";
    return c;
}

std::string launcherVersionFromInfo(const std::optional<std::string>& infoJson) {
    static constexpr const char* fallback = "1.0";
    if (!infoJson) {
        return fallback;
    }
    const auto info = nlohmann::json::parse(*infoJson, nullptr, /*allow_exceptions=*/false);
    if (!info.is_object()) {
        return fallback;
    }
    // The key's name stays as it is: published archives carry it, and the
    // launchers already out there read it from them.
    const auto it = info.find("CFBundleShortVersionString");
    if (it == info.end() || !it->is_string()) {
        return fallback;
    }
    return it->get<std::string>();
}

} // namespace vorlia
