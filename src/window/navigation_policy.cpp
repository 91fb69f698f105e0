#include "window/navigation_policy.hpp"

#include "base/handle.hpp"
#include "rules/navigation.hpp"

namespace vorlia {
namespace {

std::optional<std::string> optionalText(const char* text) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::string(text);
}

} // namespace

bool isRealLoadFailure(const GError* error) {
    if (error == nullptr) {
        return true;
    }
    const bool benign = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
                        g_error_matches(error, WEBKIT_POLICY_ERROR,
                                        WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE) ||
                        g_error_matches(error, WEBKIT_MEDIA_ERROR, WEBKIT_MEDIA_ERROR_WILL_HANDLE_LOAD) ||
                        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    return !benign;
}

NavigationPolicy::NavigationPolicy(WebKitWebView* web, std::vector<std::string> allowedHosts,
                                   std::string gameHost, UriOpener& opener, ShowOffline showOffline)
    : web_(web), allowedHosts_(std::move(allowedHosts)), gameHost_(std::move(gameHost)), opener_(opener),
      showOffline_(std::move(showOffline)) {
    handlers_.push_back(g_signal_connect(web_, "decide-policy", G_CALLBACK(onDecidePolicy), this));
    handlers_.push_back(g_signal_connect(web_, "create", G_CALLBACK(onCreate), this));
    handlers_.push_back(g_signal_connect(web_, "load-failed", G_CALLBACK(onLoadFailed), this));
}

NavigationPolicy::~NavigationPolicy() {
    for (const gulong h : handlers_) {
        g_signal_handler_disconnect(web_, h);
    }
}

gboolean NavigationPolicy::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                          WebKitPolicyDecisionType type, gpointer self) {
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
        type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
        // Responses keep the engine's own behaviour.
        return FALSE;
    }
    static_cast<NavigationPolicy*>(self)->decide(WEBKIT_NAVIGATION_POLICY_DECISION(decision),
                                                 type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION);
    return TRUE;
}

void NavigationPolicy::decide(WebKitNavigationPolicyDecision* decision, bool newWindow) {
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(decision);
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    const NavigationRequest plain{
        optionalText(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr),
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED,
        !newWindow,
    };
    auto* policy = WEBKIT_POLICY_DECISION(decision);
    switch (decideNavigation(plain, allowedHosts_, gameHost_)) {
    case NavigationDecision::allow:
        webkit_policy_decision_use(policy);
        return;
    case NavigationDecision::cancel:
        webkit_policy_decision_ignore(policy);
        return;
    case NavigationDecision::cancelAndLoadHere: {
        // The request belongs to the action: keep it alive past the answer.
        Handle<WebKitURIRequest> keep(WEBKIT_URI_REQUEST(g_object_ref(request)));
        webkit_policy_decision_ignore(policy);
        webkit_web_view_load_request(web_, keep.get());
        return;
    }
    case NavigationDecision::cancelAndHandOver:
        opener_.open(*plain.url);
        webkit_policy_decision_ignore(policy);
        return;
    }
    webkit_policy_decision_ignore(policy);
}

GtkWidget* NavigationPolicy::onCreate(WebKitWebView*, WebKitNavigationAction* action, gpointer self) {
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    if (const auto uri = optionalText(request != nullptr ? webkit_uri_request_get_uri(request) : nullptr)) {
        static_cast<NavigationPolicy*>(self)->opener_.open(*uri);
    }
    // Never a second web view.
    return nullptr;
}

gboolean NavigationPolicy::onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failingURI, GError* error,
                                        gpointer self) {
    if (isRealLoadFailure(error)) {
        static_cast<NavigationPolicy*>(self)->showOffline_(optionalText(failingURI));
    }
    return TRUE;
}

} // namespace vorlia
