#include "app/builtin.hpp"

#include "app/build_constants.hpp"
#include "base/files.hpp"
#include "rules/token_tables.hpp"

#include <glib.h>

namespace vorlia {

Config configFor(std::string_view gameHost, std::string_view siteHost, std::string launcherVersion,
                 Folders folders) {
    const HostConstants hosts = makeHostConstants(gameHost, siteHost);
    Config c;
    c.gameHost = hosts.gameHost;
    c.siteHost = hosts.siteHost;
    c.gameStartURL = hosts.gameStartURL;
    c.allowedHosts = hosts.allowedHosts;
    c.launcherVersion = std::move(launcherVersion);
    c.updateBaseURL = hosts.updateBaseURL;
    c.manifestPublicKeys.assign(build::manifestPublicKeys.begin(), build::manifestPublicKeys.end());
    c.tokenKey = builtInTokenKeyTables();
    c.applicationId = build::applicationId;
    c.iconName = build::applicationId;
    c.folders = std::move(folders);
    return c;
}

Config builtInConfig() {
    const auto info = readFile(applicationFolder() / "Info.json");
    const std::filesystem::path data(g_get_user_data_dir());
    const std::filesystem::path cache(g_get_user_cache_dir());
    const std::filesystem::path state(g_get_user_state_dir());
    Config config =
        configFor(build::gameHost, build::siteHost,
                  launcherVersionFromInfo(info ? std::optional<std::string>(*info) : std::nullopt),
                  Folders{data / "vorlia", cache / "vorlia", state / "vorlia"});
    config.applicationFolder = applicationFolder();
    config.desktopDataHome = data;
    return config;
}

} // namespace vorlia
