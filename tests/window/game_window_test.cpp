// The launcher's window as a player meets it: the real engine in a real
// window, a real HTTP server on loopback, real key presses.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "window/support/window_test.hpp"
#include "window/window_state.hpp"

#include <glib.h>
#include <glibmm/main.h>
#include <gsk/gl/gskglrenderer.h>
#include <gtest/gtest.h>
#include <gtkmm/aboutdialog.h>
#include <gtkmm/icontheme.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/settings.h>
#include <gtkmm/snapshot.h>
#include <gtkmm/widgetpaintable.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>

namespace vorlia::test {
namespace {

constexpr const char* startPath = "/act_web_tiyan/index.html";

class LauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.page(startPath, "<html><body style='background:#234;color:#fff'><h1>Game</h1></body></html>");
        config = localConfig(server, folders);
    }

    void launch() {
        launchInProcess(app, launcher, config, opener);
        ASSERT_TRUE(runUntil([&] { return server.countRequests(startPath) >= 1; }));
    }

    void TearDown() override {
        launcher.reset();
        runFor(100ms);
    }

    Gtk::ApplicationWindow& window() { return launcher->game()->window(); }

    HttpServer server;
    TempFolder folders;
    Config config;
    RecordingOpener opener;
    Glib::RefPtr<Gtk::Application> app;
    std::unique_ptr<LauncherApp> launcher;
};

std::string xprop(unsigned long id, const char* property) {
    return commandOutput("xprop -id " + std::to_string(id) + " " + property);
}

TEST_F(LauncherTest, WindowHasItsTitleDefaultSizeAndMinimum) {
    launch();
    EXPECT_EQ(window().get_title(), "Vorlia");
    // Laid out at its default size, not at the page's own small natural size.
    EXPECT_TRUE(runUntil([&] { return window().get_width() == 1280 && window().get_height() == 800; }, 5s))
        << window().get_width() << "x" << window().get_height();
    EXPECT_TRUE(window().get_resizable());
    // One look: the whole application asks GTK for its dark style.
    EXPECT_TRUE(Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme().get_value());
    saveScreenshot("game-window");

    // Asked for less than its minimum, the window shrinks to the minimum and
    // no further: GTK itself never lays it out below.
    window().set_default_size(400, 300);
    EXPECT_TRUE(runUntil([&] { return window().get_width() == 960 && window().get_height() == 600; }, 5s))
        << window().get_width() << "x" << window().get_height();
}

// What a window manager enforces: the minimum size hint on the X window.
TEST_F(LauncherTest, MinimumSizeIsHintedToTheWindowManager) {
    if (onWayland()) {
        GTEST_SKIP() << "reads the X window's WM_NORMAL_HINTS with xprop; a Wayland compositor keeps "
                        "the minimum to itself";
    }
    launch();
    EXPECT_NE(xprop(xWindowId(window()), "WM_NORMAL_HINTS").find("minimum size: 960 by 600"),
              std::string::npos)
        << xprop(xWindowId(window()), "WM_NORMAL_HINTS");
}

std::string rendererOf(Gtk::Window& window) {
    return G_OBJECT_TYPE_NAME(gtk_native_get_renderer(GTK_NATIVE(window.gobj())));
}

