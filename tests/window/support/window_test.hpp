// Helpers for real-window tests: the real engine in a real window under Xvfb.
//
//   WindowTest fixture   a registered Gtk::Application and fresh temporary folders
//   runUntil / runFor    spin the default main loop (the window, the engine, in-process servers)
//   evaluate             run JavaScript in the page and get its result as JSON text
//   pressKeys            real key presses through the X server (xdotool), to a focused window
//   saveScreenshot       a PNG of the whole display under build/screenshots/
//   LocalHttpServer      an in-process libsoup server on 127.0.0.1 that records what it sees
#pragma once

#include "app/config.hpp"
#include "app/launcher_app.hpp"
#include "base/handle.hpp"
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

// Spins the default main context until pred() holds or the timeout passes.
bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s);
void runFor(std::chrono::milliseconds duration);

// The JSON text of the script's result, or nothing if it threw or timed out.
std::optional<std::string> evaluate(WebKitWebView* web, const std::string& script,
                                    std::chrono::milliseconds timeout = 10s);
// Waits until the script's JSON result equals `expected`.
bool waitForValue(WebKitWebView* web, const std::string& script, const std::string& expected,
                  std::chrono::milliseconds timeout = 20s);

// Gives the window the X input focus and types the keys (xdotool key syntax, e.g. "ctrl+r").
void pressKeys(Gtk::Window& window, const std::string& keys);
// Clicks at a point given in the window's own coordinates.
void clickAt(Gtk::Window& window, int x, int y);
// The X window id of a realised window.
unsigned long xWindowId(Gtk::Window& window);

// Saves a PNG of the display as build/screenshots/<name>.png and returns its path.
std::filesystem::path saveScreenshot(const std::string& name);

// Records what would have been handed to the system instead of opening it.
class RecordingOpener final : public UriOpener {
  public:
    void open(const std::string& uri) override { opened.push_back(uri); }
    std::vector<std::string> opened;
};

// A fresh folder under the temporary folder, removed on destruction.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

struct RecordedRequest {
    std::string method;
    std::string host;
    std::string path;
    std::string query;
    std::map<std::string, std::string> headers;
};

// An HTTP server on 127.0.0.1 (any free port) that runs on the default main context.
class LocalHttpServer {
  public:
    struct Response {
        int status = 200;
        std::string contentType = "text/html; charset=utf-8";
        std::string body;
    };
    using Handler = std::function<Response(const RecordedRequest&)>;

    LocalHttpServer();
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Serves `path` (exact match on the path, query ignored) with the handler.
    void route(const std::string& path, Handler handler);
    void page(const std::string& path, const std::string& html);
    // Stops accepting connections (the port then refuses) or starts again on the same port.
    void stop();
    void restart();

    unsigned port() const { return port_; }
    std::string origin() const; // http://127.0.0.1:PORT
    const std::vector<RecordedRequest>& requests() const { return requests_; }
    std::size_t countRequests(const std::string& path) const;

  private:
    static void onRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer self);
    void listen();

    Handle<SoupServer> server_;
    unsigned port_ = 0;
    std::map<std::string, Handler> routes_;
    std::vector<RecordedRequest> requests_;
};

// A test configuration whose game host is the local server's address, with
// fresh folders and shortened delays. Hosts: game "127.0.0.1", site "localhost".
Config localConfig(const std::string& origin, const std::filesystem::path& folder);
inline Config localConfig(const LocalHttpServer& server, const TempFolder& folders) {
    return localConfig(server.origin(), folders.path());
}

// Starts the launcher in this process as the player does (the application's
// startup and activation through the LauncherApp) and waits until its game
// window is on screen.
void launchInProcess(Glib::RefPtr<Gtk::Application>& app, std::unique_ptr<LauncherApp>& launcher,
                     const Config& config, UriOpener& opener);

// Runs a whole launcher as main does (LauncherApp, the application's own run
// loop, single instance over D-Bus) for "ORIGIN FOLDER APPLICATION-ID".
int runLauncherChild(const std::string& childArgs);

// Base fixture: one registered application per test process.
class WindowTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Glib::RefPtr<Gtk::Application> app;
    TempFolder folders;
};

} // namespace vorlia::test
