// The demo and test flavour of the launcher: the route to the loopback
// stand-in hosts, taken from VORLIA_STANDIN_PROXY and VORLIA_STANDIN_CERT, and
// the log of what the updater showed, for tests that watch from outside. The
// production executable links none of this folder.
#pragma once

#include "app/config.hpp"
#include "app/launcher_app.hpp"
#include "base/expected.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vorlia::demo {

// The route for a proxy URL and the stand-in's certificate (PEM text). Only a
// plain-HTTP proxy on a loopback address with an explicit port is accepted, so
// that the route can never send the launcher anywhere but this machine.
expected<Route, std::string> makeStandInRoute(std::string_view proxyURL, std::string certificatePEM);

// The configuration with its route filled in from VORLIA_STANDIN_PROXY (e.g.
// "http://127.0.0.1:41234") and VORLIA_STANDIN_CERT (a PEM file); unchanged
// when VORLIA_STANDIN_PROXY is unset. A route that is set but unusable is an
// error rather than a launcher that goes elsewhere.
expected<Config, std::string> withStandInRoute(Config config);

// The route applied to the game window's network session and to the
// updater's HTTP session: the proxy, and the stand-in's certificate trusted
// for `hosts` only.
void routeNetwork(WebKitNetworkSession* session, const Route& route, const std::vector<std::string>& hosts);
void routeSession(SoupSession* session, const Route& route, const std::vector<std::string>& hosts);

// The demo and test flavour runs from temporary copies of its folder, which
// must never reach the user's desktop menu: it adds itself there only when
// VORLIA_DESKTOP_MENU is "1", as the menu's own tests ask, in a home of theirs.
Config withDesktopMenuOnlyWhenAsked(Config config);

// The start address with VORLIA_DEMO_START_QUERY added to its query (the
// playing benchmark chooses the stand-in game's scene with it).
Config withStartQuery(Config config);

// The hooks of the demo and test flavour: the configuration's route applied to
// both network sessions (trusting the stand-in's certificate for the allowed
// hosts only), and, when VORLIA_TEST_LOG names a file, one JSON line appended
// to it for each updater alert shown, each item handed to the file manager and
// the desktop menu entry's outcome; when VORLIA_DEMO_SLEEP_BUS names a D-Bus
// address, logind's sleep signal is heard there in place of the system bus.
LaunchHooks standInHooks(const Config& config);

} // namespace vorlia::demo
