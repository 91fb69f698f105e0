#include "bridge/bridge_script.hpp"

// Placeholder until the bridge lands.
namespace vorlia {

std::string bridgeScript(const Config&, std::string_view) {
    return {};
}
std::string refreshSnippet(std::string_view) {
    return {};
}

} // namespace vorlia
