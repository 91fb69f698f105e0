#include "window/game_window.hpp"

#include "rules/bridge_script.hpp"
#include "rules/token.hpp"
#include "rules/user_agent.hpp"
#include "window/navigation_policy.hpp"
#include "window/offline_page.hpp"

#include <gdkmm/display.h>
#include <glibmm/main.h>
#include <gtkmm/box.h>
#include <gtkmm/cssprovider.h>
#include <gtkmm/eventcontrollerscroll.h>
#include <gtkmm/gesturezoom.h>
#include <gtkmm/label.h>
#include <gtkmm/overlay.h>
#include <gtkmm/spinner.h>
#include <gtkmm/stylecontext.h>

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vorlia {

GameWindow::GameWindow(const Glib::RefPtr<Gtk::Application>& app, GameWindowSettings settings,
                       UriOpener& opener)
    : settings_(std::move(settings)), opener_(opener) {
    configureEngine();
    buildWindow();
    app->add_window(*window_);
    navigation_ = std::make_unique<NavigationPolicy>(
        web_.get(), settings_.allowedHosts, settings_.gameHost, opener_,
        [this](std::optional<std::string> failedURI) { showOfflinePage(std::move(failedURI)); });
    loadStartPage();

    refresh_ = Glib::signal_timeout().connect(
        [this] {
            refreshPageToken();
            return true;
        },
        static_cast<unsigned>(settings_.refreshInterval.count()));
    // The monotonic timer above stands still while the machine sleeps: a
    // resume and the wall clock's hour push a fresh token too.
    watchSleep();
    armHourTimer();
    watchNetwork();
    // Every road out of the application (Quit, its key, a required update
    // declined, the relaunch after an update) ends here, not only the close button.
    shutdown_ = app->signal_shutdown().connect([this] { saveState(); });
}

GameWindow::~GameWindow() {
    shutdown_.disconnect();
    connectingTimer_.disconnect();
    refresh_.disconnect();
    retryTimer_.disconnect();
    if (networkHandler_ != 0) {
        g_signal_handler_disconnect(g_network_monitor_get_default(), networkHandler_);
    }
    g_cancellable_cancel(sleepBusWait_.get());
    if (sleepSubscription_ != 0) {
        g_dbus_connection_signal_unsubscribe(sleepBus_.get(), sleepSubscription_);
    }
    if (hourWatch_ != 0) {
        g_source_remove(hourWatch_);
    }
    if (hourTimer_ >= 0) {
        close(hourTimer_);
    }
    stopStartRequestTimer();
    navigation_.reset();
    if (committedHandler_ != 0) {
        g_signal_handler_disconnect(web_.get(), committedHandler_);
    }
}

void GameWindow::configureEngine() {
    session_ = adopt(webkit_network_session_new(settings_.dataFolder.c_str(), settings_.cacheFolder.c_str()));
    if (settings_.routeNetwork) {
        settings_.routeNetwork(session_.get());
    }
    // Cookies are kept in memory unless the session is told where to keep them.
    const std::string cookies = (settings_.dataFolder / "cookies.sqlite").string();
    webkit_cookie_manager_set_persistent_storage(webkit_network_session_get_cookie_manager(session_.get()),
                                                 cookies.c_str(), WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);

    webSettings_ = adopt(webkit_settings_new());
    webkit_settings_set_javascript_can_open_windows_automatically(webSettings_.get(), FALSE);
    webkit_settings_set_media_playback_requires_user_gesture(webSettings_.get(), FALSE);
    const std::string userAgent = std::string(webkit_settings_get_user_agent(webSettings_.get())) + " " +
                                  userAgentProduct(settings_.launcherVersion);
    webkit_settings_set_user_agent(webSettings_.get(), userAgent.c_str());
    webkit_settings_set_enable_developer_extras(webSettings_.get(), FALSE);
    webkit_settings_set_enable_back_forward_navigation_gestures(webSettings_.get(), FALSE);
    if (!settings_.hardwareAcceleration) {
        webkit_settings_set_hardware_acceleration_policy(webSettings_.get(),
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    }

    // The page script, fixed for the life of the window with the token of this moment.
    contentManager_ = adopt(webkit_user_content_manager_new());
    const std::string script =
        bridgeScript(settings_.launcherVersion, settings_.gameHost, accessTokenNow(settings_.tokenKey));
    // No world name: the page's own world, where the refresh snippet runs too.
    WebKitUserScript* userScript =
        webkit_user_script_new(script.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_.get(), userScript);
    webkit_user_script_unref(userScript);

    web_ = ref(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session_.get(),
                                            "user-content-manager", contentManager_.get(), "settings",
                                            webSettings_.get(), nullptr)));
    // Black, as the window around it, only until the first document commits:
    // no white flash at the start, and then the engine's own default under a
    // page that sets no background of its own.
    const GdkRGBA black{0.0F, 0.0F, 0.0F, 1.0F};
    webkit_web_view_set_background_color(web_.get(), &black);
}

