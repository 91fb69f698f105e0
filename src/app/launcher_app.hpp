// The composition root: builds the menus, opens the game window when the
// application activates, makes the updater when it is first needed, and
// carries the launcher's own menu actions.
#pragma once

#include "app/config.hpp"
#include "app/desktop_menu.hpp"
#include "rules/rendering.hpp"
#include "update/gtk/gtk_update_ui.hpp"
#include "update/update_flow.hpp"
#include "update/update_settings.hpp"
#include "window/game_engine.hpp"
#include "window/game_window.hpp"
#include "window/uri_opener.hpp"

#include <gtkmm/application.h>
#include <sigc++/trackable.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

// What the demo and test flavours add to a launcher; the production
// executable leaves every hook empty.
struct LaunchHooks {
    std::function<void(WebKitNetworkSession*)> routeNetwork;     // the game engine's network session
    std::function<void(SoupSession*)> routeSession;              // the updater's HTTP session
    std::function<void(const Alert&)> alertShown;                // each updater dialog, as it shows
    std::function<void(const std::filesystem::path&)> itemShown; // each item handed to the file manager
    std::function<void(DesktopMenuOutcome)> desktopMenuKept;     // once the desktop menu entry was seen to
    std::optional<GlFound> glFound;                              // stands in for the start-up probe's answer
    // The rendering chosen, once the game window is on screen.
    std::function<void(const RenderingChoice&, WebKitWebView*, GtkWindow*)> renderingShown;
    std::string sleepBusAddress; // where logind's sleep signal comes from; empty: the system bus
};

// The values each part takes from the configuration.
GameEngineSettings gameEngineSettings(const Config& config, const LaunchHooks& hooks);
GameWindowSettings gameWindowSettings(const Config& config);
UpdateSettings updateSettings(const Config& config, const LaunchHooks& hooks);

// Trackable: the callbacks it leaves with GLib's main loop go with it.
class LauncherApp : public sigc::trackable {
  public:
    // `rendering`: the choice made at start, whose environment settings
    // nothing the launcher starts may inherit (the relaunched launcher, a
    // folder's handler).
    LauncherApp(const Glib::RefPtr<Gtk::Application>& app, const Config& config, UriOpener& opener,
                LaunchHooks hooks = {}, RenderingChoice rendering = {});
    LauncherApp(const LauncherApp&) = delete;
    LauncherApp& operator=(const LauncherApp&) = delete;

    void reloadGame();
    void checkForUpdates();
    // Every road out of the launcher: its windows leave the screen at once,
    // the application ends after them.
    void quit();

    GameEngine* engine() { return engine_.get(); }
    GameWindow* game() { return game_.get(); }
    // The one updater of the process and its screen, made on first use.
    UpdateFlow& updater();

  private:
    void openWebsite();
    void addActions();
    void buildMenuBar();
    void openGameWindow();

    Glib::RefPtr<Gtk::Application> app_;
    const Config& config_;
    UriOpener& opener_;
    LaunchHooks hooks_;
    RenderingChoice rendering_;
    std::vector<std::string> notPassedOn_;
    // When the launcher started (seconds since 1970): every work folder it
    // makes is newer, so that the leftover sweep never takes one.
    const std::int64_t startedAt_;
    // Both made at start-up, the window shown at the first activation; the
    // window goes first, the engine whose view it shows after it.
    std::unique_ptr<GameEngine> engine_;
    std::unique_ptr<GameWindow> game_;
    bool opened_ = false;
    std::unique_ptr<GtkUpdateUi> updateUi_;
    // After the screen, so that it goes first and nothing reaches a screen that is gone.
    std::unique_ptr<UpdateFlow> updater_;
};

// Runs the launcher as a process does: one application per desktop session
// (a second start raises the first one's window), until the player quits.
int runLauncher(const Config& config, LaunchHooks hooks = {});

} // namespace vorlia
