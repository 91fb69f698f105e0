// The launcher's own constants, fixed when it is built.
#pragma once

#include "app/config.hpp"

#include <string>
#include <string_view>

namespace vorlia {

// A configuration for two host names, a launcher version and the folders it
// keeps its data in, with the build's keys and application id. The demo and
// the tests make theirs with it too.
Config configFor(std::string_view gameHost, std::string_view siteHost, std::string launcherVersion,
                 Folders folders);

// The production configuration: built-in hosts and keys, the version from
// Info.json beside the executable, the user's XDG folders.
Config builtInConfig();

} // namespace vorlia
