#include "window/uri_opener.hpp"

#include <giomm/appinfo.h>
#include <glibmm/error.h>

namespace vorlia {

void SystemUriOpener::open(const std::string& uri) {
    try {
        Gio::AppInfo::launch_default_for_uri(uri);
    } catch (const Glib::Error&) {
        // Nothing to open it with: the navigation stays cancelled.
    }
}

} // namespace vorlia
