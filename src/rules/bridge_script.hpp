// The script the launcher puts at the start of every document of the game
// window, and the snippet that later pushes a fresh token into the page.
#pragma once

#include <string>
#include <string_view>

namespace vorlia {

// The page script for the launcher's version, the game host and the given
// token. Each value stands inside a double-quoted JavaScript string,
// escaped so that no value can break the script; ordinary values (a dotted
// version, a DNS name, a token) appear exactly as they are.
std::string bridgeScript(std::string_view launcherVersion, std::string_view gameHost, std::string_view token);

// "window.__vrlTok='" + token + "'", run in the main frame by the refresh tick.
std::string refreshSnippet(std::string_view token);

} // namespace vorlia
