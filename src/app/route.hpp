// Sends the launcher's traffic to local stand-in hosts. Only the demo and test
// executables link the implementation that does anything; the production
// executable links the one that does nothing.
#pragma once

#include "app/config.hpp"

#include <libsoup/soup.h>
#include <webkit/webkit.h>

namespace vorlia {

void applyRoute(WebKitNetworkSession* session, const Config& config);
void applyRoute(SoupSession* session, const Config& config);

} // namespace vorlia
