#include "demo/route.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace vorlia::demo {
namespace {

void appendTo(const std::string& file, const nlohmann::json& line) {
    std::ofstream(file, std::ios::app) << line.dump() << '\n';
}

} // namespace

Config withDesktopMenuOnlyWhenAsked(Config config) {
    if (g_strcmp0(g_getenv("VORLIA_DESKTOP_MENU"), "1") != 0) {
        config.desktopDataHome.clear();
    }
    return config;
}

LaunchHooks standInHooks(const Config& config) {
    LaunchHooks hooks;
    if (config.route) {
        hooks.routeNetwork = [route = *config.route, hosts = config.allowedHosts](WebKitNetworkSession* s) {
            routeNetwork(s, route, hosts);
        };
        hooks.routeSession = [route = *config.route, hosts = config.allowedHosts](SoupSession* s) {
            routeSession(s, route, hosts);
        };
    }
    // A bus of the test's own on which it announces a resume as logind would.
    if (const char* bus = g_getenv("VORLIA_DEMO_SLEEP_BUS")) {
        hooks.sleepBusAddress = bus;
    }
    const char* log = g_getenv("VORLIA_TEST_LOG");
    if (log != nullptr && *log != '\0') {
        hooks.alertShown = [file = std::string(log)](const Alert& alert) {
            appendTo(file, {{"alert", alert.message}, {"detail", alert.detail}, {"buttons", alert.buttons}});
        };
        hooks.itemShown = [file = std::string(log)](const std::filesystem::path& item) {
            appendTo(file, {{"fileManager", item.string()}});
        };
        hooks.desktopMenuKept = [file = std::string(log)](DesktopMenuOutcome outcome) {
            appendTo(file, {{"desktopMenu", std::string(describe(outcome))}});
        };
    }
    return hooks;
}

} // namespace vorlia::demo