// The menu bar as GTK holds it: four menus, their entries in order (a GTK
// menu draws a separator between sections), each wired to an action the
// application has, with its keys as GTK names them.
TEST_F(LauncherTest, MenuBarHoldsEachEntryWiredToItsActionAndKeys) {
    launch();
    struct Row {
        std::string menu;
        int section;
        std::string title;
        std::string action;
        std::vector<Glib::ustring> accels;
    };
    const std::vector<Row> expected = {
        {"Vorlia", 0, "About Vorlia", "app.about", {}},
        {"Vorlia", 0, "Check for Updates\u2026", "app.check-updates", {}},
        {"Vorlia", 0, "Website\u2026", "app.website", {}},
        {"Vorlia", 1, "Hide Vorlia", "app.hide", {"<Control>h"}},
        {"Vorlia", 1, "Quit Vorlia", "app.quit", {"<Control>q"}},
        {"Edit", 0, "Cut", "app.cut", {"<Control>x"}},
        {"Edit", 0, "Copy", "app.copy", {"<Control>c"}},
        {"Edit", 0, "Paste", "app.paste", {"<Control>v"}},
        {"Edit", 0, "Select All", "app.select-all", {"<Control>a"}},
        {"View", 0, "Reload Game", "app.reload", {"<Control>r"}},
        {"View", 0, "Back to Login (F5)", "app.back-to-login", {"F5"}},
        {"View", 0, "Toggle Full Screen", "app.fullscreen", {"<Control>f", "F11"}},
        {"Window", 0, "Minimize", "app.minimize", {"<Control>m"}},
    };
    const auto text = [](GMenuModel* model, int item, const char* attribute) {
        gchar* value = nullptr;
        g_menu_model_get_item_attribute(model, item, attribute, "s", &value);
        const std::string out = value != nullptr ? value : "";
        g_free(value);
        return out;
    };
    std::vector<Row> actual;
    GMenuModel* bar = app->get_menubar()->gobj();
    for (int m = 0; m < g_menu_model_get_n_items(bar); ++m) {
        const auto menu = adopt(g_menu_model_get_item_link(bar, m, G_MENU_LINK_SUBMENU));
        ASSERT_TRUE(menu);
        for (int s = 0; s < g_menu_model_get_n_items(menu.get()); ++s) {
            const auto section = adopt(g_menu_model_get_item_link(menu.get(), s, G_MENU_LINK_SECTION));
            ASSERT_TRUE(section);
            for (int i = 0; i < g_menu_model_get_n_items(section.get()); ++i) {
                const std::string action = text(section.get(), i, G_MENU_ATTRIBUTE_ACTION);
                actual.push_back({text(bar, m, G_MENU_ATTRIBUTE_LABEL), s,
                                  text(section.get(), i, G_MENU_ATTRIBUTE_LABEL), action,
                                  app->get_accels_for_action(action)});
                // An entry whose action the application lacks would be greyed out.
                EXPECT_TRUE(app->has_action(action.substr(action.find('.') + 1))) << action;
            }
        }
    }
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].title);
        EXPECT_EQ(actual[i].menu, expected[i].menu);
        EXPECT_EQ(actual[i].section, expected[i].section);
        EXPECT_EQ(actual[i].title, expected[i].title);
        EXPECT_EQ(actual[i].action, expected[i].action);
        EXPECT_EQ(actual[i].accels, expected[i].accels);
    }
}

TEST_F(LauncherTest, StartRequestCarriesTheLauncherUserAgent) {
    launch();
    const HttpServer::Request& first = server.requests().front();
    EXPECT_EQ(first.path, startPath);
    EXPECT_EQ(first.query, "launcher=1");
    const std::string ua = first.headers.at("User-Agent");
    const std::string suffix = " VRLLauncher/7.3.1";
    ASSERT_GE(ua.size(), suffix.size());
    EXPECT_EQ(ua.substr(ua.size() - suffix.size()), suffix) << ua;
}

TEST_F(LauncherTest, VersionTheEngineCannotSendStillMarksTheLauncher) {
    config.launcherVersion = "";
    launch();
    const std::string ua = server.requests().front().headers.at("User-Agent");
    EXPECT_EQ(ua.substr(ua.size() - 12), " VRLLauncher") << ua;
}

TEST_F(LauncherTest, CtrlRAndF5EachReloadTheGame) {
    launch();
    ASSERT_TRUE(runUntil([&] { return webkit_web_view_is_loading(launcher->engine()->web()) == FALSE; }));
    pressKeys(window(), "ctrl+r");
    EXPECT_TRUE(runUntil([&] { return server.countRequests(startPath) == 2; }));
    ASSERT_TRUE(runUntil([&] { return webkit_web_view_is_loading(launcher->engine()->web()) == FALSE; }));
    pressKeys(window(), "F5");
    EXPECT_TRUE(runUntil([&] { return server.countRequests(startPath) == 3; }));
}

// Full screen is the game alone: no menu bar, and the keys still leave it.
TEST_F(LauncherTest, FullScreenTogglesWithCtrlFAndF11AndHidesTheMenuBar) {
    launch();
    EXPECT_TRUE(window().get_show_menubar());
    pressKeys(window(), "ctrl+f");
    EXPECT_TRUE(runUntil([&] { return window().is_fullscreen(); }, 5s));
    EXPECT_TRUE(runUntil([&] { return !window().get_show_menubar(); }, 5s));
    saveScreenshot("full-screen");
    pressKeys(window(), "F11");
    EXPECT_TRUE(runUntil([&] { return !window().is_fullscreen(); }, 5s));
    EXPECT_TRUE(runUntil([&] { return window().get_show_menubar(); }, 5s));
    pressKeys(window(), "F11");
    EXPECT_TRUE(runUntil([&] { return window().is_fullscreen() && !window().get_show_menubar(); }, 5s));
    pressKeys(window(), "ctrl+f");
    EXPECT_TRUE(runUntil([&] { return !window().is_fullscreen() && window().get_show_menubar(); }, 5s));
}

