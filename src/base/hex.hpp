// Bytes as lowercase hex text.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vorlia {

// Two lowercase digits a byte, no separators.
std::string hexString(std::span<const std::uint8_t> bytes);

} // namespace vorlia
