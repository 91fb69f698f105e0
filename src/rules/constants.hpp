// The launcher's constants derived from the publisher's host names, and its
// version as Info.json gives it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// The host-derived fields, built from the two host names exactly as the
// start sequence prescribes. Stops the process if the start URL does not parse.
struct HostConstants {
    std::string gameHost;
    std::string siteHost;
    std::string gameStartURL;
    std::vector<std::string> allowedHosts;
    std::string updateBaseURL;
};
HostConstants makeHostConstants(std::string_view gameHost, std::string_view siteHost);

// The launcher version from the text of Info.json, or "1.0" when there is no
// file, the JSON is bad, the key is missing or its value is not a string.
std::string launcherVersionFromInfo(const std::optional<std::string>& infoJson);

} // namespace vorlia
