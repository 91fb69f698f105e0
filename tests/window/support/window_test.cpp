#include "window/support/window_test.hpp"

#include "app/builtin.hpp"
#include "app/launcher_app.hpp"
#include "demo/route.hpp"

#include <gdk/x11/gdkx.h>
#include <glib.h>
#include <glibmm/main.h>
#include <gtkmm/native.h>

#include <cstdlib>
#include <sstream>

namespace vorlia::test {

std::optional<std::string> evaluate(WebKitWebView* web, const std::string& script,
                                    std::chrono::milliseconds timeout) {
    struct Result {
        bool done = false;
        std::optional<std::string> json;
    };
    auto result = std::make_shared<Result>();
    auto* holder = new std::shared_ptr<Result>(result);
    webkit_web_view_evaluate_javascript(
        web, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
            std::unique_ptr<std::shared_ptr<Result>> r(static_cast<std::shared_ptr<Result>*>(data));
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error);
            if (value != nullptr) {
                GText json(jsc_value_to_json(value, 0));
                (*r)->json = json ? std::string(json.get()) : std::string("undefined");
                g_object_unref(value);
            }
            g_clear_error(&error);
            (*r)->done = true;
        },
        holder);
    runUntil([&] { return result->done; }, timeout);
    return result->json;
}

bool waitForValue(WebKitWebView* web, const std::string& script, const std::string& expected,
                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (evaluate(web, script, 5s) == expected) {
            return true;
        }
        runFor(100ms);
    }
    return false;
}

unsigned long xWindowId(Gtk::Window& window) {
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window.gobj()));
    return surface != nullptr ? gdk_x11_surface_get_xid(surface) : 0;
}

namespace {

void runCommand(const std::string& command) {
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, &status, &error)) {
        ADD_FAILURE() << "could not run " << command << ": " << error->message;
        g_clear_error(&error);
        return;
    }
    EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr)) << command;
}

} // namespace

void pressKeys(Gtk::Window& window, const std::string& keys) {
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    runCommand("xdotool windowfocus --sync " + id);
    runFor(200ms);
    runCommand("xdotool key --clearmodifiers " + keys);
    runFor(200ms);
}

void clickAt(Gtk::Window& window, int x, int y) {
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    runCommand("xdotool windowfocus --sync " + id);
    runCommand("xdotool mousemove --window " + id + " " + std::to_string(x) + " " + std::to_string(y) +
               " click 1");
    runFor(200ms);
}

std::filesystem::path saveScreenshot(const std::string& name) {
    const std::filesystem::path folder = std::filesystem::path(VORLIA_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / (name + ".png");
    // Let the compositor catch up with the last frame.
    runFor(500ms);
    runCommand("import -window root " + file.string());
    return file;
}

Config localConfig(const std::string& origin, const std::filesystem::path& folder) {
    Config c = configFor("127.0.0.1", "localhost", "7.3.1",
                         Folders{folder / "data", folder / "cache", folder / "state"});
    c.gameStartURL = origin + "/act_web_tiyan/index.html?launcher=1";
    c.updateBaseURL = origin + "/download/";
    c.applicationId = "io.vorlia.WindowTest";
    c.timing.automaticCheckDelay = std::chrono::hours(1); // no update check unless a test asks
    return c;
}

void launchInProcess(Glib::RefPtr<Gtk::Application>& app, std::unique_ptr<LauncherApp>& launcher,
                     const Config& config, UriOpener& opener) {
    app = Gtk::Application::create(config.applicationId, Gio::Application::Flags::NON_UNIQUE);
    launcher = std::make_unique<LauncherApp>(app, config, opener, demo::standInHooks(config));
    app->register_application();
    app->activate();
    ASSERT_NE(launcher->game(), nullptr);
    Gtk::Window& window = launcher->game()->window();
    ASSERT_TRUE(runUntil([&] { return window.get_mapped() && window.get_width() > 0; }));
}

int runLauncherChild(const std::string& childArgs) {
    std::istringstream in(childArgs);
    std::string origin;
    std::string folder;
    std::string appId;
    in >> origin >> folder >> appId;
    Config config = localConfig(origin, folder);
    config.applicationId = appId;
    return runLauncher(config, demo::standInHooks(config));
}

void WindowTest::SetUp() {
    app = Gtk::Application::create("io.vorlia.WindowTest", Gio::Application::Flags::NON_UNIQUE);
    app->register_application();
}

void WindowTest::TearDown() {
    runFor(100ms);
    app.reset();
}

} // namespace vorlia::test
