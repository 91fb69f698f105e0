// The web engine behind the game window: its network session and settings,
// the page script and the token pushes, the navigation policy, the start
// limit, the offline page and the retries from it. The window shows its view.
#pragma once

#include "base/handle.hpp"
#include "rules/page_state.hpp"
#include "rules/token.hpp"
#include "window/uri_opener.hpp"

#include <sigc++/connection.h>
#include <sigc++/signal.h>
#include <webkit/webkit.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

class NavigationPolicy;

// What the engine needs of the launcher's configuration.
struct GameEngineSettings {
    std::string gameStartURL;
    std::string gameHost;
    std::vector<std::string> allowedHosts;
    std::string launcherVersion;
    TokenKeyTables tokenKey;
    std::chrono::milliseconds refreshInterval{600'000};
    std::chrono::milliseconds startRequestTimeout{60'000};
    // How long a page may take to commit before the window says it is connecting.
    std::chrono::milliseconds connectingNoticeDelay{2'000};
    // The automatic retries' back-off, as a multiple of its usual pace.
    double retryBackOffScale = 1.0;
    std::filesystem::path dataFolder;  // website data (cookies, local storage)
    std::filesystem::path cacheFolder; // web cache
    // Applied to the network session before the first load; only the demo
    // and test flavours set it.
    std::function<void(WebKitNetworkSession*)> routeNetwork;
    // False: the engine draws the page in the processor (its hardware
    // acceleration policy "never"); true leaves the engine's default.
    bool hardwareAcceleration = true;
    // The D-Bus address on which logind announces sleep and resume; empty for
    // the system bus. Only the demo and test flavours set it.
    std::string sleepBusAddress;
};

class GameEngine {
  public:
    // Makes the web view, configured, with nothing loaded yet.
    GameEngine(GameEngineSettings settings, UriOpener& opener);
    ~GameEngine();
    GameEngine(const GameEngine&) = delete;
    GameEngine& operator=(const GameEngine&) = delete;

    WebKitWebView* web() const { return web_.get(); }

    // Loads the start page and starts the token pushes and the watches on the
    // network and the system's sleep; once, when the view has its place in the window.
    void start();

    // Reload Game / Back to Login: reloads the page, or retries the page that
    // failed when the offline page is showing.
    void reloadGame();
    bool showingOfflinePage() const { return page_.phase != PagePhase::page; }

    // True when a start has waited past the notice delay without a document
    // committing, false as soon as one commits or the wait ends otherwise.
    sigc::signal<void(bool)>& signalConnecting() { return connecting_; }

    // The token tick: pushes a freshly derived token into the main frame. Also
    // pushed at once when the system resumes and when the wall clock's hour changes.
    void refreshPageToken();
    // The resume signal is subscribed to (the bus is reached after the start).
    bool listeningForResume() const { return sleepSubscription_ != 0; }

  private:
    void configure();
    void loadWithStartLimit(const std::string& uri, bool connectingNotice);
    void loadFailed(std::optional<std::string> failedURI);
    void endStartWait();
    void step(const PageEvent& event);
    void scheduleRetry(std::uint32_t backOffStep);
    void watchNetwork();
    void watchSleep();
    void listenForResume(Handle<GDBusConnection> bus);
    void armHourTimer();

    const GameEngineSettings settings_;
    UriOpener& opener_;
    Handle<WebKitNetworkSession> session_;
    Handle<WebKitUserContentManager> contentManager_;
    Handle<WebKitSettings> webSettings_;
    Handle<WebKitWebView> web_;
    std::unique_ptr<NavigationPolicy> navigation_;
    gulong committedHandler_ = 0;
    sigc::signal<void(bool)> connecting_;
    sigc::connection startRequestTimer_;
    sigc::connection connectingTimer_;
    sigc::connection refresh_;
    PageState page_;
    sigc::connection retryTimer_;
    gulong networkHandler_ = 0;
    // logind's sleep signal, on a bus reached without blocking the start.
    Handle<GCancellable> sleepBusWait_;
    Handle<GDBusConnection> sleepBus_;
    guint sleepSubscription_ = 0;
    // A wall-clock timer to the next hour, cancelled by a jump of the clock.
    int hourTimer_ = -1;
    guint hourWatch_ = 0;
};

} // namespace vorlia
