// The stand-in hosts as the launcher meets them: its game window, routed to
// them, loads the start page over https on the game host's own name, and the
// page's gated asset and socket checks reach the host with accepted tokens.
#include "app/launcher_app.hpp"
#include "base/handle.hpp"
#include "demo/route.hpp"
#include "rules/rendering.hpp"
#include "support/standin.hpp"
#include "window/game_engine.hpp"
#include "window/game_window.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
    auto engine =
        std::make_unique<GameEngine>(gameEngineSettings(config, demo::standInHooks(config)), opener);
    auto game = std::make_unique<GameWindow>(app, gameWindowSettings(config), *engine);
    engine->start();
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
    const auto location = evaluate(engine->web(), "location.href");
    EXPECT_EQ(location, nlohmann::json(config.gameStartURL).dump());
    EXPECT_EQ(evaluate(engine->web(), "document.getElementById('host').textContent"),
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
    engine.reset();
}

// The demo executable as the run command starts it, with the stand-in route
// and a private home in its environment, and `extra` settings besides.
class DemoLauncher {
  public:
    DemoLauncher(const test::StandIn& hosts,
                 const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        gchar** env = g_get_environ();
        std::vector<std::pair<std::string, std::string>> settings = {
            {"VORLIA_STANDIN_PROXY", hosts.proxyURL()},
            {"VORLIA_STANDIN_CERT", hosts.certificateFile().string()},
            {"XDG_DATA_HOME", (home_.path() / "data").string()},
            {"XDG_CACHE_HOME", (home_.path() / "cache").string()},
            {"XDG_STATE_HOME", (home_.path() / "state").string()},
            {"XDG_CONFIG_HOME", (home_.path() / "config").string()},
        };
        // The rendering settings this test process made for itself stay
        // here: the launcher decides as on a player's machine.
        for (const std::string& name : playerRenderingSettings()) {
            env = g_environ_unsetenv(env, name.c_str());
        }
        settings.insert(settings.end(), extra.begin(), extra.end());
        for (const auto& [name, value] : settings) {
            env = g_environ_setenv(env, name.c_str(), value.c_str(), TRUE);
        }
        const std::string program = std::string(VORLIA_BINARY_DIR) + "/demo/Vorlia.app/vorlia";
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        GError* error = nullptr;
        started_ =
            g_spawn_async(nullptr, argv, env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid_, &error);
        g_strfreev(env);
        const Handle<GError> owned(error);
        EXPECT_TRUE(started_) << (error != nullptr ? error->message : "");
    }
    ~DemoLauncher() {
        if (started_) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            g_spawn_close_pid(pid_);
        }
    }
    DemoLauncher(const DemoLauncher&) = delete;
    DemoLauncher& operator=(const DemoLauncher&) = delete;

    bool started() const { return started_; }
    const TempFolder& home() const { return home_; }

  private:
    TempFolder home_;
    GPid pid_ = 0;
    bool started_ = false;
};

TEST(StandInDemo, DemoLauncherPlaysTheStandInStartPage) {
    test::StandIn hosts;
    DemoLauncher launcher(hosts);
    ASSERT_TRUE(launcher.started());
    const bool reported = runUntil([&] { return pageReport(hosts).has_value(); }, 90s);
    if (reported) {
        saveScreenshot("demo-standin-start-page");
    }
    ASSERT_TRUE(reported);
    expectAllChecksPassed(*pageReport(hosts), hosts.gameHost());
}

// The "rendering" line the demo launcher logged once its window showed.
std::optional<nlohmann::json> renderingLogged(const std::filesystem::path& log) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_object() && entry.contains("rendering")) {
            return entry["rendering"];
        }
    }
    return std::nullopt;
}

// The share of a picture's pixels in the stand-in game's blues (its sky and
// sea): 0 for a blank page in the window's black, and for any desktop.
double gameBlueShare(const std::filesystem::path& png) {
    GError* raw = nullptr;
    const Handle<GdkTexture> texture(gdk_texture_new_from_filename(png.c_str(), &raw));
    const Handle<GError> error(raw);
    if (!texture) {
        ADD_FAILURE() << png << ": " << (error ? error->message : "");
        return 0;
    }
    const int width = gdk_texture_get_width(texture.get());
    const int height = gdk_texture_get_height(texture.get());
    std::vector<guchar> bytes(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    gdk_texture_download(texture.get(), bytes.data(), static_cast<gsize>(width) * 4);
    std::size_t blue = 0;
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        // cairo's ARGB32 in memory: blue, green, red, alpha.
        blue += bytes[i] > bytes[i + 2] + 24 ? 1 : 0;
    }
    return bytes.empty() ? 0 : static_cast<double>(blue) / static_cast<double>(bytes.size() / 4);
}

