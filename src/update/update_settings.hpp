// What the updater needs of the launcher's configuration.
#pragma once

#include "rules/install_rules.hpp"

#include <libsoup/soup.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace vorlia {

struct UpdateSettings {
    std::string updateBaseURL; // "https://" + site host + "/download/"
    // base64 of the 32-byte Ed25519 keys; a manifest signed by any one is trusted
    std::vector<std::string> manifestPublicKeys;
    std::string launcherVersion;
    std::string siteHost;
    std::chrono::milliseconds ioTimeout{20'000};
    UnpackLimits unpackLimits;
    // Applied to the updater's HTTP session when it is made; only the demo
    // and test flavours set it.
    std::function<void(SoupSession*)> routeSession;
};

} // namespace vorlia