// A value of the [Desktop Entry] group of the build's application folder's entry.
std::string folderEntryValue(const char* key) {
    const Handle<GKeyFile> file(g_key_file_new());
    const auto entry = std::filesystem::path(VORLIA_BINARY_DIR) / "Vorlia.app" / "io.vorlia.Launcher.desktop";
    if (!g_key_file_load_from_file(file.get(), entry.c_str(), G_KEY_FILE_NONE, nullptr)) {
        return "no entry at " + entry.string();
    }
    const GText value(g_key_file_get_string(file.get(), "Desktop Entry", key, nullptr));
    return value ? value.get() : "";
}

// The first widget in the tree, depth first, that satisfies `matches`.
Gtk::Widget* findWidget(Gtk::Widget& widget, const std::function<bool(Gtk::Widget&)>& matches) {
    if (matches(widget)) {
        return &widget;
    }
    for (Gtk::Widget* child = widget.get_first_child(); child != nullptr; child = child->get_next_sibling()) {
        if (Gtk::Widget* found = findWidget(*child, matches)) {
            return found;
        }
    }
    return nullptr;
}

Gtk::Image* imageNamed(Gtk::Widget& widget, const std::string& iconName) {
    return dynamic_cast<Gtk::Image*>(findWidget(widget, [&](Gtk::Widget& w) {
        auto* image = dynamic_cast<Gtk::Image*>(&w);
        return image != nullptr && image->get_icon_name().raw() == iconName;
    }));
}

// GTK's own widgets without a C++ class: found by their type's name.
Gtk::Widget* widgetOfType(Gtk::Widget& widget, const char* typeName) {
    return findWidget(widget,
                      [&](Gtk::Widget& w) { return g_strcmp0(G_OBJECT_TYPE_NAME(w.gobj()), typeName) == 0; });
}

struct Rgb {
    int r, g, b;
};

// A widget drawn by a renderer, as a texture and its bytes (cairo's ARGB32
// in memory: blue, green, red, alpha).
struct Picture {
    Handle<GdkTexture> texture;
    int width = 0;
    int height = 0;
    std::vector<guchar> bytes;

    Rgb at(int x, int y) const {
        const auto i =
            (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 4;
        return Rgb{bytes[i + 2], bytes[i + 1], bytes[i]};
    }
};

Picture drawnWith(Gtk::Widget& widget, GskRenderer* renderer) {
    const auto paintable = Gtk::WidgetPaintable::create(widget);
    const int width = widget.get_width();
    const int height = widget.get_height();
    if (width <= 0 || height <= 0) {
        return {};
    }
    const auto snapshot = Gtk::Snapshot::create();
    paintable->snapshot(snapshot, width, height);
    const std::unique_ptr<GskRenderNode, decltype(&gsk_render_node_unref)> node(
        gtk_snapshot_to_node(snapshot->gobj()), gsk_render_node_unref);
    if (!node) {
        return {};
    }
    const graphene_rect_t area =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    Picture picture;
    picture.texture.reset(gsk_renderer_render_texture(renderer, node.get(), &area));
    picture.width = gdk_texture_get_width(picture.texture.get());
    picture.height = gdk_texture_get_height(picture.texture.get());
    picture.bytes.resize(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) *
                         4);
    gdk_texture_download(picture.texture.get(), picture.bytes.data(), static_cast<gsize>(picture.width) * 4);
    return picture;
}

// A widget's opaque pixels, drawn by the renderer of the surface it is on.
std::vector<Rgb> drawnPixels(Gtk::Widget& widget) {
    const Picture picture = drawnWith(widget, gtk_native_get_renderer(gtk_widget_get_native(widget.gobj())));
    std::vector<Rgb> pixels;
    for (std::size_t i = 0; i + 3 < picture.bytes.size(); i += 4) {
        if (picture.bytes[i + 3] == 255) {
            pixels.push_back(Rgb{picture.bytes[i + 2], picture.bytes[i + 1], picture.bytes[i]});
        }
    }
    return pixels;
}

