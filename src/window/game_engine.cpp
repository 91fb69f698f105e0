#include "window/game_engine.hpp"

#include "rules/bridge_script.hpp"
#include "rules/token.hpp"
#include "rules/user_agent.hpp"
#include "window/navigation_policy.hpp"
#include "window/offline_page.hpp"

#include <glibmm/main.h>

#include <glib-unix.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vorlia {

namespace {

std::string textOrEmpty(const char* text) {
    return text != nullptr ? text : "";
}

} // namespace

GameEngine::GameEngine(GameEngineSettings settings, UriOpener& opener)
    : settings_(std::move(settings)), opener_(opener) {
    configure();
    navigation_ = std::make_unique<NavigationPolicy>(
        web_.get(), settings_.allowedHosts, settings_.gameHost, opener_,
        [this](std::optional<std::string> failedURI) { loadFailed(std::move(failedURI)); });
}

GameEngine::~GameEngine() {
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
    startRequestTimer_.disconnect();
    navigation_.reset();
    if (committedHandler_ != 0) {
        g_signal_handler_disconnect(web_.get(), committedHandler_);
    }
}

void GameEngine::configure() {
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

    // The page script, fixed for the life of the engine with the token of this moment.
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

void GameEngine::start() {
    committedHandler_ = g_signal_connect(
        web_.get(), "load-changed", G_CALLBACK(+[](WebKitWebView* web, WebKitLoadEvent event, gpointer data) {
            auto* self = static_cast<GameEngine*>(data);
            if (event != WEBKIT_LOAD_COMMITTED) {
                return;
            }
            self->endStartWait();
            GdkRGBA engineDefault;
            gdk_rgba_parse(&engineDefault, "white");
            webkit_web_view_set_background_color(web, &engineDefault);
            self->step({PageEventKind::committed, textOrEmpty(webkit_web_view_get_uri(web)), ""});
        }),
        this);
    loadWithStartLimit(settings_.gameStartURL, true);

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
}

void GameEngine::loadWithStartLimit(const std::string& uri, bool connectingNotice) {
    endStartWait();
    if (connectingNotice) {
        connectingTimer_ = Glib::signal_timeout().connect(
            [this] {
                connecting_.emit(true);
                return false;
            },
            static_cast<unsigned>(settings_.connectingNoticeDelay.count()));
    }
    // The engine has no per-request time limit; this stands in for it.
    startRequestTimer_ = Glib::signal_timeout().connect(
        [this, uri] {
            webkit_web_view_stop_loading(web_.get());
            loadFailed(uri);
            return false;
        },
        static_cast<unsigned>(settings_.startRequestTimeout.count()));
    webkit_web_view_load_uri(web_.get(), uri.c_str());
}

void GameEngine::endStartWait() {
    startRequestTimer_.disconnect();
    connectingTimer_.disconnect();
    connecting_.emit(false);
}

void GameEngine::loadFailed(std::optional<std::string> failedURI) {
    endStartWait();
    step({PageEventKind::loadFailed, failedURI.value_or(""),
          textOrEmpty(webkit_web_view_get_uri(web_.get()))});
}

void GameEngine::reloadGame() {
    step({PageEventKind::reloadAsked, "", ""});
}

void GameEngine::step(const PageEvent& event) {
    const PageStep next = pageTransition(page_, event, settings_.gameStartURL);
    page_ = next.next;
    if (page_.phase == PagePhase::page) {
        retryTimer_.disconnect();
    }
    switch (next.action) {
    case PageAction::none:
        return;
    case PageAction::showOfflinePage:
        webkit_web_view_load_html(web_.get(), offlinePageHTML().c_str(), nullptr);
        return;
    case PageAction::scheduleRetry:
        scheduleRetry(next.backOffStep);
        return;
    case PageAction::retry:
    case PageAction::reloadFailed:
        retryTimer_.disconnect();
        // Only the player's own Reload shows the connecting word: the offline
        // page stays still between automatic attempts.
        loadWithStartLimit(next.load, next.action == PageAction::reloadFailed);
        return;
    case PageAction::reload:
        webkit_web_view_reload(web_.get());
        return;
    }
}

void GameEngine::scheduleRetry(std::uint32_t backOffStep) {
    retryTimer_.disconnect();
    const auto delay = retryDelay(backOffStep, g_random_double());
    const double ms = static_cast<double>(delay.count()) * settings_.retryBackOffScale;
    retryTimer_ = Glib::signal_timeout().connect(
        [this] {
            step({PageEventKind::retryDue, "", ""});
            return false;
        },
        static_cast<unsigned>(std::clamp(ms, 1.0, static_cast<double>(G_MAXINT))));
}

void GameEngine::watchNetwork() {
    // The system's own view of the network (netlink, or NetworkManager where it
    // runs): a network coming back retries at once, without polling.
    networkHandler_ =
        g_signal_connect(g_network_monitor_get_default(), "network-changed",
                         G_CALLBACK(+[](GNetworkMonitor*, gboolean available, gpointer self) {
                             if (available) {
                                 static_cast<GameEngine*>(self)->step({PageEventKind::retryDue, "", ""});
                             }
                         }),
                         this);
}

void GameEngine::watchSleep() {
    // Reached without blocking the start. Without a system bus (a container, a
    // minimal session) there is no resume signal; the other pushes remain. A
    // cancelled wait means the engine has gone and is not touched.
    sleepBusWait_ = adopt(g_cancellable_new());
    if (settings_.sleepBusAddress.empty()) {
        g_bus_get(
            G_BUS_TYPE_SYSTEM, sleepBusWait_.get(),
            +[](GObject*, GAsyncResult* result, gpointer self) {
                if (GDBusConnection* bus = g_bus_get_finish(result, nullptr)) {
                    static_cast<GameEngine*>(self)->listenForResume(adopt(bus));
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
                static_cast<GameEngine*>(self)->listenForResume(adopt(bus));
            }
        },
        this);
}

void GameEngine::listenForResume(Handle<GDBusConnection> bus) {
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
                    static_cast<GameEngine*>(self)->refreshPageToken();
                }
            }
        },
        this, nullptr);
}

void GameEngine::armHourTimer() {
    if (hourTimer_ < 0) {
        hourTimer_ = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        if (hourTimer_ < 0) {
            return;
        }
        hourWatch_ = g_unix_fd_add(
            hourTimer_, G_IO_IN,
            +[](int fd, GIOCondition, gpointer data) -> gboolean {
                auto* self = static_cast<GameEngine*>(data);
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

void GameEngine::refreshPageToken() {
    const std::string snippet = refreshSnippet(accessTokenNow(settings_.tokenKey));
    // Result and failure are ignored: the next tick simply tries again.
    webkit_web_view_evaluate_javascript(web_.get(), snippet.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
}

} // namespace vorlia
