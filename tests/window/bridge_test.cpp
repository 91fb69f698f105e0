// The page bridge in the real engine, in a real game window: what each
// document finds before its own scripts run, the token refresh, reloads and the
// cancelled context menu, on pages from a loopback server; and gated traffic
// on the stand-in game host, which checks every token it is sent.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "rules/token.hpp"
#include "support/standin.hpp"
#include "window/game_engine.hpp"
#include "window/game_window.hpp"
#include "window/support/window_test.hpp"

#include <glib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vorlia::test {
namespace {

std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump();
}

// A real right click through the X server, at a point in the window's own coordinates.
void rightClickAt(Gtk::Window& window, int x, int y) {
    ASSERT_TRUE(runUntil([&] { return xWindowId(window) != 0; }, 5s));
    const std::string id = std::to_string(xWindowId(window));
    for (const std::string& command :
         {"xdotool windowfocus --sync " + id, "xdotool mousemove --window " + id + " " + std::to_string(x) +
                                                  " " + std::to_string(y) + " click 3"}) {
        const CommandResult result = runCommand(command);
        ASSERT_TRUE(result.succeeded()) << command << ": " << result.failure;
    }
    runFor(300ms);
}

// The first script of a document records what it finds there: the launcher's
// globals, and whether the network entry points are already wrapped (an
// XMLHttpRequest opened for an asset is marked gated without being sent).
constexpr const char* recordWhatTheDocumentFinds = R"(<script>
  window.saw = {
    launcher: window.__vrlLauncher === undefined ? null : window.__vrlLauncher,
    token: window.__vrlTok === undefined ? null : window.__vrlTok,
    fetchWrapped: Function.prototype.toString.call(window.fetch).indexOf("[native code]") < 0,
    socketWrapped: Function.prototype.toString.call(window.WebSocket).indexOf("[native code]") < 0
  };
  var probe = new XMLHttpRequest();
  probe.open("GET", "res/probe.swf");
  window.saw.xhrGated = probe.__vrlG === true;
</script>)";

constexpr const char* startPath = "/act_web_tiyan/index.html";

const std::string startPage = std::string("<!DOCTYPE html><html><head>") + recordWhatTheDocumentFinds +
                              "</head><body style='margin:0;background:#123;color:#fff;font:20px sans-serif'>"
                              "<p>Bridge test page</p>"
                              "<iframe id='frame' src='frame.html' style='width:400px;height:200px'></iframe>"
                              "</body></html>";
const std::string framePage = std::string("<!DOCTYPE html><html><head>") + recordWhatTheDocumentFinds +
                              "</head><body>frame</body></html>";

const std::string frame = "document.getElementById('frame').contentWindow";

class BridgeTest : public WindowTest {
  protected:
    // `sleepBus`: where the window hears logind's sleep signal, as the demo
    // flavour's VORLIA_DEMO_SLEEP_BUS names it; empty for the system bus.
    void open(Config config, const std::string& sleepBus = "") {
        config_ = std::make_unique<Config>(std::move(config));
        tokensAtCreation_.insert(accessTokenNow(config_->tokenKey));
        LaunchHooks hooks = demo::standInHooks(*config_);
        if (!sleepBus.empty()) {
            hooks.sleepBusAddress = sleepBus;
        }
        engine_ = std::make_unique<GameEngine>(gameEngineSettings(*config_, hooks), opener_);
        game_ = std::make_unique<GameWindow>(app, gameWindowSettings(*config_), *engine_);
        engine_->start();
        tokensAtCreation_.insert(accessTokenNow(config_->tokenKey));
        game_->window().present();
        ASSERT_TRUE(
            runUntil([&] { return game_->window().get_mapped() && game_->window().get_width() > 0; }));
    }

    // A window on the loopback server's start page with its sub-frame, once both have loaded.
    void openLocalPage(Config config, const std::string& sleepBus = "") {
        server.page(startPath, startPage);
        server.page("/act_web_tiyan/frame.html", framePage);
        open(std::move(config), sleepBus);
        ASSERT_TRUE(runUntil([&] {
            const auto saw = evaluate(web(), frame + ".saw !== undefined && window.saw !== undefined");
            return saw == "true";
        }));
    }

