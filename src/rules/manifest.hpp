// The signed update manifest: its request URLs, its signature check and its
// decoding into plain values.
#pragma once

#include "base/expected.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// One platform's entry in the manifest.
struct UpdateInfo {
    std::string version;
    std::optional<std::string> min;
    std::string url;
    std::string sha256;
    std::optional<std::int64_t> size;

    friend bool operator==(const UpdateInfo&, const UpdateInfo&) = default;
};

struct UpdateManifest {
    // The entry of the running platform (platformEntryKey); other entries are
    // not read, since an archive for another architecture could not start.
    std::optional<UpdateInfo> platform;
    std::optional<std::string> notes;

    friend bool operator==(const UpdateManifest&, const UpdateManifest&) = default;
};

// The manifest key this build reads: "linux-" + the CPU architecture as
// `uname -m` names it.
#if defined(__x86_64__)
inline constexpr std::string_view platformEntryKey = "linux-x86_64";
#elif defined(__aarch64__)
inline constexpr std::string_view platformEntryKey = "linux-aarch64";
#elif defined(__i386__)
inline constexpr std::string_view platformEntryKey = "linux-i686";
#elif defined(__arm__)
inline constexpr std::string_view platformEntryKey = "linux-armv7l";
#elif defined(__riscv) && __riscv_xlen == 64
inline constexpr std::string_view platformEntryKey = "linux-riscv64";
#elif defined(__powerpc64__) && defined(__LITTLE_ENDIAN__)
inline constexpr std::string_view platformEntryKey = "linux-ppc64le";
#elif defined(__s390x__)
inline constexpr std::string_view platformEntryKey = "linux-s390x";
#elif defined(__loongarch64)
inline constexpr std::string_view platformEntryKey = "linux-loongarch64";
#else
#error "No manifest platform entry name for this CPU architecture"
#endif

struct ManifestURLs {
    std::string manifest;
    std::string signature;
};

// Both request URLs for the time stamp t (whole seconds since 1970), or
// nothing when either is not a valid absolute URL.
std::optional<ManifestURLs> manifestRequestURLs(std::string_view updateBaseURL, std::int64_t t);

// Why a pair of bodies was refused. The launcher never tells these apart; the
// publisher's tool names them.
enum class ManifestFault {
    missingBody,
    signatureNotBase64,
    badPublicKey,
    signatureMismatch,
    badManifest,
    noPlatformEntry,
    urlOutsideBase,
};
struct ManifestError {
    ManifestFault fault;
    std::string detail;
};

// The trusted public keys, each base64 of 32 bytes. A manifest is trusted
// when any one of them verifies its signature, so that a publisher can move
// to a new key while launchers that know only the old one are still in use.
// An empty list trusts nothing, and a list holding anything but keys is a
// broken build: both refuse every manifest (badPublicKey) rather than verify
// with fewer keys than were meant.
using PublicKeys = std::vector<std::string>;

// The signature steps alone: both bodies present, the signature text trimmed
// at both ends and strictly base64, Ed25519 over the manifest's raw bytes by
// one of the keys.
std::optional<ManifestError> signatureFault(const std::optional<std::string>& signatureBody,
                                            const std::optional<std::string>& manifestBody,
                                            const PublicKeys& publicKeys);

// The whole check: signature text trimmed at both ends and strictly base64,
// Ed25519 over the manifest's raw bytes by one of the keys before any parsing,
// then decoding, the platform entry present and its url under updateBaseURL
// (plain text, case-sensitive).
expected<UpdateManifest, ManifestError> checkManifest(const std::optional<std::string>& signatureBody,
                                                      const std::optional<std::string>& manifestBody,
                                                      const PublicKeys& publicKeys,
                                                      std::string_view updateBaseURL,
                                                      std::string_view platformKey = platformEntryKey);

// What the launcher uses: the manifest, or nothing whatever went wrong.
std::optional<UpdateManifest> verifiedManifest(const std::optional<std::string>& signatureBody,
                                               const std::optional<std::string>& manifestBody,
                                               const PublicKeys& publicKeys, std::string_view updateBaseURL);

// Decodes manifest JSON by the launcher's rules (no signature check): a top-level
// object; "notes" a string, null or absent; the entry under platformKey an
// object, null or absent, holding the strings "version", "url" and "sha256",
// "min" a string, null or absent, "size" a 64-bit integer, null or absent.
// Other keys are ignored at every level.
expected<UpdateManifest, std::string> decodeManifest(std::string_view json, std::string_view platformKey);

// Standard padded base64 (RFC 4648), nothing ignored: any other character,
// inner white space included, fails.
std::optional<std::vector<unsigned char>> decodeBase64Strict(std::string_view text);
std::string encodeBase64(const unsigned char* bytes, std::size_t length);

} // namespace vorlia