bool near(Rgb a, Rgb b) {
    return std::abs(a.r - b.r) <= 12 && std::abs(a.g - b.g) <= 12 && std::abs(a.b - b.b) <= 12;
}

// Whether a widget, drawn as its window draws it, shows a colour somewhere.
bool drawsColour(Gtk::Widget& widget, Rgb colour) {
    const auto pixels = drawnPixels(widget);
    return std::any_of(pixels.begin(), pixels.end(), [&](const Rgb& p) { return near(p, colour); });
}

// The mean of a widget's opaque pixels' brightness, 0 (black) to 255; -1 when nothing is drawn.
double meanBrightness(Gtk::Widget& widget) {
    const auto pixels = drawnPixels(widget);
    if (pixels.empty()) {
        return -1;
    }
    double sum = 0;
    for (const Rgb& p : pixels) {
        sum += (p.r + p.g + p.b) / 3.0;
    }
    return sum / static_cast<double>(pixels.size());
}

// The page in the window the launcher drew with cairo is the page GTK's GL
// renderer draws from the same frame: not blank, each block where the page
// put it, and the whole picture alike within rounding. Both are saved.
TEST_F(LauncherTest, ThePageDrawsWithCairoAsWithGL) {
    server.page(
        startPath,
        "<html><body style='margin:0;background:#000'>"
        "<div style='position:absolute;left:40px;top:40px;width:200px;height:120px;background:#e33'></div>"
        "<div style='position:absolute;left:300px;top:200px;width:160px;height:160px;background:#3c6'></div>"
        "</body></html>");
    launch();
    ASSERT_EQ(rendererOf(window()), "GskCairoRenderer");
    ASSERT_TRUE(waitForValue(launcher->engine()->web(), "document.readyState", "\"complete\""));
    runFor(1s);
    Gtk::Widget* page = Glib::wrap(GTK_WIDGET(launcher->engine()->web()));
    const Picture cairo = drawnWith(*page, gtk_native_get_renderer(GTK_NATIVE(window().gobj())));

    const std::unique_ptr<GskRenderer, decltype(&g_object_unref)> gl(gsk_gl_renderer_new(), g_object_unref);
    GError* raw = nullptr;
    const bool realized = gsk_renderer_realize(gl.get(), nullptr, &raw);
    const Handle<GError> error(raw);
    ASSERT_TRUE(realized) << (error ? error->message : "");
    const Picture glPicture = drawnWith(*page, gl.get());
    gsk_renderer_unrealize(gl.get());

    const auto folder =
        std::filesystem::path(VORLIA_BINARY_DIR) / "screenshots" / (onWayland() ? "wayland" : "");
    std::filesystem::create_directories(folder);
    gdk_texture_save_to_png(cairo.texture.get(), (folder / "page-cairo.png").c_str());
    gdk_texture_save_to_png(glPicture.texture.get(), (folder / "page-gl.png").c_str());

    ASSERT_EQ(cairo.width, glPicture.width);
    ASSERT_EQ(cairo.height, glPicture.height);
    ASSERT_GT(cairo.width, 500);
    ASSERT_GT(cairo.height, 400);
    const struct {
        int x, y;
        Rgb colour;
    } places[] = {{140, 100, {0xee, 0x33, 0x33}},
                  {380, 280, {0x33, 0xcc, 0x66}},
                  {20, 20, {0, 0, 0}},
                  {cairo.width - 10, cairo.height - 10, {0, 0, 0}}};
    for (const auto& place : places) {
        SCOPED_TRACE(std::to_string(place.x) + "," + std::to_string(place.y));
        EXPECT_TRUE(near(cairo.at(place.x, place.y), place.colour));
        EXPECT_TRUE(near(glPicture.at(place.x, place.y), place.colour));
    }
    double difference = 0;
    for (std::size_t i = 0; i < cairo.bytes.size(); ++i) {
        difference += std::abs(cairo.bytes[i] - glPicture.bytes[i]);
    }
    EXPECT_LT(difference / static_cast<double>(cairo.bytes.size()), 2.0);
}