void GameWindow::buildWindow() {
    window_ = std::make_unique<Gtk::ApplicationWindow>();
    window_->set_title("Vorlia");
    const WindowState state = loadWindowState(settings_.stateFolder);
    window_->set_default_size(state.width, state.height);
    window_->set_size_request(minimumWindowWidth, minimumWindowHeight);
    window_->set_resizable(true);
    window_->set_show_menubar(true);

    auto css = Gtk::CssProvider::create();
    // Only the game's black frame: the menu bar and dialogs take the
    // application's dark style from GTK.
    css->load_from_data("window.vorlia-game { background-color: black; }");
    Gtk::StyleContext::add_provider_for_display(window_->get_display(), css,
                                                GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    window_->add_css_class("vorlia-game");

    Gtk::Widget* view = Glib::wrap(GTK_WIDGET(web_.get()));
    view->set_hexpand(true);
    view->set_vexpand(true);

    // A game has no page zoom: Ctrl+scroll and pinch are swallowed before the engine sees them.
    auto scroll = Gtk::EventControllerScroll::create();
    scroll->set_flags(Gtk::EventControllerScroll::Flags::BOTH_AXES);
    scroll->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    scroll->signal_scroll().connect(
        [scroll = scroll.get()](double, double) {
            return (scroll->get_current_event_state() & Gdk::ModifierType::CONTROL_MASK) ==
                   Gdk::ModifierType::CONTROL_MASK;
        },
        false);
    view->add_controller(scroll);
    auto pinch = Gtk::GestureZoom::create();
    pinch->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    pinch->signal_begin().connect([pinch = pinch.get()](Gdk::EventSequence* sequence) {
        pinch->set_sequence_state(sequence, Gtk::EventSequenceState::CLAIMED);
    });
    view->add_controller(pinch);

    // A quiet word over the black while a slow host keeps the player waiting.
    auto* connecting = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
    auto* spinner = Gtk::make_managed<Gtk::Spinner>();
    spinner->set_spinning(true);
    auto* label = Gtk::make_managed<Gtk::Label>("Connecting to the game\u2026");
    label->add_css_class("dim-label");
    connecting->append(*spinner);
    connecting->append(*label);
    connecting->set_halign(Gtk::Align::CENTER);
    connecting->set_valign(Gtk::Align::CENTER);
    connecting->set_can_target(false);
    connecting->set_visible(false);
    connecting_ = connecting;
    auto* layers = Gtk::make_managed<Gtk::Overlay>();
    layers->set_child(*view);
    layers->add_overlay(*connecting);
    window_->set_child(*layers);
    if (state.maximized) {
        window_->maximize();
    }
    if (state.fullscreen) {
        window_->fullscreen();
        window_->set_show_menubar(false);
    }
    // Full screen is the game alone: the menu bar goes while the shortcuts,
    // leaving full screen among them, keep working.
    window_->property_fullscreened().signal_changed().connect(
        [this] { window_->set_show_menubar(!window_->is_fullscreen()); });
    window_->signal_close_request().connect(
        [this] {
            saveState();
            return false;
        },
        false);
}

void GameWindow::loadStartPage() {
    committedHandler_ = g_signal_connect(
        web_.get(), "load-changed", G_CALLBACK(+[](WebKitWebView* web, WebKitLoadEvent event, gpointer data) {
            auto* self = static_cast<GameWindow*>(data);
            if (event != WEBKIT_LOAD_COMMITTED) {
                return;
            }
            self->stopStartRequestTimer();
            self->hideConnecting();
            const char* uri = webkit_web_view_get_uri(web);
            const bool blank = uri != nullptr && std::string(uri) == "about:blank";
            GdkRGBA engineDefault;
            gdk_rgba_parse(&engineDefault, "white");
            webkit_web_view_set_background_color(web, &engineDefault);
            self->step(blank ? PageEvent::offlineCommitted : PageEvent::pageCommitted);
        }),
        this);
    loadWithStartLimit(settings_.gameStartURL);
}

void GameWindow::loadWithStartLimit(const std::string& uri, bool connectingNotice) {
    stopStartRequestTimer();
    hideConnecting();
    if (connectingNotice) {
        connectingTimer_ = Glib::signal_timeout().connect(
            [this] {
                connecting_->set_visible(true);
                return false;
            },
            static_cast<unsigned>(settings_.connectingNoticeDelay.count()));
    }
    // The engine has no per-request time limit; this stands in for it.
    startRequestTimer_ = Glib::signal_timeout().connect(
        [this, uri] {
            webkit_web_view_stop_loading(web_.get());
            showOfflinePage(uri);
            return false;
        },
        static_cast<unsigned>(settings_.startRequestTimeout.count()));
    webkit_web_view_load_uri(web_.get(), uri.c_str());
}

void GameWindow::stopStartRequestTimer() {
    startRequestTimer_.disconnect();
}

void GameWindow::hideConnecting() {
    connectingTimer_.disconnect();
    connecting_->set_visible(false);
}

bool GameWindow::connectingShown() const {
    return connecting_->get_visible();
}

void GameWindow::showOfflinePage(std::optional<std::string> failedURI) {
    stopStartRequestTimer();
    hideConnecting();
    if (failedURI && !failedURI->empty() && *failedURI != "about:blank") {
        retryURI_ = std::move(*failedURI);
    } else if (page_ == PageState::page) {
        const char* current = webkit_web_view_get_uri(web_.get());
        retryURI_ =
            (current != nullptr && std::string(current) != "about:blank") ? current : settings_.gameStartURL;
    }
    step(PageEvent::loadFailed);
}

void GameWindow::reloadGame() {
    step(PageEvent::reloadAsked);
}

void GameWindow::step(PageEvent event) {
    const PageStep next = pageTransition(page_, event);
    page_ = next.next;
    if (page_ == PageState::page) {
        retryTimer_.disconnect();
        retryAttempt_ = 0;
    }
    switch (next.action) {
    case PageAction::none:
        return;
    case PageAction::showOfflinePage:
        webkit_web_view_load_html(web_.get(), offlinePageHTML().c_str(), nullptr);
        return;
    case PageAction::scheduleRetry:
        scheduleRetry();
        return;
    case PageAction::retry:
        retryTimer_.disconnect();
        // Only the player's own Reload shows the connecting word: the offline
        // page stays still between automatic attempts.
        loadWithStartLimit(retryURI_.empty() ? settings_.gameStartURL : retryURI_,
                           event == PageEvent::reloadAsked);
        return;
    case PageAction::reload:
        webkit_web_view_reload(web_.get());
        return;
    }
}

void GameWindow::scheduleRetry() {
    retryTimer_.disconnect();
    const auto delay = retryDelay(retryAttempt_, g_random_double());
    retryAttempt_ = retryAttempt_ == UINT32_MAX ? retryAttempt_ : retryAttempt_ + 1;
    const double ms = static_cast<double>(delay.count()) * settings_.retryBackOffScale;
    retryTimer_ = Glib::signal_timeout().connect(
        [this] {
            step(PageEvent::retryDue);
            return false;
        },
        static_cast<unsigned>(std::clamp(ms, 1.0, static_cast<double>(G_MAXINT))));
}

void GameWindow::watchNetwork() {
    // The system's own view of the network (netlink, or NetworkManager where it
    // runs): a network coming back retries at once, without polling.
    networkHandler_ = g_signal_connect(g_network_monitor_get_default(), "network-changed",
                                       G_CALLBACK(+[](GNetworkMonitor*, gboolean available, gpointer self) {
                                           if (available) {
                                               static_cast<GameWindow*>(self)->step(PageEvent::retryDue);
                                           }
                                       }),
                                       this);
}

void GameWindow::watchSleep() {
    // Reached without blocking the start. Without a system bus (a container, a
    // minimal session) there is no resume signal; the other pushes remain. A
    // cancelled wait means the window has gone and is not touched.
    sleepBusWait_ = adopt(g_cancellable_new());
    if (settings_.sleepBusAddress.empty()) {
        g_bus_get(
            G_BUS_TYPE_SYSTEM, sleepBusWait_.get(),
            +[](GObject*, GAsyncResult* result, gpointer self) {
                if (GDBusConnection* bus = g_bus_get_finish(result, nullptr)) {
                    static_cast<GameWindow*>(self)->listenForResume(adopt(bus));
                }
            },
            this);
        return;
    }
    g_dbus_connection_new_for_address(
        settings_.sleepBusAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, sleepBusWait_.get(),
        +[](GObject*, GAsyncResult* result, gpointer self) {
            if (GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr)) {
                static_cast<GameWindow*>(self)->listenForResume(adopt(bus));
            }
        },
        this);
}

