// The signed manifest is the one document the launcher takes from the
// network. Whatever the bytes, the check must not crash, must accept only what
// verifies under the key, and must agree with the decoding rules on anything
// that does verify.
//
// Input: one byte selecting the mode (even or odd), one byte of options, then the payload.
//   even:  payload is "signature NUL manifest", checked as served
//   odd:   payload is a manifest, signed here with a test key, so that the
//          decoding is reached; the options pick white space around the
//          signature and a byte of the manifest to change after signing
#include "rules/manifest.hpp"
#include "rules/url_text.hpp"

#include <sodium.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

const std::string base = "https://vorlia.example/download/";

struct TestKey {
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    vorlia::PublicKeys publicKeys;
    TestKey() {
        if (sodium_init() < 0) {
            std::abort();
        }
        unsigned char seed[crypto_sign_SEEDBYTES] = {42};
        crypto_sign_seed_keypair(pk, sk, seed);
        publicKeys = {vorlia::encodeBase64(pk, sizeof pk)};
    }
};

const TestKey& key() {
    static const TestKey k;
    return k;
}

void require(bool property) {
    if (!property) {
        std::abort();
    }
}

void checkAccepted(const std::optional<vorlia::UpdateManifest>& m) {
    if (m) {
        require(m->platform.has_value());
        require(m->platform->url.starts_with(base));
    }
}

void rawPair(std::string_view payload) {
    const auto split = payload.find('\0');
    const std::string signature(payload.substr(0, split));
    const std::string manifest(split == std::string_view::npos ? std::string_view()
                                                               : payload.substr(split + 1));
    const auto result = vorlia::verifiedManifest(signature, manifest, key().publicKeys, base);
    checkAccepted(result);
    require(!vorlia::verifiedManifest(std::nullopt, manifest, key().publicKeys, base));
    require(!vorlia::verifiedManifest(signature, std::nullopt, key().publicKeys, base));
}

void signedManifest(std::uint8_t options, std::string_view payload) {
    const std::string manifest(payload);
    unsigned char raw[crypto_sign_BYTES];
    crypto_sign_detached(raw, nullptr, reinterpret_cast<const unsigned char*>(manifest.data()),
                         manifest.size(), key().sk);
    static const char* const around[] = {"", "\n", "\r\n", " ", "\t \n", "\xc2\xa0", "\xe2\x80\xa8", "\n\n"};
    const std::string signature =
        std::string(around[options & 7]) + vorlia::encodeBase64(raw, sizeof raw) + around[(options >> 3) & 7];

    const auto result = vorlia::verifiedManifest(signature, manifest, key().publicKeys, base);
    checkAccepted(result);
    // A good signature leaves the decision to the decoding rules and the
    // archive URL's check alone (url_folder_fuzz.cpp holds that check to GLib).
    const auto decoded = vorlia::decodeManifest(manifest, vorlia::platformEntryKey);
    const bool expected = decoded && decoded->platform && vorlia::isArchiveURL(decoded->platform->url, base);
    require(result.has_value() == expected);
    if (result) {
        require(*result == *decoded);
    }
    // Any change to the signed bytes is refused.
    if (!manifest.empty() && (options & 0x40) != 0) {
        std::string changed = manifest;
        changed[options % changed.size()] ^= static_cast<char>(1 + (options >> 7));
        require(!vorlia::verifiedManifest(signature, changed, key().publicKeys, base));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::string_view payload(reinterpret_cast<const char*>(data) + 2, size - 2);
    if (data[0] % 2 == 0) {
        rawPair(payload);
    } else {
        signedManifest(data[1], payload);
    }
    return 0;
}