// The window is black, the page is not: a page that sets no background of its
// own is drawn on the engine's default white, as in any browser, while the
// view stays black until the first page commits (no white flash at the start).
TEST_F(LauncherTest, APageWithoutABackgroundIsOnTheEnginesDefaultAfterABlackStart) {
    HttpServer::Response slow{200, "text/html", "<html><body><h1 id='marker'>Game</h1></body></html>"};
    slow.delay = 3s;
    server.serve(startPath, slow);
    launch(); // the start request has arrived and waits for its answer
    Gtk::Widget* page = Glib::wrap(GTK_WIDGET(launcher->engine()->web()));
    ASSERT_TRUE(runUntil([&] { return page->get_mapped() && page->get_width() > 0; }));
    // Nothing, or black, over the black window: -1 when the view draws nothing yet.
    EXPECT_LT(meanBrightness(*page), 20) << "the view before the first page commits";
    ASSERT_EQ(evaluate(launcher->engine()->web(), "document.readyState"), "\"complete\"")
        << "the start page is still on its way";
    ASSERT_TRUE(waitForValue(launcher->engine()->web(),
                             "document.getElementById('marker')?.textContent ?? ''", "\"Game\""));
    const Rgb white{255, 255, 255};
    EXPECT_TRUE(runUntil(
        [&] {
            const Picture drawn = drawnWith(*page, gtk_native_get_renderer(GTK_NATIVE(window().gobj())));
            return drawn.width > 400 && near(drawn.at(drawn.width - 20, drawn.height - 20), white);
        },
        10s));
}

// A menu of the menu bar opens over the game with its entries, in the same
// dark style as the window's frame.
TEST_F(LauncherTest, AMenuOpensWithItsEntriesInTheDarkStyle) {
    if (onWayland()) {
        GTEST_SKIP() << "a menu pops up with the grab of a seat's input; headless Weston has no seat";
    }
    launch();
    Gtk::Widget* item = widgetOfType(window(), "GtkPopoverMenuBarItem");
    ASSERT_NE(item, nullptr);
    // What a click on the menu's title does, on X11 and Wayland alike.
    ASSERT_TRUE(item->activate());
    Gtk::Widget* menu = nullptr;
    ASSERT_TRUE(runUntil(
        [&] {
            menu = widgetOfType(*item, "GtkPopoverMenu");
            return menu != nullptr && menu->get_mapped() && menu->get_width() > 0;
        },
        5s));
    runFor(300ms);
    EXPECT_NE(findWidget(*menu,
                         [](Gtk::Widget& w) {
                             auto* label = dynamic_cast<Gtk::Label*>(&w);
                             return label != nullptr && label->get_text() == "About Vorlia";
                         }),
              nullptr);
    saveScreenshot("menu");
    const double brightness = meanBrightness(*menu);
    EXPECT_GE(brightness, 0);
    EXPECT_LT(brightness, 100) << "a light menu over the game's dark frame";
}

// The application folder's own icon reaches GTK though no theme folder holds
// it: the window's icon and the About dialog's logo are the folder's picture,
// and the window's class is the one the desktop entry names, by which docks
// group the window with the entry.
TEST_F(LauncherTest, OwnIconFromTheApplicationFolderAndTheEntrysWindowClass) {
    // What GTK finds without the launcher: no theme folder holds the icon.
    const auto themes = Gtk::IconTheme::create();
    ASSERT_FALSE(themes->has_icon(config.iconName)) << "a theme folder holds the icon already";
    const std::filesystem::path folder = folders.path() / "Vorlia.app";
    std::filesystem::create_directories(folder);
    const std::string iconFile = config.iconName + ".svg";
    std::filesystem::copy_file(std::filesystem::path(VORLIA_BINARY_DIR) / "Vorlia.app" / iconFile,
                               folder / iconFile);
    config.applicationFolder = folder;
    launch();

    EXPECT_EQ(config.iconName, folderEntryValue("Icon"));
    EXPECT_EQ(window().get_icon_name().raw(), config.iconName);
    const auto icon = Gtk::IconTheme::get_for_display(window().get_display())
                          ->lookup_icon(config.iconName, 128, 1, Gtk::TextDirection::NONE, {});
    ASSERT_TRUE(icon && icon->get_file());
    EXPECT_EQ(icon->get_file()->get_path(), (folder / iconFile).string());

    app->activate_action("about");
    Gtk::AboutDialog* about = nullptr;
    ASSERT_TRUE(runUntil([&] {
        for (Gtk::Window* w : Gtk::Window::list_toplevels()) {
            if (auto* dialog = dynamic_cast<Gtk::AboutDialog*>(w);
                dialog != nullptr && dialog->get_mapped()) {
                about = dialog;
            }
        }
        return about != nullptr;
    }));
    EXPECT_EQ(about->get_logo_icon_name().raw(), config.iconName);
    Gtk::Image* logo = imageNamed(*about, config.iconName);
    ASSERT_NE(logo, nullptr);
    // The folder's picture, not GTK's missing image: its frame and its V.
    ASSERT_TRUE(runUntil([&] { return logo->get_width() > 0; }));
    EXPECT_TRUE(drawsColour(*logo, Rgb{0x1b, 0x10, 0x30}));
    EXPECT_TRUE(drawsColour(*logo, Rgb{0xf5, 0xb9, 0x42}));
    saveScreenshot("about-dialog");

    // GTK names the X11 window class after the program.
    EXPECT_EQ(g_get_prgname(), folderEntryValue("StartupWMClass"));
    if (!onWayland()) {
        const std::string windowClass = folderEntryValue("StartupWMClass");
        EXPECT_NE(
            xprop(xWindowId(window()), "WM_CLASS").find("\"" + windowClass + "\", \"" + windowClass + "\""),
            std::string::npos)
            << xprop(xWindowId(window()), "WM_CLASS");
    }
}

