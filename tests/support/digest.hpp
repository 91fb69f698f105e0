// The SHA-256 of some bytes as lowercase hex, computed apart from the code under test.
#pragma once

#include <sodium.h>

#include <string>

namespace vorlia::test {

inline std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char hex[2 * sizeof digest + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

} // namespace vorlia::test
