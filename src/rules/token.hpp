// The launcher's access token: the whole hours since 1970, ".", and the first
// 16 bytes of an HMAC-SHA256 over "vrl-launcher|" + that hour, as lowercase hex.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace vorlia {

// The token key is never stored whole: it is rebuilt from these tables at
// every derivation.
struct TokenKeyTables {
    std::array<std::uint8_t, 64> keyTableMasked{};
    std::uint8_t keyMask = 0;
    std::array<std::uint8_t, 64> keyTableMix{};
};

// The 64-byte HMAC key, rebuilt from its stored tables.
std::array<std::uint8_t, 64> tokenKey(const TokenKeyTables& tables);

// The token for a time given as seconds since 1970 (with fraction). A time
// that is not finite or outside the signed 64-bit range stops the process.
std::string accessToken(double secondsSince1970, const TokenKeyTables& tables);

// The token for the current wall-clock time.
std::string accessTokenNow(const TokenKeyTables& tables);

// The first whole second after `secondsSince1970` (a whole second, as the
// token truncates it) whose token differs: the next hour, except around 1970,
// where truncation toward zero makes hour 0 span -3599 to 3599. The largest
// second when no later one differs.
std::int64_t nextTokenChange(std::int64_t secondsSince1970);

} // namespace vorlia
