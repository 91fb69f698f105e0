#include "app/app_delegate.hpp"
#include "app/builtin.hpp"
#include "window/uri_opener.hpp"

#include <glib.h>
#include <gtkmm/application.h>

#ifdef VORLIA_STANDIN_ROUTE
#include "app/standin_route.hpp"
#endif

int main() {
    // WebKitGTK's DMA-BUF renderer leaves a blank window on many NVIDIA and
    // some Wayland setups; the shared-memory path works everywhere. The engine
    // reads this before it starts.
    g_setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", TRUE);

    vorlia::Config config = vorlia::builtInConfig();
#ifdef VORLIA_STANDIN_ROUTE
    config = vorlia::withStandInRoute(std::move(config));
#endif
    const vorlia::Config& constants = config;

    auto app = Gtk::Application::create(constants.applicationId);
    vorlia::SystemUriOpener opener;
    vorlia::AppDelegate delegate(app, constants, opener);
    // No arguments: the launcher takes nothing from its command line.
    return app->run();
}
