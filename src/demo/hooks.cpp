#include "demo/route.hpp"

#include <glib.h>
#include <gtk/gtk.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace vorlia::demo {
namespace {

void appendTo(const std::string& file, const nlohmann::json& line) {
    std::ofstream(file, std::ios::app) << line.dump() << '\n';
}

const char* describe(RenderingRoad road) {
    switch (road) {
    case RenderingRoad::processor:
        return "processor";
    case RenderingRoad::gpu:
        return "gpu";
    case RenderingRoad::nvidia:
        return "nvidia";
    }
    return "";
}

const char* describe(WebKitHardwareAccelerationPolicy policy) {
    switch (policy) {
    case WEBKIT_HARDWARE_ACCELERATION_POLICY_ALWAYS:
        return "always";
    case WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER:
        return "never";
    }
    return "other";
}

} // namespace

Config withDesktopMenuOnlyWhenAsked(Config config) {
    if (g_strcmp0(g_getenv("VORLIA_DESKTOP_MENU"), "1") != 0) {
        config.desktopDataHome.clear();
    }
    return config;
}

Config withStartQuery(Config config) {
    if (const char* query = g_getenv("VORLIA_DEMO_START_QUERY"); query != nullptr && *query != '\0') {
        config.gameStartURL +=
            (config.gameStartURL.find('?') == std::string::npos ? "?" : "&") + std::string(query);
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
    // The probe's answer made to name another machine's OpenGL, so that
    // tests can take every road on this one.
    if (const char* renderer = g_getenv("VORLIA_DEMO_GL_RENDERER"); renderer != nullptr) {
        const char* vendor = g_getenv("VORLIA_DEMO_GL_VENDOR");
        hooks.glFound = GlFound{.context = *renderer != '\0',
                                .renderer = renderer,
                                .vendor = vendor != nullptr ? vendor : "",
                                .nvidiaDriver = g_strcmp0(g_getenv("VORLIA_DEMO_NVIDIA_DRIVER"), "1") == 0};
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
        hooks.renderingShown = [file = std::string(log)](const RenderingChoice& choice, WebKitWebView* web,
                                                         GtkWindow* window) {
            nlohmann::json settings = nlohmann::json::object();
            for (const auto& [name, value] : choice.settings) {
                settings[name] = value;
            }
            appendTo(
                file,
                {{"rendering",
                  {{"road", describe(choice.road)},
                   {"settings", settings},
                   {"hardwareAcceleration", describe(webkit_settings_get_hardware_acceleration_policy(
                                                webkit_web_view_get_settings(web)))},
                   {"toolkitRenderer", G_OBJECT_TYPE_NAME(gtk_native_get_renderer(GTK_NATIVE(window)))}}}});
        };
    }
    return hooks;
}

} // namespace vorlia::demo
