// Demo and test executables only: the route to the loopback stand-in hosts,
// taken from VORLIA_STANDIN_PROXY and VORLIA_STANDIN_CERT.
#pragma once

#include "app/config.hpp"

namespace vorlia {

Config withStandInRoute(Config config);

} // namespace vorlia
