// Where the game window may go, and what it shows when the game cannot be
// reached: the real engine in a real window, real pointer clicks and key
// presses, HTTP servers on loopback.
#include "app/launcher_app.hpp"
#include "support/standin.hpp"
#include "window/support/window_test.hpp"

#include <gio/gio.h>
#include <glib.h>
#include <glibmm/main.h>
#include <gtest/gtest.h>
#include <gtkmm/native.h>
#include <gtkmm/overlay.h>

#include <csignal>
#include <memory>
#include <sys/types.h>
#include <unistd.h>

namespace vorlia::test {
namespace {

// A port that accepts connections but never answers: a request to it stays
// pending until someone gives up on it.
class SilentPort {
  public:
    SilentPort() {
        GError* error = nullptr;
        socket_ =
            adopt(g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error));
        Handle<GInetAddress> loopback = adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
        Handle<GSocketAddress> any = adopt(g_inet_socket_address_new(loopback.get(), 0));
        if (!socket_ || !g_socket_bind(socket_.get(), any.get(), TRUE, &error) ||
            !g_socket_listen(socket_.get(), &error)) {
            ADD_FAILURE() << "silent port: " << (error != nullptr ? error->message : "?");
            g_clear_error(&error);
            return;
        }
        Handle<GSocketAddress> bound = adopt(g_socket_get_local_address(socket_.get(), nullptr));
        port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound.get()));
    }
    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    Handle<GSocket> socket_;
    unsigned port_ = 0;
};

const char* const offlineHeading = "\"Cannot reach the game server\"";
const char* const headingScript =
    "document.querySelector('h2') ? document.querySelector('h2').textContent : ''";

// The launcher as the player starts it, with a recording hand-over.
class LauncherFixture : public ::testing::Test {
  protected:
    void launch() { launchInProcess(app, launcher, config, opener); }

    void TearDown() override {
        launcher.reset();
        runFor(100ms);
    }

    Gtk::ApplicationWindow& window() { return launcher->game()->window(); }
    WebKitWebView* web() { return launcher->engine()->web(); }

    std::string location() { return evaluate(web(), "location.href").value_or(""); }

    bool showsOfflinePage(std::chrono::milliseconds timeout = 20s) {
        return waitForValue(web(), headingScript, offlineHeading, timeout) &&
               location() == "\"about:blank\"" && launcher->engine()->showingOfflinePage();
    }

    // Exactly one window, and the one web view as its whole content (the
    // connecting word lies over it, taking no input).
    void expectOneWindowOneWebView() {
        EXPECT_EQ(Gtk::Window::list_toplevels().size(), 1U);
        EXPECT_EQ(app->get_windows().size(), 1U);
        auto* layers = dynamic_cast<Gtk::Overlay*>(window().get_child());
        ASSERT_NE(layers, nullptr);
        EXPECT_EQ(layers->get_child()->gobj(), GTK_WIDGET(web()));
    }

    TempFolder folders;
    Config config;
    RecordingOpener opener;
    Glib::RefPtr<Gtk::Application> app;
    std::unique_ptr<LauncherApp> launcher;
};

// ---------------------------------------------------------------------------
// Confinement. The hosts have names (game play.vorlia.test, site
// vorlia.test); the web view reaches them through an in-process proxy on
// loopback (the route test builds use), which also sees, and answers,
// anything that would leave.

constexpr const char* gamePage = "http://play.vorlia.test/act_web_tiyan/index.html?launcher=1";

const char* const gameHTML = R"html(<html><head><style>
  body{margin:0;background:#123;color:#fff;font:20px sans-serif}
  a,button,input{display:block;margin:6px 20px;font-size:20px}
</style></head><body>
<h1 id="marker">Game</h1>
<a id="site" href="http://vorlia.test/about">site</a>
<a id="elsewhere" href="http://elsewhere.test/page">elsewhere</a>
<a id="blank-allowed" target="_blank" href="http://www.play.vorlia.test/sub">blank allowed</a>
<a id="blank-elsewhere" target="_blank" href="http://elsewhere.test/blank">blank elsewhere</a>
<button id="open" onclick="window.open('http://elsewhere.test/popup')">window.open</button>
<a id="mail" href="mailto:support@vorlia.test?subject=hi">mail</a>
<form action="http://elsewhere.test/form" method="post"><input name="q" value="1">
<input id="submit" type="submit" value="send"></form>
</body></html>)html";