    void TearDown() override {
        game_.reset();
        engine_.reset();
        WindowTest::TearDown();
    }

    nlohmann::json value(const std::string& script) {
        const std::optional<std::string> json = evaluate(web(), script);
        return json ? nlohmann::json::parse(*json, nullptr, false) : nlohmann::json();
    }

    bool isCreationToken(const nlohmann::json& token) const {
        return token.is_string() && tokensAtCreation_.contains(token.get<std::string>());
    }

    WebKitWebView* web() const { return engine_->web(); }

    HttpServer server;
    RecordingOpener opener_;
    std::unique_ptr<Config> config_;
    std::unique_ptr<GameEngine> engine_;
    std::unique_ptr<GameWindow> game_;
    // The window's creation token: one of these two, should the hour turn meanwhile.
    std::set<std::string> tokensAtCreation_;
};

TEST_F(BridgeTest, EveryFrameRunsTheScriptBeforeItsOwnScripts) {
    openLocalPage(localConfig(server, folders));
    for (const std::string& document : {std::string("window"), frame}) {
        const nlohmann::json saw = value(document + ".saw");
        EXPECT_EQ(saw["launcher"], config_->launcherVersion) << document << ": " << saw;
        EXPECT_TRUE(isCreationToken(saw["token"])) << document << ": " << saw;
        EXPECT_EQ(saw["fetchWrapped"], true) << document << ": " << saw;
        EXPECT_EQ(saw["socketWrapped"], true) << document << ": " << saw;
        EXPECT_EQ(saw["xhrGated"], true) << document << ": " << saw;
    }
}

TEST_F(BridgeTest, RefreshReplacesTheTokenInTheMainFrameOnly) {
    openLocalPage(localConfig(server, folders));
    ASSERT_EQ(value("window.__vrlTok = 'stale'; " + frame + ".__vrlTok = 'stale in frame'"),
              "stale in frame");

    engine_->refreshPageToken();
    EXPECT_TRUE(runUntil([&] { return value("window.__vrlTok") == accessTokenNow(config_->tokenKey); }, 10s))
        << value("window.__vrlTok");
    EXPECT_EQ(value(frame + ".__vrlTok"), "stale in frame");
}

TEST_F(BridgeTest, TimerPushesAFreshTokenIntoThePage) {
    Config config = localConfig(server, folders);
    config.timing.refreshInterval = 300ms;
    openLocalPage(std::move(config));
    ASSERT_EQ(value("window.__vrlTok = 'stale'"), "stale");
    EXPECT_TRUE(runUntil([&] { return value("window.__vrlTok") == accessTokenNow(config_->tokenKey); }, 10s))
        << value("window.__vrlTok");
}

