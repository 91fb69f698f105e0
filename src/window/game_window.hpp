// The one game window: a GTK application window whose whole content is the
// web view showing the game.
#pragma once

#include "app/config.hpp"
#include "app/gobject_ptr.hpp"
#include "window/uri_opener.hpp"
#include "window/window_state.hpp"

#include <gtkmm/applicationwindow.h>
#include <sigc++/connection.h>
#include <webkit/webkit.h>

#include <memory>
#include <optional>
#include <string>

namespace vorlia {

class NavigationPolicy;

class GameWindow {
  public:
    GameWindow(const Glib::RefPtr<Gtk::Application>& app, const Config& config, UriOpener& opener);
    ~GameWindow();
    GameWindow(const GameWindow&) = delete;
    GameWindow& operator=(const GameWindow&) = delete;

    Gtk::ApplicationWindow& window() { return *window_; }
    WebKitWebView* web() const { return web_.get(); }
    const Config& config() const { return config_; }

    // Reload Game / Back to Login: reloads the page, or retries the page that
    // failed when the offline page is showing.
    void reloadGame();
    void toggleFullscreen();
    void showOfflinePage(std::optional<std::string> failedURI);
    bool showingOfflinePage() const { return offline_; }

    // The token tick: pushes a freshly derived token into the main frame.
    void refreshPageToken();

  private:
    void configureEngine();
    void buildWindow();
    void loadStartPage();
    void loadWithStartLimit(const std::string& uri);
    void stopStartRequestTimer();
    void saveState();
    WindowState currentState() const;

    const Config& config_;
    UriOpener& opener_;
    GObjectPtr<WebKitNetworkSession> session_;
    GObjectPtr<WebKitUserContentManager> contentManager_;
    GObjectPtr<WebKitSettings> settings_;
    GObjectPtr<WebKitWebView> web_;
    std::unique_ptr<Gtk::ApplicationWindow> window_;
    std::unique_ptr<NavigationPolicy> navigation_;
    sigc::connection startRequestTimer_;
    sigc::connection refresh_;
    gulong committedHandler_ = 0;
    // The offline page is showing; Reload Game then retries retryURI_.
    bool offline_ = false;
    bool offlinePending_ = false;
    std::string retryURI_;
    // Lets the refresh timer hold the window weakly.
    std::shared_ptr<GameWindow*> self_;
};

} // namespace vorlia
