// The demo and test flavour's entry point: the production launcher, routed to
// the loopback stand-in hosts when VORLIA_STANDIN_PROXY is set, and kept out
// of the desktop menu unless VORLIA_DESKTOP_MENU is "1"; with the main-loop
// stall probe when VORLIA_DEMO_STALL_LOG names a file.
#include "app/builtin.hpp"
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "demo/stall_probe.hpp"

#include <cstdio>

int main() {
    vorlia::demo::startStallProbeFromEnvironment();
    auto config =
        vorlia::demo::withStandInRoute(vorlia::demo::withDesktopMenuOnlyWhenAsked(vorlia::builtInConfig()));
    if (!config) {
        std::fprintf(stderr, "vorlia: %s\n", config.error().c_str());
        return 2;
    }
    return vorlia::runLauncher(*config, vorlia::demo::standInHooks(*config));
}
