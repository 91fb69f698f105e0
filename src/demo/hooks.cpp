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
    const char* log = g_getenv("VORLIA_TEST_LOG");
    if (log != nullptr && *log != '\0') {
        hooks.alertShown = [file = std::string(log)](const Alert& alert) {
            appendTo(file, {{"alert", alert.message}, {"detail", alert.detail}, {"buttons", alert.buttons}});
        };
        hooks.itemShown = [file = std::string(log)](const std::filesystem::path& item) {
            appendTo(file, {{"fileManager", item.string()}});
        };
    }
    return hooks;
}

} // namespace vorlia::demo