class ConfinementTest : public LauncherFixture {
  protected:
    void SetUp() override {
        proxy.route("/act_web_tiyan/index.html", [](const HttpServer::Request& r) {
            return r.host == "play.vorlia.test" ? HttpServer::Response{200, "text/html", gameHTML}
                                                : HttpServer::Response{404, "text/plain", "no"};
        });
        proxy.route("/about", [](const HttpServer::Request& r) {
            return HttpServer::Response{200, "text/html", "<h1 id='marker'>Site on " + r.host + "</h1>"};
        });
        proxy.route("/sub", [](const HttpServer::Request& r) {
            return HttpServer::Response{200, "text/html", "<h1 id='marker'>Sub on " + r.host + "</h1>"};
        });
        proxy.page("/frames.html", "<h1 id='marker'>Frames</h1>"
                                   "<iframe id='f' src='http://elsewhere.test/frame'></iframe>");

        const HostConstants hosts = makeHostConstants("play.vorlia.test", "vorlia.test");
        config = localConfig(proxy, folders);
        config.gameHost = hosts.gameHost;
        config.siteHost = hosts.siteHost;
        config.allowedHosts = hosts.allowedHosts;
        config.gameStartURL = gamePage;
        // Every request goes to the proxy; no certificate, plain http only.
        config.route = Route{proxy.origin(), ""};
        launch();
    }

    // The start page loads by itself; any other page is loaded here.
    void openGamePage(const char* url = gamePage) {
        if (std::string_view(url) != gamePage) {
            webkit_web_view_load_uri(web(), url);
        }
        ASSERT_TRUE(waitForValue(web(), "location.href", std::string("\"") + url + "\""));
        ASSERT_TRUE(waitForValue(web(), "document.readyState", "\"complete\""));
    }

    // A real pointer click in the middle of the element.
    void click(const std::string& id) {
        const auto json = evaluate(web(), "(() => { const r = document.getElementById('" + id +
                                              "').getBoundingClientRect();"
                                              " return Math.round(r.left + r.width / 2) + ',' +"
                                              " Math.round(r.top + r.height / 2); })()");
        ASSERT_TRUE(json.has_value()) << id;
        int x = 0;
        int y = 0;
        ASSERT_EQ(std::sscanf(json->c_str(), "\"%d,%d\"", &x, &y), 2) << *json;
        graphene_point_t inView{static_cast<float>(x), static_cast<float>(y)};
        graphene_point_t inWindow{};
        ASSERT_TRUE(
            gtk_widget_compute_point(GTK_WIDGET(web()), GTK_WIDGET(window().gobj()), &inView, &inWindow));
        double surfaceX = 0;
        double surfaceY = 0;
        gtk_native_get_surface_transform(GTK_NATIVE(window().gobj()), &surfaceX, &surfaceY);
        clickAt(window(), static_cast<int>(inWindow.x + surfaceX), static_cast<int>(inWindow.y + surfaceY));
    }

    std::size_t requestsTo(const std::string& host) const {
        std::size_t n = 0;
        for (const auto& r : proxy.requests()) {
            n += r.host == host ? 1 : 0;
        }
        return n;
    }

    // The game page is still there, whole, and nothing reached the outside host.
    void expectGamePageStays(const char* url = gamePage) {
        runFor(1s);
        EXPECT_EQ(location(), std::string("\"") + url + "\"");
        EXPECT_EQ(evaluate(web(), "document.getElementById('marker').textContent"),
                  std::string(url == gamePage ? "\"Game\"" : "\"Frames\""));
        EXPECT_FALSE(launcher->engine()->showingOfflinePage());
        EXPECT_EQ(requestsTo("elsewhere.test"), 0U);
        expectOneWindowOneWebView();
    }

    HttpServer proxy;
};

TEST_F(ConfinementTest, ClickedLinkToAnAllowedHostLoadsInPlace) {
    openGamePage();
    click("site");
    EXPECT_TRUE(
        waitForValue(web(), "document.getElementById('marker')?.textContent", "\"Site on vorlia.test\""));
    EXPECT_EQ(location(), "\"http://vorlia.test/about\"");
    EXPECT_TRUE(opener.opened.empty());
    expectOneWindowOneWebView();
}

TEST_F(ConfinementTest, BlankTargetLinkToAnAllowedHostReplacesThePageInTheSameView) {
    openGamePage();
    click("blank-allowed");
    EXPECT_TRUE(waitForValue(web(), "document.getElementById('marker')?.textContent",
                             "\"Sub on www.play.vorlia.test\""));
    EXPECT_EQ(location(), "\"http://www.play.vorlia.test/sub\"");
    EXPECT_TRUE(opener.opened.empty());
    expectOneWindowOneWebView();
}