// A night with the lid closed: the 600-second timer stood still, so the
// system's resume, as logind announces it on the bus (here the test's own
// session bus, where the test speaks as logind), pushes a fresh token at once.
TEST_F(BridgeTest, ResumeFromSleepPushesAFreshTokenAtOnce) {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    ASSERT_NE(address, nullptr) << "the window tests run with a D-Bus session of their own";
    GError* raw = nullptr;
    const Handle<GDBusConnection> logind = adopt(g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &raw));
    ASSERT_TRUE(logind) << raw->message;
    const Handle<GVariant> owned = adopt(g_dbus_connection_call_sync(
        logind.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.login1", 4U /* do not queue */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    ASSERT_TRUE(owned);
    guint32 reply = 0;
    g_variant_get(owned.get(), "(u)", &reply);
    ASSERT_EQ(reply, 1U) << "the test could not speak as logind";

    Config config = localConfig(server, folders);
    openLocalPage(std::move(config), address);
    ASSERT_TRUE(runUntil([&] { return engine_->listeningForResume(); }, 10s));
    ASSERT_EQ(value("window.__vrlTok = 'stale'"), "stale");
    ASSERT_TRUE(g_dbus_connection_emit_signal(logind.get(), nullptr, "/org/freedesktop/login1",
                                              "org.freedesktop.login1.Manager", "PrepareForSleep",
                                              g_variant_new("(b)", FALSE), nullptr));
    ASSERT_TRUE(g_dbus_connection_flush_sync(logind.get(), nullptr, nullptr));
    EXPECT_TRUE(runUntil([&] { return value("window.__vrlTok") == accessTokenNow(config_->tokenKey); }, 10s))
        << value("window.__vrlTok");
}

TEST_F(BridgeTest, ReloadStartsAgainWithTheCreationToken) {
    openLocalPage(localConfig(server, folders));
    // A later token pushed by a tick is gone with the document it was pushed into.
    ASSERT_EQ(value("window.__vrlTok = 'pushed later'; window.saw = undefined; 1"), 1);

    engine_->reloadGame();
    ASSERT_TRUE(runUntil([&] { return value("window.saw !== undefined") == true; }));
    EXPECT_EQ(server.countRequests(startPath), 2U);
    EXPECT_TRUE(isCreationToken(value("window.saw.token"))) << value("window.saw");
    EXPECT_TRUE(isCreationToken(value("window.__vrlTok"))) << value("window.__vrlTok");
    EXPECT_EQ(value("window.saw.xhrGated"), true);
}

TEST_F(BridgeTest, RightClickShowsNoMenu) {
    if (onWayland()) {
        GTEST_SKIP() << "needs a real right button press (xdotool); headless Weston has no pointer to press";
    }
    openLocalPage(localConfig(server, folders));
    int menus = 0;
    const gulong handler = g_signal_connect(
        web(), "context-menu",
        G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, WebKitHitTestResult*, gpointer count) -> gboolean {
            ++*static_cast<int*>(count);
            return TRUE; // never leave a real menu open, whatever happens
        }),
        &menus);
    // The page's own listener sees each click arrive, already cancelled.
    ASSERT_EQ(value("window.menus = []; document.addEventListener('contextmenu', function (e) {"
                    "  window.menus.push(e.defaultPrevented); }); 1"),
              1);

    rightClickAt(game_->window(), 600, 500);
    EXPECT_TRUE(runUntil([&] { return value("window.menus") == nlohmann::json::array({true}); }))
        << value("window.menus");
    EXPECT_EQ(menus, 0);
    g_signal_handler_disconnect(web(), handler);
}

TEST_F(BridgeTest, DragsDoNotStart) {
    openLocalPage(localConfig(server, folders));
    const std::string dragStart =
        "(function () { var e = new DragEvent('dragstart', {bubbles: true, cancelable: "
        "true}); document.body.dispatchEvent(e); return e.defaultPrevented; })()";
    EXPECT_EQ(value(dragStart), true);
    EXPECT_EQ(value(frame + ".eval(" + quoted(dragStart) + ")"), true);
}

// Starts one request from the page and keeps what the page learnt of it in
// window.probes[id]: the path it reached, its status and the host's gate verdict.
constexpr const char* probeFunction = R"(window.probes = {};
window.probe = function (id, kind, url) {
  function done(at, status, gate) {
    window.probes[id] = { path: at ? new URL(at).pathname : null, status: status, gate: gate };
  }
  if (kind === "fetch") {
    fetch(url).then(function (r) { done(r.url, r.status, r.headers.get("X-VRL-Gate")); },
                    function () { done(null, 0, null); });
  } else if (kind === "xhr") {
    var x = new XMLHttpRequest();
    x.open("GET", url);
    x.onload = function () { done(x.responseURL, x.status, x.getResponseHeader("X-VRL-Gate")); };
    x.onerror = function () { done(null, 0, null); };
    x.send();
  } else {
    var s = new WebSocket(url);
    s.onmessage = function (e) { done(s.url, 101, JSON.parse(e.data).gate); s.close(); };
    s.onerror = function () { done(s.url, 0, null); };
  }
  return true;
};
true)";

class BridgeStandInTest : public BridgeTest {
  protected:
    struct Probe {
        std::string kind;
        std::string url;  // as the page asks for it
        std::string path; // where it must arrive
    };

