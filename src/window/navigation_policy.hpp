// Connects the navigation rules and the offline page to the web view's signals.
#pragma once

#include "window/uri_opener.hpp"

#include <webkit/webkit.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

// Whether a failed load means the page could not be reached. A load that was
// only cancelled or superseded (another navigation started, a navigation
// turned into a hand-over, the engine taking over a media load) is not a
// failure: the page the user is going to must not be replaced.
bool isRealLoadFailure(const GError* error);

class NavigationPolicy {
  public:
    // showOffline receives the URI that failed to load, when there is one. The
    // end of the engine's web process keeps the engine's own behaviour: the
    // offline page's words are about the network, not a crash.
    using ShowOffline = std::function<void(std::optional<std::string> failedURI)>;

    // `allowedHosts` and `gameHost` are the navigation rule's own values.
    NavigationPolicy(WebKitWebView* web, std::vector<std::string> allowedHosts, std::string gameHost,
                     UriOpener& opener, ShowOffline showOffline);
    ~NavigationPolicy();
    NavigationPolicy(const NavigationPolicy&) = delete;
    NavigationPolicy& operator=(const NavigationPolicy&) = delete;

  private:
    static gboolean onDecidePolicy(WebKitWebView* web, WebKitPolicyDecision* decision,
                                   WebKitPolicyDecisionType type, gpointer self);
    static GtkWidget* onCreate(WebKitWebView* web, WebKitNavigationAction* action, gpointer self);
    static gboolean onLoadFailed(WebKitWebView* web, WebKitLoadEvent event, gchar* failingURI, GError* error,
                                 gpointer self);
    void decide(WebKitNavigationPolicyDecision* decision, bool newWindow);

    WebKitWebView* web_;
    std::vector<std::string> allowedHosts_;
    std::string gameHost_;
    UriOpener& opener_;
    ShowOffline showOffline_;
    std::vector<gulong> handlers_;
};

} // namespace vorlia
