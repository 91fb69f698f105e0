// The stand-in hosts as the launcher meets them: its game window, routed to
// them, loads the start page over https on the game host's own name, and the
// page's gated asset and socket checks reach the host with accepted tokens.
#include "app/launcher_app.hpp"
#include "base/handle.hpp"
#include "demo/route.hpp"
#include "support/standin.hpp"
#include "window/game_engine.hpp"
#include "window/game_window.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

TEST(StandInDemo, DemoLauncherPlaysTheStandInStartPage) {
    test::StandIn hosts;
    TempFolder home;
    const Process launcher = startDemoLauncher(hosts, home.path());
    ASSERT_TRUE(launcher.started()) << launcher.failure();
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
        TempFolder folder;
        const auto log = folder.path() / "test.log";
        Settings settings = road.environment;
        settings.emplace_back("VORLIA_TEST_LOG", log.string());
        const Process launcher = startDemoLauncher(hosts, folder.path() / "home", settings);
        ASSERT_TRUE(launcher.started()) << launcher.failure();
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