// Each road of the rendering decision in the real engine: this machine's
// software OpenGL gives the processor path; the probe's answer made to name
// a GPU, or NVIDIA's proprietary driver, gives the engine's acceleration
// (with the launcher's shared-memory setting for NVIDIA); a player's own
// setting wins. In each the page plays, and the processor's roads are on
// screen. This machine has no GPU: the engine's accelerated frames, composited
// in llvmpipe, reach its screen black on X11 and Wayland under either of GTK's
// renderers (see docs/performance.md), so those roads save their screenshots
// without the check; the simulated GPUs run with the player's cairo
// renderer, as this machine draws best.
TEST(StandInDemo, EachRenderingRoadDrawsThePage) {
    using Settings = std::vector<std::pair<std::string, std::string>>;
    const Settings gpu = {{"VORLIA_DEMO_GL_RENDERER", "AMD Radeon RX 6600 (navi23, LLVM 15.0.6, DRM 3.49)"},
                          {"VORLIA_DEMO_GL_VENDOR", "AMD"},
                          {"GSK_RENDERER", "cairo"}};
    const Settings nvidia = {{"VORLIA_DEMO_GL_RENDERER", "NVIDIA GeForce RTX 3060/PCIe/SSE2"},
                             {"VORLIA_DEMO_GL_VENDOR", "NVIDIA Corporation"},
                             {"VORLIA_DEMO_NVIDIA_DRIVER", "1"},
                             {"GSK_RENDERER", "cairo"}};
    const nlohmann::json none = nlohmann::json::object();
    const nlohmann::json cairo = {{"GSK_RENDERER", "cairo"}};
    const struct Road {
        const char* name;
        Settings environment;
        std::string road;
        std::string acceleration;
        bool toolkitCairo;
        nlohmann::json settings;
        bool onScreenHere;
    } roads[] = {
        {"software", {}, "processor", "never", true, cairo, true},
        {"gpu", gpu, "gpu", "always", true, none, false},
        {"nvidia", nvidia, "nvidia", "always", true, {{"WEBKIT_DMABUF_RENDERER_FORCE_SHM", "1"}}, false},
        {"software, the player's engine acceleration",
         {{"WEBKIT_DISABLE_DMABUF_RENDERER", "0"}},
         "processor",
         "always",
         true,
         cairo,
         false},
        {"software, the player's GL renderer",
         {{"GSK_RENDERER", "gl"}},
         "processor",
         "never",
         false,
         none,
         true},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        test::StandIn hosts;
        TempFolder logFolder;
        const auto log = logFolder.path() / "test.log";
        Settings settings = road.environment;
        settings.emplace_back("VORLIA_TEST_LOG", log.string());
        DemoLauncher launcher(hosts, settings);
        ASSERT_TRUE(launcher.started());
        ASSERT_TRUE(runUntil([&] { return pageReport(hosts).has_value(); }, 90s));
        const auto rendering = renderingLogged(log);
        ASSERT_TRUE(rendering.has_value());
        EXPECT_EQ((*rendering)["road"], road.road) << *rendering;
        EXPECT_EQ((*rendering)["hardwareAcceleration"], road.acceleration) << *rendering;
        EXPECT_EQ((*rendering)["settings"], road.settings) << *rendering;
        EXPECT_EQ((*rendering)["toolkitRenderer"] == "GskCairoRenderer", road.toolkitCairo) << *rendering;
        expectAllChecksPassed(*pageReport(hosts), hosts.gameHost());
        const std::string shot = std::string("rendering-") + road.road + "-" + std::to_string(&road - roads);
        if (!road.onScreenHere) {
            saveScreenshot(shot);
            continue;
        }
        // The first frame may follow the report by a moment; a blank screen
        // stays blank.
        double share = 0;
        runUntil([&] { return (share = gameBlueShare(saveScreenshot(shot))) > 0.1; }, 20s);
        EXPECT_GT(share, 0.1) << shot;
    }
}

} // namespace
} // namespace vorlia::test
