#include "rules/manifest.hpp"

#include "rules/url_text.hpp"

#include <glib.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <cmath>
#include <limits>
#include <memory>
#include <set>
#include <vector>

namespace vorlia {
namespace {

using nlohmann::json;

bool sodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// White space and line breaks: Unicode Z* categories, U+0009 to U+000D and U+0085.
bool isTrimmedSpace(gunichar c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85) {
        return true;
    }
    const GUnicodeType type = g_unichar_type(c);
    return type == G_UNICODE_SPACE_SEPARATOR || type == G_UNICODE_LINE_SEPARATOR ||
           type == G_UNICODE_PARAGRAPH_SEPARATOR;
}

unexpected<std::string> fail(std::string message) {
    return unexpected(std::move(message));
}

// Required string: present and a string (null is not a string).
expected<std::string, std::string> requiredString(const json& object, const char* key,
                                                  std::string_view where) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return fail(std::string(where) + "\"" + key + "\" is missing");
    }
    if (!it->is_string()) {
        return fail(std::string(where) + "\"" + key + "\" is not a string");
    }
    return it->get<std::string>();
}

// Optional string: absent or null mean none; any other type is an error.
expected<std::optional<std::string>, std::string> optionalString(const json& object, const char* key,
                                                                 std::string_view where) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::optional<std::string>();
    }
    if (!it->is_string()) {
        return fail(std::string(where) + "\"" + key + "\" is neither a string nor null");
    }
    return std::optional<std::string>(it->get<std::string>());
}

// A whole number within the signed 64-bit range, however it is written
// (12, 12.0, 1.2e1); a fraction or a value out of range is an error.
expected<std::optional<std::int64_t>, std::string> optionalInt64(const json& object, const char* key,
                                                                 std::string_view where) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::optional<std::int64_t>();
    }
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return fail(std::string(where) + "\"" + key + "\" is out of the 64-bit range");
        }
        return std::optional<std::int64_t>(static_cast<std::int64_t>(value));
    }
    if (it->is_number_integer()) {
        return std::optional<std::int64_t>(it->get<std::int64_t>());
    }
    if (it->is_number_float()) {
        // 2^63 is exact as a double; anything at or above it is out of range.
        constexpr double limit = 9223372036854775808.0;
        const double value = it->get<double>();
        if (std::isfinite(value) && std::trunc(value) == value && value >= -limit && value < limit) {
            return std::optional<std::int64_t>(static_cast<std::int64_t>(value));
        }
        return fail(std::string(where) + "\"" + key + "\" is not a whole number within 64 bits");
    }
    return fail(std::string(where) + "\"" + key + "\" is not an integer");
}

expected<UpdateInfo, std::string> decodeInfo(const json& object, std::string_view where) {
    auto version = requiredString(object, "version", where);
    if (!version) {
        return fail(version.error());
    }
    auto min = optionalString(object, "min", where);
    if (!min) {
        return fail(min.error());
    }
    auto url = requiredString(object, "url", where);
    if (!url) {
        return fail(url.error());
    }
    auto sha256 = requiredString(object, "sha256", where);
    if (!sha256) {
        return fail(sha256.error());
    }
    auto size = optionalInt64(object, "size", where);
    if (!size) {
        return fail(size.error());
    }
    return UpdateInfo{std::move(*version), std::move(*min), std::move(*url), std::move(*sha256), *size};
}

// The signature file's text with white space trimmed at both ends, as the
// launcher reads it (invalid UTF-8 becomes U+FFFD).
std::string trimmedSignatureText(std::string_view body) {
    const std::unique_ptr<char, decltype(&g_free)> valid(
        g_utf8_make_valid(body.data(), static_cast<gssize>(body.size())), &g_free);
    const char* begin = valid.get();
    const char* end = begin + std::char_traits<char>::length(begin);
    while (begin < end && isTrimmedSpace(g_utf8_get_char(begin))) {
        begin = g_utf8_next_char(begin);
    }
    while (end > begin) {
        const char* last = g_utf8_find_prev_char(begin, end);
        if (last == nullptr || !isTrimmedSpace(g_utf8_get_char(last))) {
            break;
        }
        end = last;
    }
    return std::string(begin, end);
}

} // namespace

std::optional<ManifestURLs> manifestRequestURLs(std::string_view updateBaseURL, std::int64_t t) {
    const std::string stamp = std::to_string(t);
    ManifestURLs urls{std::string(updateBaseURL) + "version.json?t=" + stamp,
                      std::string(updateBaseURL) + "version.json.sig?t=" + stamp};
    const auto strictlyValid = [](const std::string& url) {
        return holdsOnlyURLCharacters(url) && g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr) != FALSE;
    };
    for (const std::string* url : {&urls.manifest, &urls.signature}) {
        if (!strictlyValid(*url)) {
            return std::nullopt;
        }
    }
    return urls;
}

