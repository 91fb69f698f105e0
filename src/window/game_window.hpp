// The one game window: a GTK application window whose whole content is the
// engine's web view, with the connecting word over it, and whose size and
// state are kept between launches.
#pragma once

#include "window/game_engine.hpp"
#include "window/window_state.hpp"

#include <gtkmm/application.h>
#include <gtkmm/applicationwindow.h>
#include <sigc++/connection.h>

#include <filesystem>
#include <memory>

namespace vorlia {

// What the game window needs of the launcher's configuration.
struct GameWindowSettings {
    std::filesystem::path stateFolder; // the window state key file
};

class GameWindow {
  public:
    // Builds the window around the engine's view, which it shows for as long
    // as it lives; the engine outlives it.
    GameWindow(const Glib::RefPtr<Gtk::Application>& app, GameWindowSettings settings, GameEngine& engine);
    ~GameWindow();
    GameWindow(const GameWindow&) = delete;
    GameWindow& operator=(const GameWindow&) = delete;

    Gtk::ApplicationWindow& window() { return *window_; }

    void toggleFullscreen();
    // "Connecting to the game…" is over the page.
    bool connectingShown() const;

    // For a launcher about to end: saves the window's state and takes the
    // window off the screen now, not when the teardown reaches it.
    void withdraw();

  private:
    void build(GameEngine& engine);
    void saveState();
    WindowState currentState() const;

    const GameWindowSettings settings_;
    std::unique_ptr<Gtk::ApplicationWindow> window_;
    Gtk::Widget* connecting_ = nullptr; // owned by the window
    sigc::connection connectingChanged_;
    sigc::connection shutdown_;
};

} // namespace vorlia
