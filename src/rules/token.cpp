#include "rules/token.hpp"

#include "base/hex.hpp"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace vorlia {

std::array<std::uint8_t, 64> tokenKey(const TokenKeyTables& tables) {
    std::array<std::uint8_t, 64> key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        const std::uint8_t reversed = tables.keyTableMasked[key.size() - 1 - i] ^ tables.keyMask;
        key[i] = reversed ^ tables.keyTableMix[i];
    }
    return key;
}

namespace {

// -2^63 and 2^63 are exact doubles; anything outside, or NaN, cannot come
// from a clock and is a programming error.
std::int64_t truncatedSeconds(double seconds) {
    constexpr double lowest = -9223372036854775808.0;
    constexpr double beyond = 9223372036854775808.0;
    if (!std::isfinite(seconds) || seconds < lowest || seconds >= beyond) {
        std::abort();
    }
    return static_cast<std::int64_t>(seconds);
}

} // namespace

std::string accessToken(double secondsSince1970, const TokenKeyTables& tables) {
    const std::int64_t hour = truncatedSeconds(secondsSince1970) / 3600;
    const std::string hourText = std::to_string(hour);
    const std::string message = "vrl-launcher|" + hourText;

    std::array<std::uint8_t, 64> key = tokenKey(tables);
    std::array<std::uint8_t, crypto_auth_hmacsha256_BYTES> code{};
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.data(), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()),
                                  message.size());
    crypto_auth_hmacsha256_final(&state, code.data());
    sodium_memzero(key.data(), key.size());
    sodium_memzero(&state, sizeof state);

    const std::string hex = hexString(code);
    sodium_memzero(code.data(), code.size());
    return hourText + "." + hex.substr(0, 32);
}

std::string accessTokenNow(const TokenKeyTables& tables) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return accessToken(std::chrono::duration<double>(now).count(), tables);
}

std::int64_t nextTokenChange(std::int64_t secondsSince1970) {
    constexpr std::int64_t hour = 3600;
    const std::int64_t current = secondsSince1970 / hour;
    if (secondsSince1970 < 0) {
        // Toward zero: the hour changes at the next second past a multiple of 3600.
        return current == 0 ? hour : current * hour + 1;
    }
    if (current >= std::numeric_limits<std::int64_t>::max() / hour) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return (current + 1) * hour;
}

} // namespace vorlia
