// The page shown in place of the engine's error when the game cannot be loaded.
#pragma once

#include <string>

namespace vorlia {

const std::string& offlinePageHTML();

} // namespace vorlia
