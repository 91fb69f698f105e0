// Numeric order of dotted version texts ("1.10" is newer than "1.9").
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace vorlia {

// The numbers of a version text: its dot-separated pieces with empty ones
// dropped; a piece that is not a signed 64-bit decimal counts as 0.
std::vector<std::int64_t> versionNumbers(std::string_view text);

// True when `a` is strictly newer than `b`; missing trailing numbers count as 0.
bool isNewer(std::string_view a, std::string_view b);

} // namespace vorlia
