#include "app/route.hpp"

namespace vorlia {

void applyRoute(WebKitNetworkSession*, const Config&) {}
void applyRoute(SoupSession*, const Config&) {}

} // namespace vorlia
