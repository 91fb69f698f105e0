#include "app/builtin.hpp"

#include "app/build_constants.hpp"
#include "base/files.hpp"
#include "rules/token_tables.hpp"

#include <glib.h>

namespace vorlia {

Config builtInConfig() {
    const HostConstants hosts = makeHostConstants(build::gameHost, build::siteHost);
    Config c;
    c.gameHost = hosts.gameHost;
    c.siteHost = hosts.siteHost;
    c.gameStartURL = hosts.gameStartURL;
    c.allowedHosts = hosts.allowedHosts;
    const auto info = readFile(applicationFolder() / "Info.json");
    c.launcherVersion = launcherVersionFromInfo(info ? std::optional<std::string>(*info) : std::nullopt);
    c.updateBaseURL = hosts.updateBaseURL;
    c.manifestPublicKey = build::manifestPublicKey;
    c.tokenKey = builtInTokenKeyTables();
    c.applicationId = build::applicationId;
    c.folders.data = std::filesystem::path(g_get_user_data_dir()) / "vorlia";
    c.folders.cache = std::filesystem::path(g_get_user_cache_dir()) / "vorlia";
    c.folders.state = std::filesystem::path(g_get_user_state_dir()) / "vorlia";
    return c;
}

} // namespace vorlia
