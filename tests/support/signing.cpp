#include "support/signing.hpp"

#include "base/files.hpp"
#include "rules/manifest.hpp"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <sstream>
#include <stdexcept>

namespace vorlia::test {
namespace {

// The first line of a fixture that is neither empty nor a comment.
std::string fixtureLine(const std::string& name) {
    const auto text = readFile(std::string(VORLIA_SOURCE_DIR) + "/tests/fixtures/" + name);
    std::istringstream lines(text.value_or(""));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] != '#') {
            return line;
        }
    }
    throw std::runtime_error("no key in fixture " + name);
}

std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump();
}

} // namespace

std::string devPublicKey() {
    return fixtureLine("dev-manifest-key.pub");
}

std::string signWithDevKey(const std::string& body, std::optional<std::string> secretBase64) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot start");
    }
    const auto secret =
        decodeBase64Strict(secretBase64.value_or(fixtureLine("DEV-ONLY-manifest-signing.key")));
    if (!secret || secret->size() != crypto_sign_SECRETKEYBYTES) {
        throw std::runtime_error("not a 64-byte secret key");
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         secret->data());
    return encodeBase64(signature, sizeof signature) + "\n";
}

std::string manifestText(const ManifestEntry& offer) {
    std::string entry = "{\"version\": " + quoted(offer.version);
    if (offer.min) {
        entry += ", \"min\": " + quoted(*offer.min);
    }
    entry += ", \"url\": " + quoted(offer.url) + ", \"sha256\": " + quoted(offer.sha256);
    if (offer.size) {
        entry += ", \"size\": " + std::to_string(*offer.size);
    }
    entry += "}";
    const std::string notes = offer.notes ? "\"notes\": " + quoted(*offer.notes) + ", " : "";
    return "{" + notes + quoted(std::string(platformEntryKey)) + ": " + entry + "}\n";
}

} // namespace vorlia::test
