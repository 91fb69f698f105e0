#include "bridge/token.hpp"

// Placeholder until the token lands.
namespace vorlia {

std::string hexString(std::span<const std::uint8_t>) {
    return {};
}
std::array<std::uint8_t, 64> tokenKey(const TokenKeyTables&) {
    return {};
}
std::string accessToken(double, const TokenKeyTables&) {
    return {};
}
std::string accessTokenNow(const TokenKeyTables&) {
    return {};
}

} // namespace vorlia
