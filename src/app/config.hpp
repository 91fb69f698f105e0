// The launcher's built-in configuration: one immutable value, made once at
// start and passed down. Tests and the demo build it from their own constants.
#pragma once

#include "rules/constants.hpp"
#include "rules/token.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// How the demo and test flavours reach their loopback stand-in hosts. The
// production executable never fills this in, and does not link the code that
// applies it (src/demo/).
struct Route {
    std::string proxyURL;       // e.g. "http://127.0.0.1:41234"
    std::string certificatePEM; // the stand-in's certificate, trusted for the two hosts only
};

// The launcher's fixed delays; only a test configuration shortens them.
struct Timing {
    std::chrono::milliseconds refreshInterval{600'000};
    std::chrono::milliseconds startRequestTimeout{60'000};
    std::chrono::milliseconds connectingNoticeDelay{2'000};
    // The automatic retries from the offline page, as a multiple of their usual back-off.
    double retryBackOffScale = 1.0;
    std::chrono::milliseconds automaticCheckDelay{1'500};
    std::chrono::milliseconds updaterIOTimeout{20'000};
};

// Where the launcher keeps what it persists.
struct Folders {
    std::filesystem::path data;  // website data (cookies, local storage)
    std::filesystem::path cache; // web cache
    std::filesystem::path state; // window state key file
};

struct Config {
    std::string gameHost;
    std::string siteHost;
    std::string gameStartURL;
    std::vector<std::string> allowedHosts;
    std::string launcherVersion;

    std::string updateBaseURL;
    // base64 of the 32-byte Ed25519 keys; a manifest signed by any one is trusted
    std::vector<std::string> manifestPublicKeys;
    TokenKeyTables tokenKey;

    std::string applicationId;
    // The icon's name, and its file (<name>.svg) in the application folder.
    std::string iconName;
    // The folder that holds the running launcher; empty in the tests' own
    // configurations, which then use GTK's icon theme only.
    std::filesystem::path applicationFolder;
    // The user's own data folder, where the launcher keeps its desktop menu
    // entry and icon; empty (as in the tests' configurations) adds nothing.
    std::filesystem::path desktopDataHome;
    Timing timing;
    Folders folders;
    std::optional<Route> route;
};

} // namespace vorlia
