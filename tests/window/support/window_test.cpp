#include "window/support/window_test.hpp"

#include "app/builtin.hpp"
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "rules/rendering.hpp"

#include <gdk/wayland/gdkwayland.h>
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

bool onWayland() {
    // A test may ask before its application has opened the display.
    if (gdk_display_get_default() == nullptr) {
        gtk_init();
    }
    return GDK_IS_WAYLAND_DISPLAY(gdk_display_get_default());
}

unsigned long xWindowId(Gtk::Window& window) {
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window.gobj()));
    return surface != nullptr && GDK_IS_X11_SURFACE(surface) ? gdk_x11_surface_get_xid(surface) : 0;
}

namespace {

// Runs a command, bounded by the kit: a focus or a screenshot that never
// comes must fail the test, not hang it.
void mustRun(const std::string& command, const std::filesystem::path& folder = {}) {
    const CommandResult result = runCommand(command, 15s, folder);
    EXPECT_TRUE(result.succeeded()) << command << ": " << result.failure;
}

// Headless Weston has no seat that a test could type or click into, so on
// Wayland a key reaches the window as what it is bound to there: an
// application shortcut activates its action, and a dialog's keys move the
// focus or activate a button as GTK's own key bindings do.
void pressOnWayland(Gtk::Window& window, const std::string& combo) {
    std::string accel;
    std::string key = combo;
    for (std::size_t plus; (plus = key.find('+')) != std::string::npos; key.erase(0, plus + 1)) {
        const std::string modifier = key.substr(0, plus);
        accel += modifier == "ctrl" ? "<Control>" : modifier == "shift" ? "<Shift>" : "<" + modifier + ">";
    }
    accel += key;
    if (Glib::RefPtr<Gtk::Application> app = window.get_application()) {
        const std::vector<Glib::ustring> actions = app->get_actions_for_accel(accel);
        if (!actions.empty()) {
            EXPECT_TRUE(
                gtk_widget_activate_action(GTK_WIDGET(window.gobj()), actions.front().c_str(), nullptr))
                << actions.front();
            return;
        }
    }
    GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window.gobj()));
    if (accel == "Return") {
        if (focus == nullptr || !gtk_widget_activate(focus)) {
            g_signal_emit_by_name(window.gobj(), "activate-default");
        }
    } else if (accel == "Tab") {
        window.child_focus(Gtk::DirectionType::TAB_FORWARD);
    } else if (accel == "space") {
        g_signal_emit_by_name(window.gobj(), "activate-focus");
    } else if (accel == "Escape" && GTK_IS_DIALOG(window.gobj())) {
        g_signal_emit_by_name(window.gobj(), "close");
    } else {
        ADD_FAILURE() << "no way to press " << combo << " on Wayland";
    }
}

// Nor a pointer: a click on the page is the clicked element's own click(),
// which the engine runs as a user gesture, so that links, forms and
// window.open take the roads a real click takes; a click on a button
// activates it.
void clickOnWayland(Gtk::Window& window, double x, double y) {
    double surfaceX = 0;
    double surfaceY = 0;
    gtk_native_get_surface_transform(GTK_NATIVE(window.gobj()), &surfaceX, &surfaceY);
    GtkWidget* target =
        gtk_widget_pick(GTK_WIDGET(window.gobj()), x - surfaceX, y - surfaceY, GTK_PICK_DEFAULT);
    for (GtkWidget* w = target; w != nullptr; w = gtk_widget_get_parent(w)) {
        if (WEBKIT_IS_WEB_VIEW(w)) {
            graphene_point_t inWindow{static_cast<float>(x - surfaceX), static_cast<float>(y - surfaceY)};
            graphene_point_t inView{};
            ASSERT_TRUE(gtk_widget_compute_point(GTK_WIDGET(window.gobj()), w, &inWindow, &inView));
            const std::string script = "(() => { const e = document.elementFromPoint(" +
                                       std::to_string(inView.x) + ", " + std::to_string(inView.y) +
                                       "); if (e) { e.click(); } return !!e; })()";
            EXPECT_EQ(evaluate(WEBKIT_WEB_VIEW(w), script), "true")
                << "nothing to click at " << x << "," << y;
            return;
        }
        if (GTK_IS_BUTTON(w)) {
            gtk_widget_activate(w);
            return;
        }
    }
    ADD_FAILURE() << "no way to click " << (target != nullptr ? G_OBJECT_TYPE_NAME(target) : "nothing")
                  << " on Wayland";
}

} // namespace

void pressKeys(Gtk::Window& window, const std::string& keys) {
    if (onWayland()) {
        std::istringstream combos(keys);
        for (std::string combo; combos >> combo;) {
            pressOnWayland(window, combo);
            runFor(200ms);
        }
        return;
    }
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    mustRun("xdotool windowfocus --sync " + id);
    runFor(200ms);
    mustRun("xdotool key --clearmodifiers " + keys);
    runFor(200ms);
}

void clickAt(Gtk::Window& window, int x, int y) {
    if (onWayland()) {
        clickOnWayland(window, x, y);
        runFor(200ms);
        return;
    }
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    mustRun("xdotool windowfocus --sync " + id);
    mustRun("xdotool mousemove --window " + id + " " + std::to_string(x) + " " + std::to_string(y) +
            " click 1");
    runFor(200ms);
}

void resizeWindow(Gtk::Window& window, int width, int height) {
    if (onWayland()) {
        // The compositor leaves a floating window's size to the client.
        window.set_default_size(width, height);
    } else {
        runUntil([&] { return xWindowId(window) != 0; }, 5s);
        mustRun("xdotool windowsize --sync " + std::to_string(xWindowId(window)) + " " +
                std::to_string(width) + " " + std::to_string(height));
    }
    runUntil([&] { return window.get_width() == width && window.get_height() == height; }, 10s);
}

std::filesystem::path saveScreenshot(const std::string& name) {
    const std::filesystem::path folder =
        std::filesystem::path(VORLIA_BINARY_DIR) / "screenshots" / (onWayland() ? "wayland" : "");
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / (name + ".png");
    std::filesystem::remove(file);
    // Let the compositor catch up with the last frame.
    runFor(500ms);
    if (!onWayland()) {
        mustRun("import -window root " + file.string());
        return file;
    }
    // The compositor's own picture of its output, popups and dialogs
    // included, as on X11; weston-screenshooter names it after the time,
    // in its working folder.
    TempFolder shot;
    mustRun("weston-screenshooter", shot.path());
    for (const auto& entry : std::filesystem::directory_iterator(shot.path())) {
        std::filesystem::copy_file(entry.path(), file, std::filesystem::copy_options::overwrite_existing);
    }
    EXPECT_TRUE(std::filesystem::exists(file)) << file;
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
                     const Config& config, UriOpener& opener, const std::function<void(LauncherApp&)>& made) {
    app = Gtk::Application::create(config.applicationId, Gio::Application::Flags::NON_UNIQUE);
    launcher = std::make_unique<LauncherApp>(app, config, opener, demo::standInHooks(config));
    app->register_application();
    ASSERT_NE(launcher->game(), nullptr);
    if (made) {
        made(*launcher);
    }
    app->activate();
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

Process startDemoLauncher(const StandIn& hosts, const std::filesystem::path& home, const Settings& extra) {
    DemoLauncherOptions options;
    options.proxyURL = hosts.proxyURL();
    options.certificate = hosts.certificateFile();
    options.home = home;
    options.extra = extra;
    options.without = playerRenderingSettings();
    return startDemoLauncher(options);
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
