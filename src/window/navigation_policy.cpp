#include "window/navigation_policy.hpp"

// Placeholder until the navigation rules land: no second web view, and a
// failed load shows the offline page.
namespace vorlia {
namespace {

GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) {
    return nullptr;
}

gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*, gpointer data) {
    auto* self = static_cast<NavigationPolicy::ShowOffline*>(data);
    (*self)(uri != nullptr ? std::optional<std::string>(uri) : std::nullopt);
    return TRUE;
}

} // namespace

NavigationPolicy::NavigationPolicy(WebKitWebView* web, const Config& config, UriOpener& opener,
                                   ShowOffline showOffline)
    : web_(web), config_(config), opener_(opener), showOffline_(std::move(showOffline)) {
    handlers_.push_back(g_signal_connect(web_, "create", G_CALLBACK(onCreate), this));
    handlers_.push_back(g_signal_connect(web_, "load-failed", G_CALLBACK(onLoadFailed), &showOffline_));
}

NavigationPolicy::~NavigationPolicy() {
    for (const gulong h : handlers_) {
        g_signal_handler_disconnect(web_, h);
    }
}

} // namespace vorlia