TEST_F(LauncherTest, WebsiteOpensTheSiteHostExactly) {
    launch();
    app->activate_action("website");
    ASSERT_EQ(opener.opened.size(), 1U);
    EXPECT_EQ(opener.opened.front(), "https://localhost");
}

TEST_F(LauncherTest, SavedSizeIsRestored) {
    saveWindowState(config.folders.state, WindowState{1400, 900, false, false});
    launch();
    EXPECT_EQ(window().get_width(), 1400);
    EXPECT_EQ(window().get_height(), 900);
}

// The size the window had is kept however the player quits: by Ctrl+Q, by
// the Quit item (the application's quit action, as the menu activates it), or
// as the updater ends the launcher for a relaunch. The window leaves the screen
// before the application's teardown begins. The application runs its own loop,
// as main does, so that it ends as a player's does.
TEST_F(LauncherTest, ResizedWindowIsRestoredAfterEachQuit) {
    const std::pair<const char*, std::function<void(Gtk::Window&)>> roads[] = {
        {"Ctrl+Q", [](Gtk::Window& w) { pressKeys(w, "ctrl+q"); }},
        {"Quit", [this](Gtk::Window&) { app->activate_action("quit"); }},
        {"the updater's quit", [this](Gtk::Window&) { launcher->quit(); }},
    };
    int width = 1100;
    for (const auto& [name, quit] : roads) {
        SCOPED_TRACE(name);
        // An application of this process may still hold the last one's bus name.
        config.applicationId = "io.vorlia.WindowTest.Quit" + std::to_string(width);
        app = Gtk::Application::create(config.applicationId, Gio::Application::Flags::NON_UNIQUE);
        launcher = std::make_unique<LauncherApp>(app, config, opener, demo::standInHooks(config));
        bool shownAtShutdown = true;
        app->signal_shutdown().connect([&] { shownAtShutdown = window().get_visible(); }, false);
        bool resized = false;
        Glib::signal_timeout().connect(
            [&] {
                if (launcher->game() == nullptr || !window().get_mapped()) {
                    return true;
                }
                resizeWindow(window(), width, 700);
                resized = window().get_width() == width && window().get_height() == 700;
                quit(window());
                return false;
            },
            100);
        sigc::connection giveUp = Glib::signal_timeout().connect(
            [&] {
                app->quit();
                return false;
            },
            60'000);
        EXPECT_EQ(app->run(), 0);
        EXPECT_TRUE(giveUp.connected()) << "the launcher did not quit";
        giveUp.disconnect();
        ASSERT_TRUE(resized) << window().get_width() << "x" << window().get_height();
        EXPECT_FALSE(shownAtShutdown) << "the window was still on screen when the teardown began";
        launcher.reset();

        config.applicationId += ".Again";
        launch();
        EXPECT_EQ(window().get_width(), width);
        EXPECT_EQ(window().get_height(), 700);
        launcher.reset();
        width += 60;
    }
}

// The state is read before the window leaves the screen: a maximized window
// starts maximized again.
TEST_F(LauncherTest, MaximizedWindowIsRestoredMaximizedAfterQuit) {
    if (onWayland()) {
        GTEST_SKIP() << "the headless Weston configures a maximized window as 0x0 and then ends the "
                        "client for any other size";
    }
    launch();
    window().maximize();
    ASSERT_TRUE(runUntil([&] { return window().is_maximized(); }, 5s));
    launcher->quit();
    EXPECT_FALSE(window().get_visible());
    EXPECT_TRUE(loadWindowState(config.folders.state).maximized);
    launcher.reset();

    config.applicationId += ".Again";
    launch();
    EXPECT_TRUE(runUntil([&] { return window().is_maximized(); }, 5s));
}

TEST_F(LauncherTest, CorruptStateFileGivesTheDefaults) {
    std::filesystem::create_directories(config.folders.state);
    g_file_set_contents(windowStateFile(config.folders.state).c_str(), "\x01[[[ not a key file", -1, nullptr);
    launch();
    EXPECT_EQ(window().get_width(), 1280);
    EXPECT_EQ(window().get_height(), 800);
}

// ---------------------------------------------------------------------------
// Whole launcher processes: this test binary, started again in the child mode
// below, runs the launcher exactly as main does (LauncherApp, Gtk::Application
// run loop, single instance over D-Bus), against the parent's server.

constexpr const char* childEnv = "VORLIA_TEST_LAUNCHER_CHILD";

// This test binary in the child mode, against the server at `origin`.
Process startLauncherProcess(const std::string& origin, const std::filesystem::path& folder,
                             const std::string& appId) {
    ProcessOptions options;
    options.environment = environmentWith({{childEnv, origin + " " + folder.string() + " " + appId}});
    return Process({std::filesystem::read_symlink("/proc/self/exe").string()}, options);
}

// The game windows of every process: titled and classed "Vorlia". GDK's
// hidden client leader window carries the program's name as its title too.
std::vector<unsigned long> gameWindows() {
    std::vector<unsigned long> ids;
    std::istringstream in(commandOutput("xdotool search --all --name --class ^Vorlia$"));
    for (unsigned long id = 0; in >> id;) {
        ids.push_back(id);
    }
    return ids;
}

void closeWindow(unsigned long id) {
    const std::string command =
        (std::filesystem::path(VORLIA_BINARY_DIR) / "tests" / "x-close-window").string() + " " +
        std::to_string(id);
    ASSERT_TRUE(runCommand(command).succeeded()) << command;
}

class LauncherProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The page keeps something in local storage and a cookie the first
        // time, and reports what it finds every time.
        server.page(startPath, R"(<html><body><h1>Game</h1><script>
            if (!localStorage.getItem('k')) {
              localStorage.setItem('k', 'kept-' + Math.random().toString(36).slice(2));
              document.cookie = 'c=kept; max-age=86400; path=/';
            }
            fetch('/report?ls=' + encodeURIComponent(localStorage.getItem('k')) +
                  '&cookie=' + encodeURIComponent(document.cookie));
            </script></body></html>)");
        server.route("/report", [](const HttpServer::Request&) {
            return HttpServer::Response{200, "text/plain", ""};
        });
        appId = "io.vorlia.ProcessTest" + std::to_string(g_random_int());
    }

    std::vector<std::string> reports() const {
        std::vector<std::string> out;
        for (const auto& r : server.requests()) {
            if (r.path == "/report") {
                out.push_back(r.query);
            }
        }
        return out;
    }

    HttpServer server;
    TempFolder folders;
    std::string appId;
};

