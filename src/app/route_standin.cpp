#include "app/route.hpp"
#include "app/standin_route.hpp"

// Placeholder until the stand-in route lands.
namespace vorlia {

Config withStandInRoute(Config config) {
    return config;
}
void applyRoute(WebKitNetworkSession*, const Config&) {}
void applyRoute(SoupSession*, const Config&) {}

} // namespace vorlia
