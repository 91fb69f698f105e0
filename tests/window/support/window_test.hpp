// Helpers for real-window tests: the real engine in a real window, under Xvfb
// or under headless Weston; each helper chooses by the display in use.
//
//   WindowTest fixture   a registered Gtk::Application and fresh temporary folders
//   evaluate             run JavaScript in the page and get its result as JSON text
//   pressKeys, clickAt   real key presses and clicks through the X server (xdotool); on
//                        Wayland what they trigger (the shortcut's action, the key binding)
//   saveScreenshot       a PNG of the whole display under build/screenshots/ (wayland/ within)
//   startDemoLauncher    the demo executable routed to the stand-in hosts, in a private home
// and, from tests/support, runUntil/runFor, TempFolder, HttpServer, RecordingOpener and
// the process kit (Process, runCommand, processTable).
#pragma once

#include "app/config.hpp"
#include "app/launcher_app.hpp"
#include "base/handle.hpp"
#include "support/http_server.hpp"
#include "support/main_loop.hpp"
#include "support/process.hpp"
#include "support/recording_opener.hpp"
#include "support/standin.hpp"
#include "support/temp_folder.hpp"
#include "window/uri_opener.hpp"

#include <gtest/gtest.h>
#include <gtkmm/application.h>
#include <gtkmm/window.h>
#include <libsoup/soup.h>
#include <webkit/webkit.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorlia::test {

using namespace std::chrono_literals;

// The JSON text of the script's result, or nothing if it threw or timed out.
std::optional<std::string> evaluate(WebKitWebView* web, const std::string& script,
                                    std::chrono::milliseconds timeout = 10s);
// Waits until the script's JSON result equals `expected`.
bool waitForValue(WebKitWebView* web, const std::string& script, const std::string& expected,
                  std::chrono::milliseconds timeout = 20s);

// True under Wayland, where X11's own tools (xdotool, xprop, X window ids) have nothing to reach.
bool onWayland();

// Gives the window the X input focus and types the keys (xdotool key syntax,
// e.g. "ctrl+r" or "Tab space"). On Wayland: the application action the
// shortcut is bound to, or Return, Tab and space as a dialog's key bindings.
void pressKeys(Gtk::Window& window, const std::string& keys);
// Clicks at a point given in the window's surface coordinates. On Wayland:
// the page element's own click() there, or the button there activated.
void clickAt(Gtk::Window& window, int x, int y);
// Resizes the window as a player does, through the window manager (xdotool);
// on Wayland, where the compositor leaves a floating window's size to the
// client, through GTK. Waits until the window has that size.
void resizeWindow(Gtk::Window& window, int width, int height);
// The X window id of a realised window; 0 on Wayland.
unsigned long xWindowId(Gtk::Window& window);

// Saves a PNG of the display as build/screenshots/<name>.png (under Wayland
// build/screenshots/wayland/<name>.png) and returns its path.
std::filesystem::path saveScreenshot(const std::string& name);

// A test configuration whose game host is the local server's address, with
// fresh folders and shortened delays. Hosts: game "127.0.0.1", site "localhost".
Config localConfig(const std::string& origin, const std::filesystem::path& folder);
inline Config localConfig(const HttpServer& server, const TempFolder& folders) {
    return localConfig(server.origin(), folders.path());
}

// Starts the launcher in this process as the player does (the application's
// startup and activation through the LauncherApp) and waits until its game
// window is on screen. `made`, when given, sees the launcher once its game
// window is made, before the main loop first runs.
void launchInProcess(Glib::RefPtr<Gtk::Application>& app, std::unique_ptr<LauncherApp>& launcher,
                     const Config& config, UriOpener& opener,
                     const std::function<void(LauncherApp&)>& made = {});

// Runs a whole launcher as main does (LauncherApp, the application's own run
// loop, single instance over D-Bus) for "ORIGIN FOLDER APPLICATION-ID".
int runLauncherChild(const std::string& childArgs);

// The demo executable as the run command starts it, routed to `hosts`, with
// its private home in `home` and `extra` settings besides. The rendering
// settings this test process made for itself stay here: the launcher decides
// as on a player's machine.
Process startDemoLauncher(const StandIn& hosts, const std::filesystem::path& home,
                          const Settings& extra = {});

// Base fixture: one registered application per test process.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Glib::RefPtr<Gtk::Application> app;
    TempFolder folders;
};

} // namespace vorlia::test
