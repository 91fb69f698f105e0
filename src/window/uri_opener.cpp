#include "window/uri_opener.hpp"

#include <giomm/appinfo.h>
#include <giomm/applaunchcontext.h>
#include <glibmm/error.h>

#include <utility>

namespace vorlia {

SystemUriOpener::SystemUriOpener(std::vector<std::string> notPassedOn)
    : notPassedOn_(std::move(notPassedOn)) {}

void SystemUriOpener::open(const std::string& uri) {
    const auto context = Gio::AppLaunchContext::create();
    for (const std::string& name : notPassedOn_) {
        context->unsetenv(name);
    }
    try {
        Gio::AppInfo::launch_default_for_uri(uri, context);
    } catch (const Glib::Error&) {
        // Nothing to open it with: the navigation stays cancelled.
    }
}

} // namespace vorlia