    // Runs each probe from the page; expects it at its gated path, served or
    // refused as `accepted` says, and the host's verdict on its token to match.
    void expectProbes(const std::vector<Probe>& probes, bool accepted) {
        const std::string verdict = accepted ? "accepted" : "refused";
        for (const Probe& p : probes) {
            const std::string id = std::to_string(++probeCount_);
            const std::string url =
                p.url + (p.url.find('?') == std::string::npos ? "?" : "&") + "probe=" + id;
            ASSERT_EQ(value("probe(" + quoted(id) + ", " + quoted(p.kind) + ", " + quoted(url) + ")"), true);
            const std::string result = "window.probes[" + quoted(id) + "] || null";
            ASSERT_TRUE(runUntil([&] { return !value(result).is_null(); }, 20s)) << p.kind << " " << p.url;
            const nlohmann::json seen = value(result);
            EXPECT_EQ(seen["path"], p.path) << p.kind << " " << p.url << ": " << seen;
            // A refused socket handshake reaches the page only as an error.
            const int status = p.kind == "socket" ? (accepted ? 101 : 0) : (accepted ? 200 : 403);
            EXPECT_EQ(seen["status"], status) << p.kind << " " << p.url << ": " << seen;

            std::string hostVerdict;
            ASSERT_TRUE(runUntil(
                [&] {
                    for (const nlohmann::json& line : hosts.requests()) {
                        if (line.value("path", "") == p.path &&
                            line.value("query", "").find("probe=" + id) != std::string::npos) {
                            hostVerdict = line.value("token", "");
                            return true;
                        }
                    }
                    return false;
                },
                10s))
                << p.kind << " " << p.url << " never reached " << p.path;
            EXPECT_EQ(hostVerdict, verdict) << p.kind << " " << p.url;
        }
    }

    vorlia::test::StandIn hosts;
    int probeCount_ = 0;
};

TEST_F(BridgeStandInTest, GatedRequestsCarryThePagesCurrentToken) {
    open(hosts.config());
    // The start page's own checks: the .swf by fetch, the .dat by XMLHttpRequest, the game socket.
    const std::string summary = "(document.getElementById('vrl-summary') || {}).textContent || ''";
    ASSERT_TRUE(runUntil(
        [&] {
            const nlohmann::json text = value(summary);
            return text.is_string() && !text.get<std::string>().empty();
        },
        40s));
    const nlohmann::json report = nlohmann::json::parse(value(summary).get<std::string>());
    for (const char* check : {"fetch", "xhr", "websocket"}) {
        EXPECT_EQ(report["checks"][check].value("passed", false), true) << check << ": " << report;
    }
    EXPECT_TRUE(isCreationToken(value("window.__vrlTok")));
    saveScreenshot("bridge-demo-page");

    ASSERT_EQ(value(probeFunction), true);
    const std::vector<Probe> probes = {
        {"fetch", "game/vorlia.swf", "/g/act_web_tiyan/game/vorlia.swf"},
        {"fetch", "game/map.dat", "/g/act_web_tiyan/game/map.dat"},
        {"xhr", "game/vorlia.swf", "/g/act_web_tiyan/game/vorlia.swf"},
        {"xhr", "game/map.dat", "/g/act_web_tiyan/game/map.dat"},
        {"socket", "/ws/game?room=1", "/g/ws/game"},
    };
    expectProbes(probes, true);

    // The wrappers send whatever token the page holds at that moment...
    ASSERT_EQ(value("window.__vrlTok = '481500.00000000000000000000000000000000'"),
              "481500.00000000000000000000000000000000");
    expectProbes({probes[0], probes[3], probes[4]}, false);

    // ...so once the tick has pushed a fresh one, the host accepts them again.
    engine_->refreshPageToken();
    ASSERT_TRUE(runUntil([&] { return value("window.__vrlTok") == accessTokenNow(config_->tokenKey); }, 10s));
    expectProbes(probes, true);
}

} // namespace
} // namespace vorlia::test
