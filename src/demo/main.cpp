// The demo and test flavour's entry point: the production launcher, routed to
// the loopback stand-in hosts when VORLIA_STANDIN_PROXY is set.
#include "app/builtin.hpp"
#include "app/launcher_app.hpp"
#include "demo/route.hpp"

#include <cstdio>

int main() {
    auto config = vorlia::demo::withStandInRoute(vorlia::builtInConfig());
    if (!config) {
        std::fprintf(stderr, "vorlia: %s\n", config.error().c_str());
        return 2;
    }
    return vorlia::runLauncher(*config, vorlia::demo::standInHooks(*config));
}
