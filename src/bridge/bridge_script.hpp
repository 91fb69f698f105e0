// The script the launcher puts at the start of every document of the game
// window, and the snippet that later pushes a fresh token into the page.
#pragma once

#include "app/config.hpp"

#include <string>
#include <string_view>

namespace vorlia {

std::string bridgeScript(const Config& config, std::string_view token);
std::string refreshSnippet(std::string_view token);

} // namespace vorlia