TEST_F(LauncherProcessTest, ClosingTheWindowEndsTheProcessAndStorageSurvivesARestart) {
    if (onWayland()) {
        GTEST_SKIP() << "closes another process's window as a window manager does "
                        "(WM_DELETE_WINDOW, found with xdotool)";
    }
    std::string firstReport;
    {
        const Process launcher = startLauncherProcess(server.origin(), folders.path(), appId);
        ASSERT_TRUE(runUntil([&] { return reports().size() == 1; }, 30s));
        firstReport = reports().front();
        ASSERT_TRUE(runUntil([&] { return gameWindows().size() == 1; }, 10s));
        runFor(1s); // let the engine write what the page stored
        closeWindow(gameWindows().front());
        EXPECT_TRUE(launcher.waitForEnd());
        EXPECT_TRUE(launcher.endedCleanly());
    }
    {
        const Process launcher = startLauncherProcess(server.origin(), folders.path(), appId);
        ASSERT_TRUE(runUntil([&] { return reports().size() == 2; }, 30s));
        const std::string second = reports().back();
        const std::string storedValue = firstReport.substr(0, firstReport.find('&'));
        EXPECT_EQ(second.substr(0, second.find('&')), storedValue) << "local storage was lost";
        EXPECT_NE(second.find("cookie=c%3Dkept"), std::string::npos) << second;
        ASSERT_TRUE(runUntil([&] { return gameWindows().size() == 1; }, 10s));
        closeWindow(gameWindows().front());
        EXPECT_TRUE(launcher.waitForEnd());
    }
}