struct HandOverCase {
    const char* element;
    const char* url;
};

std::ostream& operator<<(std::ostream& os, const HandOverCase& c) {
    return os << c.element;
}

class HandedOver : public ConfinementTest, public ::testing::WithParamInterface<HandOverCase> {};

TEST_P(HandedOver, ToTheSystemWhileTheGamePageStays) {
    openGamePage();
    click(GetParam().element);
    ASSERT_TRUE(runUntil([&] { return !opener.opened.empty(); }, 10s));
    expectGamePageStays();
    EXPECT_EQ(opener.opened, std::vector<std::string>{GetParam().url});
}

INSTANTIATE_TEST_SUITE_P(Clicks, HandedOver,
                         ::testing::Values(HandOverCase{"elsewhere", "http://elsewhere.test/page"},
                                           HandOverCase{"blank-elsewhere", "http://elsewhere.test/blank"},
                                           HandOverCase{"open", "http://elsewhere.test/popup"},
                                           HandOverCase{"mail", "mailto:support@vorlia.test?subject=hi"}),
                         [](const auto& info) {
                             std::string name = info.param.element;
                             std::erase(name, '-');
                             return name;
                         });

TEST_F(ConfinementTest, ScriptSendingTheMainFrameElsewhereIsCancelledSilently) {
    openGamePage();
    evaluate(web(), "location.href = 'http://elsewhere.test/script'; 1");
    expectGamePageStays();
    EXPECT_TRUE(opener.opened.empty());
}

TEST_F(ConfinementTest, FormPostingElsewhereIsCancelledSilently) {
    openGamePage();
    click("submit");
    expectGamePageStays();
    EXPECT_TRUE(opener.opened.empty());
}

TEST_F(ConfinementTest, FrameLoadingElsewhereIsCancelledSilently) {
    openGamePage("http://play.vorlia.test/frames.html");
    expectGamePageStays("http://play.vorlia.test/frames.html");
    EXPECT_TRUE(opener.opened.empty());
}

// ---------------------------------------------------------------------------
// The offline page. The game host is the loopback address itself, reached
// directly.

constexpr const char* startPath = "/act_web_tiyan/index.html";

class OfflineTest : public LauncherFixture {
  protected:
    void SetUp() override {
        server.page(startPath, "<html><body style='background:#234'><h1 id='marker'>Game</h1></body></html>");
        server.page("/next", "<h1 id='marker'>Next</h1>");
        config = localConfig(server, folders);
    }

    bool showsGamePage() {
        return waitForValue(web(), "document.getElementById('marker')?.textContent ?? ''", "\"Game\"") &&
               !launcher->engine()->showingOfflinePage();
    }

    HttpServer server;
};

TEST_F(OfflineTest, UnreachableStartPageShowsTheOfflinePage) {
    server.stop();
    launch();
    ASSERT_TRUE(showsOfflinePage());
    EXPECT_EQ(evaluate(web(), "document.querySelector('p').textContent"),
              "\"Check your internet connection, then press Ctrl+R to try again.\"");
    EXPECT_EQ(evaluate(web(), "getComputedStyle(document.body).backgroundColor"), "\"rgb(127, 29, 29)\"");
    EXPECT_EQ(evaluate(web(), "getComputedStyle(document.querySelector('h2')).color"),
              "\"rgb(255, 255, 255)\"");
    // One centred block of a heading and a hint, in the system's own font.
    EXPECT_EQ(evaluate(web(), "[...document.body.children].map(e => e.tagName + ':' + "
                              "[...e.children].map(c => c.tagName).join()).join()"),
              "\"DIV:H2,P\"");
    EXPECT_EQ(evaluate(web(), "(s => [s.display, s.alignItems, s.justifyContent, s.textAlign, s.margin, "
                              "s.fontFamily].join('|'))(getComputedStyle(document.body))"),
              "\"flex|center|center|center|0px|system-ui, Arial\"");
    EXPECT_EQ(evaluate(web(), "(s => s.margin + '|' + getComputedStyle(document.querySelector('p')).opacity)"
                              "(getComputedStyle(document.querySelector('h2')))"),
              "\"0px 0px 8px|0.85\"");
    EXPECT_EQ(evaluate(web(), "document.body.offsetHeight === innerHeight"), "true");
    EXPECT_TRUE(opener.opened.empty());
    expectOneWindowOneWebView();
    saveScreenshot("offline-page");
}

