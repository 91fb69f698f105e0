// Published update files for tests: the manifest text a publisher would
// upload, and its signature with the repository's development key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vorlia::test {

// The development public key (base64), as the test builds embed it.
std::string devPublicKey();

// The base64 signature text, as the publisher's tool writes it, with the
// development secret key or another 64-byte secret key given in base64.
std::string signWithDevKey(const std::string& body, std::optional<std::string> secretBase64 = std::nullopt);

// One archive offered for this machine's platform entry.
struct ManifestEntry {
    std::string version{};
    std::string url{};
    std::string sha256 = "00";
    std::optional<std::string> min{};
    std::optional<std::int64_t> size{};
    std::optional<std::string> notes{};
};

// version.json offering it: {"notes": …, "<platform>": {"version", "min",
// "url", "sha256", "size"}} with absent fields left out, and a final line feed.
std::string manifestText(const ManifestEntry& offer);

} // namespace vorlia::test
