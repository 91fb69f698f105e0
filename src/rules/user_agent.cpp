#include "rules/user_agent.hpp"

#include <algorithm>
#include <string_view>

namespace vorlia {
namespace {

bool isTokenChar(char c) {
    static constexpr std::string_view extra = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           extra.find(c) != std::string_view::npos;
}

} // namespace

std::string userAgentProduct(std::string_view launcherVersion) {
    const bool isToken =
        !launcherVersion.empty() && std::all_of(launcherVersion.begin(), launcherVersion.end(), isTokenChar);
    if (!isToken) {
        return "VRLLauncher";
    }
    return "VRLLauncher/" + std::string(launcherVersion);
}

} // namespace vorlia