TEST_F(OfflineTest, StartRequestOutlastingTheLimitShowsTheOfflinePage) {
    SilentPort silent;
    config.gameStartURL = silent.origin() + startPath;
    config.timing.startRequestTimeout = 1500ms;
    launch();
    ASSERT_TRUE(showsOfflinePage());
}

// A silent host: the quiet word over the black after a moment, gone for the
// offline page at the limit.
TEST_F(OfflineTest, SlowStartShowsConnectingThenTheOfflinePage) {
    SilentPort silent;
    config.gameStartURL = silent.origin() + startPath;
    config.timing.connectingNoticeDelay = 500ms;
    config.timing.startRequestTimeout = 4s;
    launch();
    ASSERT_TRUE(runUntil([&] { return launcher->game()->connectingShown(); }, 10s));
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
    saveScreenshot("connecting");
    ASSERT_TRUE(showsOfflinePage());
    EXPECT_FALSE(launcher->game()->connectingShown());
}

// A page that commits in time never shows it, not even for a moment.
TEST_F(OfflineTest, APageInTimeShowsNoConnectingWord) {
    // Long enough for a loaded machine to start the web process and commit in time.
    config.timing.connectingNoticeDelay = 5s;
    struct Seen {
        bool everShown = false;
        bool noticeDue = false;
        bool committed = false;
        bool committedInTime = false;
    };
    // Shared with the callbacks, which may outlive a test that ends early.
    const auto seen = std::make_shared<Seen>();
    launchInProcess(app, launcher, config, opener, [&](LauncherApp& made) {
        // The word is the overlay over the web view.
        auto* layers = dynamic_cast<Gtk::Overlay*>(made.game()->window().get_child());
        ASSERT_NE(layers, nullptr);
        Gtk::Widget* word = layers->get_child()->get_next_sibling();
        ASSERT_NE(word, nullptr);
        seen->everShown = word->get_visible();
        word->property_visible().signal_changed().connect(
            [seen, word] { seen->everShown = seen->everShown || word->get_visible(); });
        g_signal_connect_data(
            made.engine()->web(), "load-changed",
            G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
                auto& s = **static_cast<std::shared_ptr<Seen>*>(data);
                if (event == WEBKIT_LOAD_COMMITTED && !s.committed) {
                    s.committed = true;
                    s.committedInTime = !s.noticeDue;
                }
            }),
            new std::shared_ptr<Seen>(seen),
            +[](gpointer data, GClosure*) { delete static_cast<std::shared_ptr<Seen>*>(data); },
            G_CONNECT_DEFAULT);
        // Armed after the launcher's own notice, with the same delay: it
        // comes once the notice's moment has passed.
        Glib::signal_timeout().connect_once(
            [seen] { seen->noticeDue = true; },
            static_cast<unsigned>(config.timing.connectingNoticeDelay.count()));
    });
    ASSERT_TRUE(runUntil([&] { return seen->committed; }));
    ASSERT_TRUE(seen->committedInTime) << "the start page took longer than the notice's delay";
    // Whatever the commit left armed has had its moment.
    ASSERT_TRUE(runUntil([&] { return seen->noticeDue; }));
    EXPECT_FALSE(seen->everShown);
    EXPECT_FALSE(launcher->game()->connectingShown());
    EXPECT_EQ(location(), "\"" + config.gameStartURL + "\"");
}

// A game host whose certificate is not trusted is as unreachable as one that
// is down.
TEST_F(OfflineTest, UntrustedCertificateShowsTheOfflinePage) {
    vorlia::test::StandIn hosts;
    config = hosts.config();
    config.route->certificatePEM.clear();
    config.timing.automaticCheckDelay = std::chrono::hours(1);
    launch();
    ASSERT_TRUE(showsOfflinePage());
    EXPECT_EQ(config.gameStartURL.rfind("https://", 0), 0U);
}

// Another navigation starts while the start request is still waiting: the
// cancelled request is no failure, and the page the user goes to stays.
TEST_F(OfflineTest, SupersededNavigationDoesNotShowTheOfflinePage) {
    SilentPort silent;
    config.gameStartURL = silent.origin() + startPath;
    config.timing.startRequestTimeout = 3s;
    launch();
    runFor(300ms);
    webkit_web_view_load_uri(web(), (server.origin() + "/next").c_str());
    ASSERT_TRUE(waitForValue(web(), "document.getElementById('marker')?.textContent ?? ''", "\"Next\""));
    // Past the start limit: the limit belonged to the request that was superseded.
    runFor(4s);
    EXPECT_EQ(evaluate(web(), "document.getElementById('marker')?.textContent ?? ''"), "\"Next\"");
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
}

