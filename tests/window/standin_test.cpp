// The stand-in hosts as the launcher meets them: its game window, routed to
// them, loads the start page over https on the game host's own name, and the
// page's gated asset and socket checks reach the host with accepted tokens.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "support/standin.hpp"
#include "window/game_window.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <optional>

namespace vorlia::test {
namespace {

// The page's own report of its three checks, as the stand-in logged it.
std::optional<nlohmann::json> pageReport(const test::StandIn& hosts) {
    for (const auto& line : hosts.requests()) {
        if (line.value("path", "") == "/act_web_tiyan/report" && line.contains("body")) {
            return nlohmann::json::parse(line["body"].get<std::string>(), nullptr, false);
        }
    }
    return std::nullopt;
}

// The page's report of its load event, as the stand-in logged and stamped it.
std::optional<nlohmann::json> loadReport(const test::StandIn& hosts) {
    for (const auto& line : hosts.requests()) {
        if (line.value("path", "") == "/act_web_tiyan/loaded" && line.value("method", "") == "POST") {
            return line;
        }
    }
    return std::nullopt;
}

double wallClockNow() {
    return static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC;
}

void expectAllChecksPassed(const nlohmann::json& report, const std::string& gameHost) {
    EXPECT_EQ(report.value("host", ""), gameHost) << report;
    for (const char* check : {"fetch", "xhr", "websocket"}) {
        EXPECT_EQ(report["checks"][check].value("passed", false), true) << check << ": " << report;
    }
    EXPECT_EQ(report["checks"]["fetch"].value("path", ""), "/g/act_web_tiyan/game/vorlia.swf");
    EXPECT_EQ(report["checks"]["xhr"].value("path", ""), "/g/act_web_tiyan/game/map.dat");
    EXPECT_EQ(report["checks"]["websocket"].value("path", ""), "/g/ws/game");
}

class StandInWindowTest : public WindowTest {};

TEST_F(StandInWindowTest, GameWindowPlaysTheStandInStartPage) {
    test::StandIn hosts;
    const Config config = hosts.config();
    RecordingOpener opener;
    const double opened = wallClockNow();
    auto game =
        std::make_unique<GameWindow>(app, gameWindowSettings(config, demo::standInHooks(config)), opener);
    game->window().present();

    ASSERT_TRUE(runUntil([&] { return pageReport(hosts).has_value(); }, 60s));
    // The load event reaches the host, stamped by the page on the same wall
    // clock as the window's opening: after it, and before the host received
    // the report.
    ASSERT_TRUE(runUntil([&] { return loadReport(hosts).has_value(); }, 60s));
    const nlohmann::json loaded = *loadReport(hosts);
    EXPECT_EQ(loaded.value("status", 0), 204) << loaded;
    const auto body = nlohmann::json::parse(loaded.value("body", "{}"), nullptr, false);
    ASSERT_TRUE(body.is_object()) << loaded;
    EXPECT_EQ(body.value("host", ""), config.gameHost) << loaded;
    const double loadEventAt = body.value("loadEventAt", 0.0) / 1000.0;
    EXPECT_GE(loadEventAt, opened) << loaded;
    EXPECT_LE(loadEventAt, loaded.value("time", 0.0)) << loaded;
    const auto location = evaluate(game->web(), "location.href");
    EXPECT_EQ(location, nlohmann::json(config.gameStartURL).dump());
    EXPECT_EQ(evaluate(game->web(), "document.getElementById('host').textContent"),
              nlohmann::json("Connected to " + config.gameHost).dump());
    expectAllChecksPassed(*pageReport(hosts), config.gameHost);

    // What reached the host: the page without a token, the gated traffic with an accepted one.
    for (const auto& line : hosts.requests()) {
        const std::string path = line.value("path", "");
        if (line.value("listener", "") != "https") {
            continue;
        }
        EXPECT_EQ(line.value("host", ""), config.gameHost) << line;
        if (path.rfind("/g/", 0) == 0) {
            EXPECT_EQ(line.value("token", ""), "accepted") << line;
        } else {
            EXPECT_FALSE(line.contains("token")) << line;
        }
    }
    saveScreenshot("standin-start-page");
    game.reset();
}

// The demo executable as the run command starts it: the stand-in route from
// its environment, everything else its own.
TEST(StandInDemo, DemoLauncherPlaysTheStandInStartPage) {
    test::StandIn hosts;
    TempFolder home;
    gchar** env = g_get_environ();
    const std::pair<const char*, std::string> settings[] = {
        {"VORLIA_STANDIN_PROXY", hosts.proxyURL()},
        {"VORLIA_STANDIN_CERT", hosts.certificateFile().string()},
        {"XDG_DATA_HOME", (home.path() / "data").string()},
        {"XDG_CACHE_HOME", (home.path() / "cache").string()},
        {"XDG_STATE_HOME", (home.path() / "state").string()},
        {"XDG_CONFIG_HOME", (home.path() / "config").string()},
    };
    for (const auto& [name, value] : settings) {
        env = g_environ_setenv(env, name, value.c_str(), TRUE);
    }
    const std::string program = std::string(VORLIA_BINARY_DIR) + "/demo/Vorlia.app/vorlia";
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    GPid pid = 0;
    GError* error = nullptr;
    const bool started =
        g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &error);
    g_strfreev(env);
    ASSERT_TRUE(started) << (error != nullptr ? error->message : "");

    const bool reported = runUntil([&] { return pageReport(hosts).has_value(); }, 90s);
    if (reported) {
        saveScreenshot("demo-standin-start-page");
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    g_spawn_close_pid(pid);
    ASSERT_TRUE(reported);
    expectAllChecksPassed(*pageReport(hosts), hosts.gameHost());
}

} // namespace
} // namespace vorlia::test