std::optional<std::vector<unsigned char>> decodeBase64Strict(std::string_view text) {
    if (!sodiumReady()) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

std::string encodeBase64(const unsigned char* bytes, std::size_t length) {
    std::string text(sodium_base64_encoded_len(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back(); // the terminating NUL
    return text;
}

expected<UpdateManifest, std::string> decodeManifest(std::string_view text, std::string_view platformKey) {
    // Two readers of one signed text must never see two manifests: a key
    // repeated in any object is refused rather than read as "last wins".
    std::vector<std::set<std::string>> keys;
    std::optional<std::string> repeated;
    const json::parser_callback_t noteKeys = [&keys, &repeated](int, json::parse_event_t event,
                                                                json& parsed) {
        if (event == json::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == json::parse_event_t::object_end && !keys.empty()) {
            keys.pop_back();
        } else if (event == json::parse_event_t::key && !keys.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second && !repeated) {
            repeated = parsed.get<std::string>();
        }
        return true;
    };
    const json document = json::parse(text.begin(), text.end(), noteKeys, false);
    if (document.is_discarded()) {
        return fail("the manifest is not JSON");
    }
    if (repeated) {
        return fail("the key \"" + *repeated + "\" appears twice in one object");
    }
    if (!document.is_object()) {
        return fail("the manifest's top level is not an object");
    }
    UpdateManifest manifest;
    auto notes = optionalString(document, "notes", "");
    if (!notes) {
        return fail(notes.error());
    }
    manifest.notes = std::move(*notes);
    const auto entry = document.find(std::string(platformKey));
    if (entry != document.end() && !entry->is_null()) {
        if (!entry->is_object()) {
            return fail("\"" + std::string(platformKey) + "\" is neither an object nor null");
        }
        auto info = decodeInfo(*entry, "\"" + std::string(platformKey) + "\": ");
        if (!info) {
            return fail(info.error());
        }
        manifest.platform = std::move(*info);
    }
    return manifest;
}

std::optional<ManifestError> signatureFault(const std::optional<std::string>& signatureBody,
                                            const std::optional<std::string>& manifestBody,
                                            const PublicKeys& publicKeys) {
    if (!signatureBody || !manifestBody) {
        return ManifestError{ManifestFault::missingBody, signatureBody ? "no manifest" : "no signature"};
    }
    const auto signature = decodeBase64Strict(trimmedSignatureText(*signatureBody));
    if (!signature) {
        return ManifestError{ManifestFault::signatureNotBase64,
                             "the signature is not one line of standard base64"};
    }
    if (publicKeys.empty()) {
        return ManifestError{ManifestFault::badPublicKey, "there is no public key to verify with"};
    }
    std::vector<std::vector<unsigned char>> keys;
    for (std::size_t i = 0; i < publicKeys.size(); ++i) {
        auto key = decodeBase64Strict(publicKeys[i]);
        if (!key || key->size() != crypto_sign_PUBLICKEYBYTES) {
            return ManifestError{ManifestFault::badPublicKey, "public key " + std::to_string(i + 1) + " of " +
                                                                  std::to_string(publicKeys.size()) +
                                                                  " is not base64 of 32 bytes"};
        }
        keys.push_back(std::move(*key));
    }
    if (signature->size() != crypto_sign_BYTES) {
        return ManifestError{ManifestFault::signatureMismatch,
                             "the signature is " + std::to_string(signature->size()) + " bytes, not 64"};
    }
    for (const auto& key : keys) {
        if (crypto_sign_verify_detached(signature->data(),
                                        reinterpret_cast<const unsigned char*>(manifestBody->data()),
                                        manifestBody->size(), key.data()) == 0) {
            return std::nullopt;
        }
    }
    return ManifestError{ManifestFault::signatureMismatch,
                         keys.size() == 1 ? "the signature does not match the manifest and key"
                                          : "the signature does not match the manifest and any of the " +
                                                std::to_string(keys.size()) + " keys"};
}

expected<UpdateManifest, ManifestError>
checkManifest(const std::optional<std::string>& signatureBody, const std::optional<std::string>& manifestBody,
              const PublicKeys& publicKeys, std::string_view updateBaseURL, std::string_view platformKey) {
    const auto refuse = [](ManifestFault fault, std::string detail) {
        return unexpected(ManifestError{fault, std::move(detail)});
    };
    // Verified over the bytes exactly as served, before anything reads them.
    if (auto fault = signatureFault(signatureBody, manifestBody, publicKeys)) {
        return unexpected(std::move(*fault));
    }
    auto manifest = decodeManifest(*manifestBody, platformKey);
    if (!manifest) {
        return refuse(ManifestFault::badManifest, manifest.error());
    }
    if (!manifest->platform) {
        return refuse(ManifestFault::noPlatformEntry,
                      "the manifest has no \"" + std::string(platformKey) + "\" entry");
    }
    if (!manifest->platform->url.starts_with(updateBaseURL)) {
        return refuse(ManifestFault::urlOutsideBase,
                      "the archive url does not begin with " + std::string(updateBaseURL));
    }
    // A URL that begins with the folder's text can still leave it through
    // dot segments, which the server resolves, or be one the download would
    // refuse: an offer that "Update now" could not start.
    if (!isArchiveURL(manifest->platform->url, updateBaseURL)) {
        return refuse(ManifestFault::urlOutsideBase, "the archive url climbs out of " +
                                                         std::string(updateBaseURL) +
                                                         " or is not an address the launcher can download");
    }
    return std::move(*manifest);
}

std::optional<UpdateManifest> verifiedManifest(const std::optional<std::string>& signatureBody,
                                               const std::optional<std::string>& manifestBody,
                                               const PublicKeys& publicKeys, std::string_view updateBaseURL) {
    auto result = checkManifest(signatureBody, manifestBody, publicKeys, updateBaseURL);
    if (!result) {
        return std::nullopt;
    }
    return std::move(*result);
}

} // namespace vorlia
