// The one game window: a GTK application window whose whole content is the
// web view showing the game.
#pragma once

#include "base/handle.hpp"
#include "rules/page_state.hpp"
#include "rules/token.hpp"
#include "window/uri_opener.hpp"
#include "window/window_state.hpp"

#include <gtkmm/applicationwindow.h>
#include <sigc++/connection.h>
#include <webkit/webkit.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

class NavigationPolicy;

// What the game window needs of the launcher's configuration.
struct GameWindowSettings {
    std::string gameStartURL;
    std::string gameHost;
    std::vector<std::string> allowedHosts;
    std::string launcherVersion;
    TokenKeyTables tokenKey;
    std::chrono::milliseconds refreshInterval{600'000};
    std::chrono::milliseconds startRequestTimeout{60'000};
    // How long a page may take to commit before "Connecting to the game…" shows.
    std::chrono::milliseconds connectingNoticeDelay{2'000};
    // The automatic retries' back-off, as a multiple of its usual pace.
    double retryBackOffScale = 1.0;
    std::filesystem::path dataFolder;  // website data (cookies, local storage)
    std::filesystem::path cacheFolder; // web cache
    std::filesystem::path stateFolder; // the window state key file
    // Applied to the engine's network session before the first load; only the
    // demo and test flavours set it.
    std::function<void(WebKitNetworkSession*)> routeNetwork;
    // False: the engine draws the page in the processor (its hardware
    // acceleration policy "never"); true leaves the engine's default.
    bool hardwareAcceleration = true;
    // The D-Bus address on which logind announces sleep and resume; empty for
    // the system bus. Only the demo and test flavours set it.
    std::string sleepBusAddress;
};

class GameWindow {
  public:
    GameWindow(const Glib::RefPtr<Gtk::Application>& app, GameWindowSettings settings, UriOpener& opener);
    ~GameWindow();
    GameWindow(const GameWindow&) = delete;
    GameWindow& operator=(const GameWindow&) = delete;

    Gtk::ApplicationWindow& window() { return *window_; }
    WebKitWebView* web() const { return web_.get(); }

    // Reload Game / Back to Login: reloads the page, or retries the page that
    // failed when the offline page is showing.
    void reloadGame();
    void toggleFullscreen();
    void showOfflinePage(std::optional<std::string> failedURI);
    bool showingOfflinePage() const { return page_ != PageState::page; }
    // "Connecting to the game…" is over the page.
    bool connectingShown() const;

    // The token tick: pushes a freshly derived token into the main frame. Also
    // pushed at once when the system resumes and when the wall clock's hour changes.
    void refreshPageToken();
    // The resume signal is subscribed to (the bus is reached after the start).
    bool listeningForResume() const { return sleepSubscription_ != 0; }

    // For a launcher about to end: saves the window's state and takes the
    // window off the screen now, not when the teardown reaches it.
    void withdraw();

  private:
    void configureEngine();
    void buildWindow();
    void loadStartPage();
    void loadWithStartLimit(const std::string& uri, bool connectingNotice = true);
    void step(PageEvent event);
    void scheduleRetry();
    void watchNetwork();
    void watchSleep();
    void listenForResume(Handle<GDBusConnection> bus);
    void armHourTimer();
    void stopStartRequestTimer();
    void hideConnecting();
    void saveState();
    WindowState currentState() const;

    const GameWindowSettings settings_;
    UriOpener& opener_;
    Handle<WebKitNetworkSession> session_;
    Handle<WebKitUserContentManager> contentManager_;
    Handle<WebKitSettings> webSettings_;
    Handle<WebKitWebView> web_;
    std::unique_ptr<Gtk::ApplicationWindow> window_;
    std::unique_ptr<NavigationPolicy> navigation_;
    sigc::connection startRequestTimer_;
    sigc::connection connectingTimer_;
    Gtk::Widget* connecting_ = nullptr; // owned by the window
    sigc::connection refresh_;
    sigc::connection shutdown_;
    gulong committedHandler_ = 0;
    // While the offline page shows, the retries and Reload Game load retryURI_.
    PageState page_ = PageState::page;
    std::string retryURI_;
    std::uint32_t retryAttempt_ = 0;
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
