#include "app/app_delegate.hpp"

#include "app/menu_model.hpp"

#include <giomm/menu.h>
#include <giomm/simpleaction.h>
#include <glibmm/main.h>
#include <gtkmm/aboutdialog.h>

namespace vorlia {
namespace {

void runEditingCommand(GameWindow* game, const char* command) {
    if (game != nullptr) {
        webkit_web_view_execute_editing_command(game->web(), command);
    }
}

} // namespace

AppDelegate::AppDelegate(const Glib::RefPtr<Gtk::Application>& app, const Config& config, UriOpener& opener)
    : app_(app), config_(config), opener_(opener) {
    app_->signal_startup().connect([this] { buildMainMenu(); });
    // A second start of the launcher reaches the running one as another
    // activation: it raises the game window instead of opening a second.
    app_->signal_activate().connect([this] {
        if (game_) {
            game_->window().present();
            return;
        }
        applicationDidFinishLaunching();
    });
}

void AppDelegate::applicationDidFinishLaunching() {
    game_ = std::make_unique<GameWindow>(app_, config_, opener_);
    game_->window().present();
    Glib::signal_timeout().connect_once([this] { sharedUpdater().check(false); },
                                        static_cast<unsigned>(config_.timing.automaticCheckDelay.count()));
}

void AppDelegate::buildMainMenu() {
    const auto add = [this](const char* name, auto handler) {
        auto action = Gio::SimpleAction::create(name);
        action->signal_activate().connect([handler, this](const Glib::VariantBase&) { handler(this); });
        app_->add_action(action);
    };
    add("about", [](AppDelegate* self) {
        auto* about = new Gtk::AboutDialog();
        about->set_program_name("Vorlia");
        about->set_version(self->config_.launcherVersion);
        about->set_website("https://" + self->config_.siteHost);
        about->set_logo_icon_name("io.vorlia.Launcher");
        if (self->game_) {
            about->set_transient_for(self->game_->window());
            about->set_modal(true);
        }
        about->set_hide_on_close(true);
        about->signal_hide().connect([about] { delete about; }, true);
        about->present();
    });
    add("check-updates", [](AppDelegate* self) { self->checkUpdates(); });
    add("website", [](AppDelegate* self) { self->openWebsite(); });
    add("hide", [](AppDelegate* self) {
        if (self->game_) {
            self->game_->window().minimize();
        }
    });
    add("quit", [](AppDelegate* self) { self->app_->quit(); });
    add("cut", [](AppDelegate* self) { runEditingCommand(self->game_.get(), WEBKIT_EDITING_COMMAND_CUT); });
    add("copy", [](AppDelegate* self) { runEditingCommand(self->game_.get(), WEBKIT_EDITING_COMMAND_COPY); });
    add("paste",
        [](AppDelegate* self) { runEditingCommand(self->game_.get(), WEBKIT_EDITING_COMMAND_PASTE); });
    add("select-all",
        [](AppDelegate* self) { runEditingCommand(self->game_.get(), WEBKIT_EDITING_COMMAND_SELECT_ALL); });
    add("reload", [](AppDelegate* self) { self->reloadGame(); });
    add("back-to-login", [](AppDelegate* self) { self->reloadGame(); });
    add("fullscreen", [](AppDelegate* self) {
        if (self->game_) {
            self->game_->toggleFullscreen();
        }
    });
    add("minimize", [](AppDelegate* self) {
        if (self->game_) {
            self->game_->window().minimize();
        }
    });

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

void AppDelegate::reloadGame() {
    if (game_) {
        game_->reloadGame();
    }
}

void AppDelegate::checkUpdates() {
    sharedUpdater().check(true);
}

void AppDelegate::openWebsite() {
    opener_.open("https://" + config_.siteHost);
}

Updater& AppDelegate::sharedUpdater() {
    if (!updater_) {
        alerts_ = std::make_unique<GtkAlerts>(
            [this]() -> Gtk::Window* { return game_ ? &game_->window() : nullptr; });
        updater_ = std::make_unique<Updater>(config_, *alerts_, [this] { app_->quit(); });
    }
    return *updater_;
}

} // namespace vorlia
