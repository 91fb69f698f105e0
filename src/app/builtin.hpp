// The launcher's own constants, fixed when it is built.
#pragma once

#include "app/config.hpp"

namespace vorlia {

// The production configuration: built-in hosts and keys, the version from
// Info.json beside the executable, the user's XDG folders.
Config builtInConfig();

} // namespace vorlia