// "Geometry: 1100x700" from xdotool, as "1100x700".
std::string windowSize(unsigned long id) {
    const std::string text = commandOutput("xdotool getwindowgeometry " + std::to_string(id));
    const std::size_t at = text.find("Geometry: ");
    return at == std::string::npos ? "" : text.substr(at + 10, text.find('\n', at) - at - 10);
}

// The size the player gave the window is kept whichever way the launcher is
// left: by its key, or by the Quit item (the application's quit action, here
// reached over D-Bus as the menu reaches it).
TEST_F(LauncherProcessTest, ResizedWindowIsRestoredHoweverThePlayerQuits) {
    if (onWayland()) {
        GTEST_SKIP() << "finds and resizes another process's window with xdotool; "
                        "ResizedWindowIsRestoredAfterEachQuit covers it on Wayland";
    }
    const std::string objectPath = "/" + [this] {
        std::string path = appId;
        std::replace(path.begin(), path.end(), '.', '/');
        return path;
    }();
    const std::pair<const char*, std::function<void(unsigned long)>> roads[] = {
        {"Ctrl+Q",
         [](unsigned long id) {
             commandOutput("xdotool windowactivate --sync " + std::to_string(id) +
                           " key --clearmodifiers ctrl+q");
         }},
        {"Quit",
         [&](unsigned long) {
             commandOutput("gdbus call --session --dest " + appId + " --object-path " + objectPath +
                           " --method org.gtk.Actions.Activate quit [] {}");
         }},
    };
    int width = 1100;
    for (const auto& [name, quit] : roads) {
        SCOPED_TRACE(name);
        const std::string size = std::to_string(width) + "x700";
        {
            const Process launcher = startLauncherProcess(server.origin(), folders.path(), appId);
            ASSERT_TRUE(runUntil([&] { return gameWindows().size() == 1; }, 30s));
            const unsigned long id = gameWindows().front();
            commandOutput("xdotool windowsize --sync " + std::to_string(id) + " " + std::to_string(width) +
                          " 700");
            ASSERT_TRUE(runUntil([&] { return windowSize(id) == size; }, 10s)) << windowSize(id);
            runFor(500ms);
            quit(id);
            EXPECT_TRUE(launcher.waitForEnd());
            EXPECT_TRUE(launcher.endedCleanly());
        }
        {
            const Process launcher = startLauncherProcess(server.origin(), folders.path(), appId);
            ASSERT_TRUE(runUntil([&] { return gameWindows().size() == 1; }, 30s));
            const unsigned long id = gameWindows().front();
            EXPECT_TRUE(runUntil([&] { return windowSize(id) == size; }, 10s)) << windowSize(id);
            closeWindow(id);
            EXPECT_TRUE(launcher.waitForEnd());
        }
        width += 60;
    }
}

TEST_F(LauncherProcessTest, SecondStartOpensNoSecondWindow) {
    if (onWayland()) {
        GTEST_SKIP() << "counts the windows of every process with xdotool";
    }
    const Process first = startLauncherProcess(server.origin(), folders.path(), appId);
    ASSERT_TRUE(runUntil([&] { return reports().size() == 1; }, 30s));
    ASSERT_TRUE(runUntil([&] { return gameWindows().size() == 1; }, 10s));

    const Process second = startLauncherProcess(server.origin(), folders.path(), appId);
    EXPECT_TRUE(second.waitForEnd());
    EXPECT_TRUE(second.endedCleanly());
    runFor(1s);
    EXPECT_EQ(gameWindows().size(), 1U);
    EXPECT_EQ(reports().size(), 1U) << "the game page was loaded a second time";
    EXPECT_FALSE(first.ended());
    closeWindow(gameWindows().front());
    EXPECT_TRUE(first.waitForEnd());
}

} // namespace
} // namespace vorlia::test
