#include "rules/version.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace vorlia {
namespace {

struct NumbersCase {
    std::string text;
    std::vector<std::int64_t> numbers;
};

TEST(VersionNumbers, ReadsDottedDecimalPieces) {
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const NumbersCase cases[] = {
        {"1.2.3", {1, 2, 3}},
        {"", {}},
        {".", {}},
        {"1..5", {1, 5}},
        {".1.2.", {1, 2}},
        {"v1.2", {0, 2}},     // a letter spoils its piece, which still counts
        {"2.0-beta", {2, 0}}, // "0-beta" is no number
        {"1.01", {1, 1}},     // leading zeros do not matter
        {"007", {7}},
        {"+3.-4", {3, -4}}, // one sign is allowed
        {"+.-", {0, 0}},    // a lone sign is no number
        {"+-3.--3.++3", {0, 0, 0}},
        {" 1.2 ", {0, 0}}, // spaces spoil a piece
        {"1.2\n", {1, 0}},
        {"9223372036854775807", {max}},
        {"-9223372036854775808", {min}},
        {"9223372036854775808.1", {0, 1}}, // too large for 64 bits counts as 0
        {"-9223372036854775809", {0}},
        {"99999999999999999999999.5", {0, 5}},
        {"\xd9\xa3.1", {0, 1}}, // only ASCII digits count (ARABIC-INDIC THREE)
        {"1e3", {0}},
        {"0x10", {0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(versionNumbers(c.text), c.numbers) << "\"" << c.text << "\"";
    }
}

struct NewerCase {
    std::string a;
    std::string b;
    bool newer;
};

TEST(VersionOrder, ComparesNumbersByValueWithMissingOnesAsZero) {
    const NewerCase cases[] = {
        {"1.0.0", "1.0", false},
        {"1.0", "1.0.0", false}, // equal, whichever is longer
        {"1.2", "1.2.0", false},
        {"1.2.1", "1.2", true},
        {"1.10", "1.9", true},
        {"1.9", "1.10", false},
        {"2.0-beta", "2.0", false},   // its numbers are 2, 0
        {"2.0.1-beta", "2.0", false}, // "1-beta" counts as 0
        {"1.01", "1.1", false},
        {"1.1", "1.01", false},
        {"2", "1.99.99", true},
        {"1.0", "1.0", false},
        {"", "", false},
        {"", "0", false},
        {"0.0.1", "", true},
        {"", "0.0.1", false},
        {"v2.0", "1.0", false}, // "v2" counts as 0
        {"1..5", "1.5", false},
        {"1.5", "1..5", false},
        {"1.-1", "1", false},
        {"1", "1.-1", true},                  // signed comparison
        {"18446744073709551616", "1", false}, // overflows to 0
        {"9223372036854775807", "9223372036854775806", true},
        {"-9223372036854775808", "0", false},
        {"1.0.0.0.0.0.1", "1", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNewer(c.a, c.b), c.newer) << "\"" << c.a << "\" newer than \"" << c.b << "\"";
    }
}

TEST(VersionOrder, IsAStrictOrderOnSamples) {
    const std::string samples[] = {"", "0", "1", "1.0.1", "1.2", "1.10", "2.0-beta", "v9", "-1", "1..2"};
    for (const auto& a : samples) {
        EXPECT_FALSE(isNewer(a, a)) << a;
        for (const auto& b : samples) {
            EXPECT_FALSE(isNewer(a, b) && isNewer(b, a)) << a << " / " << b;
        }
    }
}

} // namespace
} // namespace vorlia