// A page that sends itself somewhere slow, then somewhere else: the first
// navigation is cancelled by the second.
TEST_F(OfflineTest, PageSupersedingItsOwnNavigationDoesNotShowTheOfflinePage) {
    SilentPort silent;
    server.page("/hop", "<h1 id='marker'>Hop</h1><script>location.href = '" + silent.origin() +
                            "/slow'; setTimeout(() => { location.href = '/next'; }, 700);</script>");
    launch();
    ASSERT_TRUE(showsGamePage());
    webkit_web_view_load_uri(web(), (server.origin() + "/hop").c_str());
    ASSERT_TRUE(waitForValue(web(), "document.getElementById('marker')?.textContent ?? ''", "\"Next\""));
    runFor(1s);
    EXPECT_EQ(evaluate(web(), "document.getElementById('marker')?.textContent ?? ''"), "\"Next\"");
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
}

// Counts, as the engine reports them, the loads that start for a page (the
// attempts) and the documents that commit at about:blank (the offline page).
struct LoadWatch {
    explicit LoadWatch(WebKitWebView* web) : web_(web) {
        handler_ = g_signal_connect(
            web, "load-changed", G_CALLBACK(+[](WebKitWebView* w, WebKitLoadEvent e, gpointer data) {
                auto* self = static_cast<LoadWatch*>(data);
                const char* uri = webkit_web_view_get_uri(w);
                const bool blank = uri != nullptr && std::string(uri) == "about:blank";
                if (e == WEBKIT_LOAD_STARTED && !blank) {
                    ++self->attempts;
                } else if (e == WEBKIT_LOAD_COMMITTED && blank) {
                    ++self->offlineCommits;
                }
            }),
            this);
    }
    ~LoadWatch() { g_signal_handler_disconnect(web_, handler_); }
    LoadWatch(const LoadWatch&) = delete;
    LoadWatch& operator=(const LoadWatch&) = delete;
    int attempts = 0;
    int offlineCommits = 0;

  private:
    WebKitWebView* web_;
    gulong handler_;
};

// A host back from maintenance: the offline page retries on its own, stays
// put between the attempts, and gives way to the game without a key press.
TEST_F(OfflineTest, TheGameComesBackByItselfOnceTheHostIsBack) {
    server.stop();
    config.timing.retryBackOffScale = 0.03; // about 0.3 s, 0.9 s, 1.8 s, then 9 s
    launch();
    ASSERT_TRUE(showsOfflinePage());
    LoadWatch watch(web());
    // Two automatic attempts while the host is down; the offline page was not loaded again.
    ASSERT_TRUE(runUntil([&] { return watch.attempts >= 2 && !webkit_web_view_is_loading(web()); }, 20s));
    EXPECT_EQ(watch.offlineCommits, 0);
    EXPECT_TRUE(launcher->engine()->showingOfflinePage());
    EXPECT_FALSE(launcher->game()->connectingShown());
    server.restart();
    ASSERT_TRUE(showsGamePage());
    EXPECT_EQ(location(), "\"" + config.gameStartURL + "\"");
    EXPECT_EQ(watch.offlineCommits, 0);
}

// The network itself goes away and comes back, in a network namespace of the
// test's own (tests/window/in-own-network.sh): loopback down while the launcher
// starts, then up with a default route again, which the system's network
// monitor reports. The back-off is stretched to hours, so only the network's
// return can bring the game back.
TEST(OwnNetwork, TheGameComesBackWhenTheNetworkDoes) {
    if (g_strcmp0(g_getenv("VORLIA_TEST_OWN_NETWORK"), "1") != 0) {
        const char* why = g_getenv("VORLIA_TEST_NO_OWN_NETWORK");
        GTEST_SKIP() << "needs a network namespace of its own: "
                     << (why != nullptr ? why : "run it through tests/window/in-own-network.sh");
    }
    const auto ip = [](const std::string& args) {
        const CommandResult result = runCommand("ip " + args);
        ASSERT_TRUE(result.succeeded()) << "ip " << args << ": " << result.failure;
    };
    HttpServer server;
    server.page(startPath, "<html><body><h1 id='marker'>Game</h1></body></html>");
    TempFolder folders;
    Config config = localConfig(server, folders);
    config.timing.retryBackOffScale = 1000;
    // Without loopback a connection to it is never answered: the start limit ends it.
    config.timing.startRequestTimeout = 3s;
    ip("link set lo down");
    RecordingOpener opener;
    Glib::RefPtr<Gtk::Application> app;
    std::unique_ptr<LauncherApp> launcher;
    launchInProcess(app, launcher, config, opener);
    WebKitWebView* web = launcher->engine()->web();
    ASSERT_TRUE(waitForValue(web, headingScript, offlineHeading, 30s));
    ASSERT_TRUE(launcher->engine()->showingOfflinePage());
    const std::size_t before = server.countRequests(startPath);
    ip("link set lo up");
    ip("route add default dev lo");
    ASSERT_TRUE(waitForValue(web, "document.getElementById('marker')?.textContent ?? ''", "\"Game\"", 30s));
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
    EXPECT_EQ(server.countRequests(startPath), before + 1);
    launcher.reset();
    // Not a wait for an event: the engine's own teardown callbacks for the
    // launcher just dropped run before this test's application goes, as the
    // fixtures' TearDown lets them.
    runFor(100ms);
}

