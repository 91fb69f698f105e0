// Demo and test executables only: the route to the loopback stand-in hosts,
// taken from VORLIA_STANDIN_PROXY and VORLIA_STANDIN_CERT.
#pragma once

#include "app/config.hpp"
#include "app/expected.hpp"

#include <string>
#include <string_view>

namespace vorlia {

// The route for a proxy URL and the stand-in's certificate (PEM text). Only a
// plain-HTTP proxy on a loopback address with an explicit port is accepted, so
// that the route can never send the launcher anywhere but this machine.
Expected<Route, std::string> makeStandInRoute(std::string_view proxyURL, std::string certificatePEM);

// The configuration with its route filled in from VORLIA_STANDIN_PROXY (e.g.
// "http://127.0.0.1:41234") and VORLIA_STANDIN_CERT (a PEM file); unchanged
// when VORLIA_STANDIN_PROXY is unset. A route that is set but unusable stops
// the process with a message rather than letting the launcher go elsewhere.
Config withStandInRoute(Config config);

} // namespace vorlia
