// The application's delegate: builds the menus, creates the game window when
// launching finishes, and carries the launcher's own menu actions.
#pragma once

#include "app/config.hpp"
#include "update/updater.hpp"
#include "window/game_window.hpp"
#include "window/uri_opener.hpp"

#include <gtkmm/application.h>

#include <memory>

namespace vorlia {

class AppDelegate {
  public:
    AppDelegate(const Glib::RefPtr<Gtk::Application>& app, const Config& config, UriOpener& opener);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    void reloadGame();
    void checkUpdates();
    void openWebsite();

    GameWindow* game() { return game_.get(); }
    // The one updater of the process, made on first use.
    Updater& sharedUpdater();

  private:
    void buildMainMenu();
    void applicationDidFinishLaunching();

    Glib::RefPtr<Gtk::Application> app_;
    const Config& config_;
    UriOpener& opener_;
    std::unique_ptr<GameWindow> game_;
    std::unique_ptr<Alerts> alerts_;
    std::unique_ptr<Updater> updater_;
};

} // namespace vorlia
