#include "base/hex.hpp"

#include <sodium.h>

namespace vorlia {

std::string hexString(std::span<const std::uint8_t> bytes) {
    // libsodium's encoder runs in constant time: the bytes may be key material.
    std::string text(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
    text.pop_back();
    return text;
}

} // namespace vorlia
