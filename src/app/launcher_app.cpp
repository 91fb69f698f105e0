#include "app/launcher_app.hpp"

#include "app/menu_model.hpp"
#include "app/rendering_choice.hpp"
#include "base/files.hpp"
#include "update/install_steps.hpp"

#include <gdkmm/display.h>
#include <gio/gio.h>
#include <giomm/menu.h>
#include <glib.h>
#include <glibmm/main.h>
#include <gtkmm/aboutdialog.h>
#include <gtkmm/icontheme.h>
#include <gtkmm/settings.h>
#include <sigc++/adaptors/track_obj.h>

namespace vorlia {

namespace {

// The desktop entry's StartupWMClass.
constexpr const char* windowClass = "Vorlia";

// Runs `chore` once on GLib's thread pool; nothing waits for its end.
void runInBackground(std::function<void()> chore) {
    using Chore = std::function<void()>;
    GTask* task = g_task_new(nullptr, nullptr, nullptr, nullptr);
    g_task_set_task_data(task, new Chore(std::move(chore)),
                         [](gpointer done) { delete static_cast<Chore*>(done); });
    g_task_run_in_thread(task, [](GTask* task, gpointer, gpointer data, GCancellable*) {
        (*static_cast<Chore*>(data))();
        g_task_return_boolean(task, TRUE);
    });
    g_object_unref(task);
}

} // namespace

GameEngineSettings gameEngineSettings(const Config& config, const LaunchHooks& hooks) {
    GameEngineSettings s;
    s.gameStartURL = config.gameStartURL;
    s.gameHost = config.gameHost;
    s.allowedHosts = config.allowedHosts;
    s.launcherVersion = config.launcherVersion;
    s.tokenKey = config.tokenKey;
    s.refreshInterval = config.timing.refreshInterval;
    s.startRequestTimeout = config.timing.startRequestTimeout;
    s.connectingNoticeDelay = config.timing.connectingNoticeDelay;
    s.retryBackOffScale = config.timing.retryBackOffScale;
    s.dataFolder = config.folders.data;
    s.cacheFolder = config.folders.cache;
    s.routeNetwork = hooks.routeNetwork;
    s.sleepBusAddress = hooks.sleepBusAddress;
    return s;
}

GameWindowSettings gameWindowSettings(const Config& config) {
    return GameWindowSettings{config.folders.state};
}

UpdateSettings updateSettings(const Config& config, const LaunchHooks& hooks) {
    UpdateSettings s;
    s.updateBaseURL = config.updateBaseURL;
    s.manifestPublicKeys = config.manifestPublicKeys;
    s.launcherVersion = config.launcherVersion;
    s.siteHost = config.siteHost;
    s.ioTimeout = config.timing.updaterIOTimeout;
    s.routeSession = hooks.routeSession;
    return s;
}

LauncherApp::LauncherApp(const Glib::RefPtr<Gtk::Application>& app, const Config& config, UriOpener& opener,
                         LaunchHooks hooks, RenderingChoice rendering)
    : app_(app), config_(config), opener_(opener), hooks_(std::move(hooks)), rendering_(std::move(rendering)),
      notPassedOn_(settingNames(rendering_)), startedAt_(g_get_real_time() / G_USEC_PER_SEC) {
    // GTK names the X11 window class after the program when the display
    // opens; docks match it with the desktop entry's StartupWMClass. (On
    // Wayland they match the application id with the entry's name.) Set only
    // when different: another thread may be reading the old name.
    if (g_strcmp0(g_get_prgname(), windowClass) != 0) {
        g_set_prgname(windowClass);
    }
    app_->signal_startup().connect([this] {
        // The page first: the engine starts its web process with the load,
        // and that start is the longest wait of all, so it runs while the
        // rest of the start-up does. The window shows at activation.
        GameEngineSettings settings = gameEngineSettings(config_, hooks_);
        settings.hardwareAcceleration = rendering_.engineAcceleration;
        engine_ = std::make_unique<GameEngine>(std::move(settings), opener_);
        game_ = std::make_unique<GameWindow>(app_, gameWindowSettings(config_), *engine_);
        engine_->start();
        game_->window().set_icon_name(config_.iconName);
        // One look for the whole application: menus, popups and dialogs in
        // GTK's dark style, matching the game's black frame.
        Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme() = true;
        // The folder's own icon, found by GTK wherever the folder is and
        // whatever the installed themes hold, for every window and the About logo.
        if (!config_.applicationFolder.empty()) {
            Gtk::IconTheme::get_for_display(Gdk::Display::get_default())
                ->add_search_path(config_.applicationFolder.string());
        }
        Gtk::Window::set_default_icon_name(config_.iconName);
        addActions();
        buildMenuBar();
    });
    // A second start of the launcher reaches the running one as another
    // activation: it raises the game window instead of opening a second.
    app_->signal_activate().connect([this] {
        if (opened_) {
            game_->window().present();
            return;
        }
        openGameWindow();
    });
}

void LauncherApp::openGameWindow() {
    opened_ = true;
    game_->window().present();
    if (hooks_.renderingShown) {
        hooks_.renderingShown(rendering_, engine_->web(), GTK_WINDOW(game_->window().gobj()));
    }
    // Off the start path: once the window has drawn. A few small files,
    // written only on a first start or after the folder moved.
    const auto keepMenuEntry = [this] {
        const auto kept =
            keepDesktopMenuEntry(config_.applicationFolder, g_get_tmp_dir(), config_.desktopDataHome,
                                 config_.applicationId, config_.iconName);
        // A failure is not logged: the player plays on, and the next start tries again.
        if (hooks_.desktopMenuKept) {
            hooks_.desktopMenuKept(kept ? *kept : DesktopMenuOutcome::notRegistered);
        }
    };
    Glib::signal_idle().connect_once(sigc::track_obj(keepMenuEntry, *this), Glib::PRIORITY_LOW);
    const auto checkAutomatically = [this] {
        // The work folders earlier runs left behind go with the first check,
        // off the main thread.
        runInBackground([temporary = std::filesystem::path(g_get_tmp_dir()),
                         version = config_.launcherVersion, startedAt = startedAt_,
                         running = applicationFolder()] {
            removeLeftoverWorkFolders(temporary, version, startedAt, running);
        });
        updater().check(false);
    };
    Glib::signal_timeout().connect_once(sigc::track_obj(checkAutomatically, *this),
                                        static_cast<unsigned>(config_.timing.automaticCheckDelay.count()));
}

void LauncherApp::addActions() {
    const auto withGame = [this](auto act) {
        return [this, act] {
            if (game_) {
                act(*game_);
            }
        };
    };
    const auto edit = [this](const char* command) {
        return [this, command] {
            if (engine_) {
                webkit_web_view_execute_editing_command(engine_->web(), command);
            }
        };
    };
    app_->add_action("about", [this] {
        auto* about = Gtk::make_managed<Gtk::AboutDialog>();
        about->set_program_name("Vorlia");
        about->set_version(config_.launcherVersion);
        about->set_website("https://" + config_.siteHost);
        about->set_logo_icon_name(config_.iconName);
        if (game_) {
            about->set_transient_for(game_->window());
            about->set_modal(true);
        }
        about->present();
    });
    app_->add_action("check-updates", [this] { checkForUpdates(); });
    app_->add_action("website", [this] { openWebsite(); });
    app_->add_action("hide", withGame([](GameWindow& game) { game.window().minimize(); }));
    app_->add_action("quit", [this] { quit(); });
    app_->add_action("cut", edit(WEBKIT_EDITING_COMMAND_CUT));
    app_->add_action("copy", edit(WEBKIT_EDITING_COMMAND_COPY));
    app_->add_action("paste", edit(WEBKIT_EDITING_COMMAND_PASTE));
    app_->add_action("select-all", edit(WEBKIT_EDITING_COMMAND_SELECT_ALL));
    app_->add_action("reload", [this] { reloadGame(); });
    app_->add_action("back-to-login", [this] { reloadGame(); });
    app_->add_action("fullscreen", withGame([](GameWindow& game) { game.toggleFullscreen(); }));
    app_->add_action("minimize", withGame([](GameWindow& game) { game.window().minimize(); }));
}

void LauncherApp::buildMenuBar() {
    auto bar = Gio::Menu::create();
    for (const Menu& menu : mainMenuModel()) {
        auto submenu = Gio::Menu::create();
        auto section = Gio::Menu::create();
        for (const MenuEntry& entry : menu.entries) {
            if (entry.isSeparator()) {
                // A GTK menu draws its separators between sections.
                submenu->append_section(section);
                section = Gio::Menu::create();
                continue;
            }
            section->append(entry.title, entry.action);
            if (!entry.accels.empty()) {
                app_->set_accels_for_action(
                    entry.action, std::vector<Glib::ustring>(entry.accels.begin(), entry.accels.end()));
            }
        }
        submenu->append_section(section);
        bar->append_submenu(menu.title, submenu);
    }
    app_->set_menubar(bar);
}

void LauncherApp::reloadGame() {
    if (engine_) {
        engine_->reloadGame();
    }
}

void LauncherApp::quit() {
    for (Gtk::Window* window : Gtk::Window::list_toplevels()) {
        if (!game_ || window != &game_->window()) {
            window->set_visible(false);
        }
    }
    if (game_) {
        game_->withdraw();
    }
    app_->quit();
}

void LauncherApp::checkForUpdates() {
    updater().check(true);
}

void LauncherApp::openWebsite() {
    opener_.open("https://" + config_.siteHost);
}

UpdateFlow& LauncherApp::updater() {
    if (!updater_) {
        GtkUpdateUi::Desktop desktop;
        desktop.parentWindow = [this]() -> Gtk::Window* { return game_ ? &game_->window() : nullptr; };
        desktop.alertShown = hooks_.alertShown;
        desktop.showInFileManager = [shown = hooks_.itemShown,
                                     notPassedOn = notPassedOn_](const std::filesystem::path& item) {
            if (shown) {
                shown(item);
            }
            showInFileManager(item, notPassedOn);
        };
        updateUi_ = std::make_unique<GtkUpdateUi>(config_.siteHost, opener_, std::move(desktop));
        InstallEnvironment environment = InstallEnvironment::system();
        environment.notPassedOn = notPassedOn_;
        updater_ = std::make_unique<UpdateFlow>(
            updateSettings(config_, hooks_), *updateUi_, [this] { quit(); }, std::move(environment));
    }
    return *updater_;
}

int runLauncher(const Config& config, LaunchHooks hooks) {
    // The one rendering decision, before GTK, D-Bus or the engine start a
    // thread that reads the environment. (JavaScriptCore's heap scavenger is
    // already running: the engine's library starts it as it loads, before
    // main, out of the launcher's reach.) What it sets
    // stays the launcher's own; a browser it opens or the launcher it
    // relaunches decides for itself.
    RenderingChoice rendering =
        chooseRendering(hooks.glFound ? *hooks.glFound : probeGl(), playerRendering());
    makeProcessSettings(rendering);
    auto app = Gtk::Application::create(config.applicationId);
    SystemUriOpener opener(settingNames(rendering));
    LauncherApp launcher(app, config, opener, std::move(hooks), std::move(rendering));
    // No arguments: the launcher takes nothing from its command line.
    return app->run();
}

} // namespace vorlia
