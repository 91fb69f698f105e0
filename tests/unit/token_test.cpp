#include "base/files.hpp"
#include "base/hex.hpp"
#include "rules/token.hpp"
#include "rules/token_tables.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

namespace vorlia {
namespace {

// The test key, and the expected tokens computed outside this code with
//   printf 'vrl-launcher|<hour>' | openssl dgst -sha256 -mac HMAC -macopt hexkey:<key>
constexpr const char* testKeyHex = "0f1e2d3c4b5a69788796a5b4c3d2e1f00112233445566778899aabbccddeeff"
                                   "5a3c1e0f9b8d7c6e4f2a1b0c9d8e7f60718293a4b5c6d7e8f90a1b2c3d4e5f6a7";

std::array<std::uint8_t, 64> keyFromHex(const char* hex) {
    std::array<std::uint8_t, 64> key{};
    std::size_t length = 0;
    EXPECT_EQ(sodium_hex2bin(key.data(), key.size(), hex, std::strlen(hex), nullptr, &length, nullptr), 0);
    EXPECT_EQ(length, key.size());
    return key;
}

// Stores the key the way the build does: reversed, mixed and masked.
TokenKeyTables tablesFor(const std::array<std::uint8_t, 64>& key, std::uint8_t mask) {
    TokenKeyTables tables;
    tables.keyMask = mask;
    for (std::size_t i = 0; i < 64; ++i) {
        tables.keyTableMix[i] = static_cast<std::uint8_t>(i * 37 + 11);
        tables.keyTableMasked[63 - i] = key[i] ^ tables.keyTableMix[i] ^ mask;
    }
    return tables;
}

TEST(TokenKey, RebuildsTheKeyFromItsTables) {
    const auto key = keyFromHex(testKeyHex);
    for (std::uint8_t mask : {0x00, 0x5c, 0xff}) {
        EXPECT_EQ(tokenKey(tablesFor(key, mask)), key) << "mask " << int(mask);
    }
}

TEST(TokenKey, BuiltInTablesGiveTheBuildKey) {
    EXPECT_EQ(tokenKey(builtInTokenKeyTables()), keyFromHex(VORLIA_TOKEN_KEY_HEX));
}

struct TokenCase {
    double seconds;
    const char* token;
};

TEST(AccessToken, MatchesIndependentlyComputedVectors) {
    const TokenCase cases[] = {
        {0.0, "0.d45bf9d2cd9d788c10a4babbebb8f97b"},
        {3599.999, "0.d45bf9d2cd9d788c10a4babbebb8f97b"},
        {3600.0, "1.eb7f9504635cb208d41e889e93fb7f10"},
        {5 * 3600 + 0.25, "5.2e821f60a203744b7f90efd0e60b9ff7"},
        {1733400000.0, "481500.00ece62b6bbae4fd146938292e17f41d"},
        {1733403599.9, "481500.00ece62b6bbae4fd146938292e17f41d"},
        {1733403600.0, "481501.6602ede1ffed1ca45ef34a7e9c4a0f5c"},
        // Before 1970 both conversions truncate toward zero.
        {-0.5, "0.d45bf9d2cd9d788c10a4babbebb8f97b"},
        {-3599.0, "0.d45bf9d2cd9d788c10a4babbebb8f97b"},
        {-3600.0, "-1.98064111bbd7cd8e357b743bf67d6264"},
        {-3600.7, "-1.98064111bbd7cd8e357b743bf67d6264"},
        {-7199.0, "-1.98064111bbd7cd8e357b743bf67d6264"},
        {-7200.0, "-2.12835994b12f85641022ecfc44a0eb5d"},
        // The ends of the signed 64-bit range: 2^63 - 1024 is the last double below 2^63.
        {9223372036854774784.0, "2562047788015215.f3af7b5e559fa7d58edb8b2f56e3501c"},
        {-9223372036854775808.0, "-2562047788015215.2be8bcd5a14b5ab12ecd83214a6a40ff"},
    };
    const auto tables = tablesFor(keyFromHex(testKeyHex), 0xa7);
    for (const auto& c : cases) {
        EXPECT_EQ(accessToken(c.seconds, tables), c.token) << "at " << c.seconds;
    }
}

TEST(AccessToken, NowHasTheTokenShape) {
    const std::string token = accessTokenNow(builtInTokenKeyTables());
    const auto dot = token.find('.');
    ASSERT_NE(dot, std::string::npos);
    EXPECT_GT(dot, 0u);
    EXPECT_TRUE(std::all_of(token.begin(), token.begin() + dot, [](char c) { return c >= '0' && c <= '9'; }));
    const std::string hex = token.substr(dot + 1);
    EXPECT_EQ(hex.size(), 32u);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(AccessTokenDeathTest, TimeOutsideTheSigned64BitRangeStops) {
    const double cases[] = {
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),
        9223372036854775808.0,  // 2^63
        -9223372036854777856.0, // the first double below -2^63
        1e300,
    };
    const auto tables = tablesFor(keyFromHex(testKeyHex), 0x11);
    for (double seconds : cases) {
        EXPECT_DEATH(accessToken(seconds, tables), "") << "at " << seconds;
    }
}

// The next push is due when the token changes: the next whole hour, and around
// 1970 where the hour number truncates toward zero.
TEST(NextTokenChange, IsTheFirstSecondWhoseTokenDiffers) {
    const TokenKeyTables tables = tablesFor(keyFromHex(testKeyHex), 0x5a);
    const struct {
        std::int64_t now;
        std::int64_t next;
    } cases[] = {
        {0, 3600},      {3599, 3600},  {3600, 7200},   {1733400000, 1733403600}, {1733403599, 1733403600},
        {-1, 3600},     {-3599, 3600}, {-3600, -3599}, {-7199, -3599},           {-7200, -7199},
        {-7201, -7199},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nextTokenChange(c.now), c.next) << c.now;
        // Every second before it keeps the token; it is the first that changes it.
        EXPECT_EQ(accessToken(static_cast<double>(c.next - 1), tables),
                  accessToken(static_cast<double>(c.now), tables))
            << c.now;
        EXPECT_NE(accessToken(static_cast<double>(c.next), tables),
                  accessToken(static_cast<double>(c.now), tables))
            << c.now;
    }
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(nextTokenChange(largest), largest);
    EXPECT_EQ(nextTokenChange(largest / 3600 * 3600 - 1), largest / 3600 * 3600);
}

TEST(HexString, LowercaseTwoDigitsPerByte) {
    const std::vector<std::uint8_t> bytes{0, 15, 160, 255};
    EXPECT_EQ(hexString(bytes), "000fa0ff");
    EXPECT_EQ(hexString({}), "");

    // SHA-256 of "x", as printed by `printf x | openssl dgst -sha256`.
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    const unsigned char x = 'x';
    crypto_hash_sha256(digest.data(), &x, 1);
    EXPECT_EQ(hexString(digest), "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
}

TEST(TokenKey, LauncherBinaryDoesNotHoldTheKeyWhole) {
    const auto file = readFile(VORLIA_BINARY_DIR "/Vorlia.app/vorlia");
    ASSERT_TRUE(file) << "build the launcher first: " << file.error();
    const std::vector<char> binary(file->begin(), file->end());
    ASSERT_GT(binary.size(), 4096u);

    const auto key = keyFromHex(VORLIA_TOKEN_KEY_HEX);
    auto reversed = key;
    std::reverse(reversed.begin(), reversed.end());
    for (const auto& needle : {key, reversed}) {
        const auto found =
            std::search(binary.begin(), binary.end(), needle.begin(), needle.end(),
                        [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
        EXPECT_EQ(found, binary.end());
    }
}

} // namespace
} // namespace vorlia