class ReloadKey : public OfflineTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ReloadKey, OnTheOfflinePageLoadsTheGameOnceTheServerIsBack) {
    server.stop();
    launch();
    ASSERT_TRUE(showsOfflinePage());
    const std::size_t before = server.countRequests(startPath);
    server.restart();
    pressKeys(window(), GetParam());
    ASSERT_TRUE(showsGamePage());
    EXPECT_EQ(location(), "\"" + config.gameStartURL + "\"");
    EXPECT_EQ(server.countRequests(startPath), before + 1);
}

INSTANTIATE_TEST_SUITE_P(Keys, ReloadKey, ::testing::Values("ctrl+r", "F5"),
                         [](const auto& info) { return std::string(info.param[0] == 'c' ? "CtrlR" : "F5"); });

// Reload Game retries the page that failed, not the start page and not the
// offline page itself.
TEST_F(OfflineTest, ReloadRetriesThePageThatFailed) {
    HttpServer other;
    other.page("/elsewhere-on-game-host", "<h1 id='marker'>Other</h1>");
    const std::string failing = other.origin() + "/elsewhere-on-game-host";
    other.stop();
    launch();
    ASSERT_TRUE(showsGamePage());
    webkit_web_view_load_uri(web(), failing.c_str());
    ASSERT_TRUE(showsOfflinePage());
    const std::size_t startRequests = server.countRequests(startPath);
    other.restart();
    pressKeys(window(), "ctrl+r");
    EXPECT_TRUE(waitForValue(web(), "document.getElementById('marker')?.textContent ?? ''", "\"Other\""));
    EXPECT_EQ(location(), "\"" + failing + "\"");
    EXPECT_EQ(server.countRequests(startPath), startRequests);
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
}

// The web content processes this test process started (inside the engine's
// sandbox they are grandchildren), and no one else's.
std::vector<pid_t> webProcesses() {
    const auto table = processTable();
    std::vector<pid_t> found;
    for (const pid_t pid : descendantsOf(getpid(), table)) {
        if (table.at(pid).name.starts_with("WebKitWebProces")) {
            found.push_back(pid);
        }
    }
    return found;
}

// The end of the web process is no network failure: the engine's own
// behaviour, not the offline page ("Check your internet connection" would be
// wrong), and Reload brings the game back in a fresh web process.
TEST_F(OfflineTest, KilledWebProcessKeepsTheEnginesBehaviourAndReloadBringsTheGameBack) {
    launch();
    ASSERT_TRUE(showsGamePage());
    const std::vector<pid_t> processes = webProcesses();
    ASSERT_FALSE(processes.empty());
    bool ended = false;
    // Connected after the launcher's own handlers: by the time it runs, they have.
    const gulong handler =
        g_signal_connect(web(), "web-process-terminated",
                         G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason, gpointer flag) {
                             *static_cast<bool*>(flag) = true;
                         }),
                         &ended);
    for (const pid_t pid : processes) {
        kill(pid, SIGKILL);
    }
    ASSERT_TRUE(runUntil([&] { return ended; }, 20s));
    g_signal_handler_disconnect(web(), handler);
    EXPECT_FALSE(launcher->engine()->showingOfflinePage());
    pressKeys(window(), "ctrl+r");
    EXPECT_TRUE(showsGamePage());
    EXPECT_EQ(location(), "\"" + config.gameStartURL + "\"");
}

} // namespace
} // namespace vorlia::test
