// The launcher's product in the engine's user agent.
#pragma once

#include <string>
#include <string_view>

namespace vorlia {

// "VRLLauncher/" + version. The engine refuses a user agent that is not a
// valid header value, and then sends its own without any mark of the
// launcher; a version that is not an HTTP token (empty, blanks, quotes, ...)
// therefore gives "VRLLauncher" alone, so the game host still recognises it.
std::string userAgentProduct(std::string_view launcherVersion);

} // namespace vorlia