void GameWindow::listenForResume(Handle<GDBusConnection> bus) {
    sleepBus_ = std::move(bus);
    sleepSubscription_ = g_dbus_connection_signal_subscribe(
        sleepBus_.get(), "org.freedesktop.login1", "org.freedesktop.login1.Manager", "PrepareForSleep",
        "/org/freedesktop/login1", nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        +[](GDBusConnection*, const char*, const char*, const char*, const char*, GVariant* parameters,
            gpointer self) {
            // false: the system has just woken up.
            if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) {
                gboolean sleeping = TRUE;
                g_variant_get(parameters, "(b)", &sleeping);
                if (!sleeping) {
                    static_cast<GameWindow*>(self)->refreshPageToken();
                }
            }
        },
        this, nullptr);
}

void GameWindow::armHourTimer() {
    if (hourTimer_ < 0) {
        hourTimer_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (hourTimer_ < 0) {
            return;
        }
        hourWatch_ = g_unix_fd_add(
            hourTimer_, G_IO_IN,
            +[](int fd, GIOCondition, gpointer data) -> gboolean {
                auto* self = static_cast<GameWindow*>(data);
                std::uint64_t expirations = 0;
                // ECANCELED: the wall clock was set; the hour may have changed with it.
                const bool read = ::read(fd, &expirations, sizeof expirations) == sizeof expirations;
                if (read || errno == ECANCELED) {
                    self->refreshPageToken();
                }
                self->armHourTimer();
                return G_SOURCE_CONTINUE;
            },
            this);
    }
    const std::int64_t now = g_get_real_time() / G_USEC_PER_SEC;
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(nextTokenChange(now));
    timerfd_settime(hourTimer_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &at, nullptr);
}

void GameWindow::toggleFullscreen() {
    if (window_->is_fullscreen()) {
        window_->unfullscreen();
    } else {
        window_->fullscreen();
    }
}

void GameWindow::refreshPageToken() {
    const std::string snippet = refreshSnippet(accessTokenNow(settings_.tokenKey));
    // Result and failure are ignored: the next tick simply tries again.
    webkit_web_view_evaluate_javascript(web_.get(), snippet.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
}

WindowState GameWindow::currentState() const {
    WindowState state;
    window_->get_default_size(state.width, state.height);
    if (state.width <= 0 || state.height <= 0) {
        state = WindowState{};
    }
    state.maximized = window_->is_maximized();
    state.fullscreen = window_->is_fullscreen();
    return state;
}

void GameWindow::withdraw() {
    // Read while the window still shows (a hidden one need not report itself
    // maximized), written once it has gone: the file may wait for the disk.
    const WindowState state = currentState();
    shutdown_.disconnect();
    window_->set_visible(false);
    // The display server hears of it now, not when the teardown next speaks to it.
    window_->get_display()->flush();
    saveWindowState(settings_.stateFolder, state);
}

void GameWindow::saveState() {
    saveWindowState(settings_.stateFolder, currentState());
}

} // namespace vorlia
