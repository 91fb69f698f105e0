// Connects the navigation rules and the offline page to the web view's signals.
#pragma once

#include "app/config.hpp"
#include "window/uri_opener.hpp"

#include <webkit/webkit.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

class NavigationPolicy {
  public:
    // showOffline receives the URI whose load failed, when there is one.
    using ShowOffline = std::function<void(std::optional<std::string> failedURI)>;

    NavigationPolicy(WebKitWebView* web, const Config& config, UriOpener& opener, ShowOffline showOffline);
    ~NavigationPolicy();
    NavigationPolicy(const NavigationPolicy&) = delete;
    NavigationPolicy& operator=(const NavigationPolicy&) = delete;

  private:
    WebKitWebView* web_;
    const Config& config_;
    UriOpener& opener_;
    ShowOffline showOffline_;
    std::vector<gulong> handlers_;
};

} // namespace vorlia
