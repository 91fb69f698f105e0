// The verdict on a finished archive download, as plain values.
#pragma once

#include "base/expected.hpp"
#include "update/update_failure.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// What one download attempt left behind.
struct DownloadResult {
    bool haveBody = false;      // a response body was received into the archive file
    bool httpResponse = false;  // the final answer was an HTTP response
    unsigned status = 0;        // its status, after any redirects
    bool error = false;         // the transfer reported an error (a cut, a time-out)
    bool bodyStored = false;    // every byte received was written to the archive file
    std::uint64_t received = 0; // bytes of the (decoded) body stored
    std::string digestHex;      // SHA-256 of the stored bytes, lowercase hex
    std::string writeError;     // why the archive file could not be written, in the system's words
};

enum class DownloadVerdict {
    genuine,      // complete, and its digest is the manifest's
    didNotFinish, // no body, not a 200 answer, a transfer error, not stored whole, or beyond its bound
    notGenuine,   // complete, but another digest
    notWritten,   // the archive file could not be written (a full disk, a refused file)
};

// The most an archive download may bring: with a positive manifest `size`,
// the larger of twice that and that plus 64 MiB (the size is an estimate:
// a digest that matches decides, whatever the length); without one, 4 GiB,
// more than any launcher. Reading stops one byte past it.
std::uint64_t downloadBound(std::optional<std::int64_t> manifestSize);

// A failed write comes first: the reading stopped because of it. Transport
// failures come next: a cut download is never called not genuine.
// A body beyond its bound did not finish either (its reading was stopped).
// The length is never compared with `size`. The manifest digest is compared
// lower-cased and otherwise exactly as given.
DownloadVerdict judgeDownload(const DownloadResult& result, std::string_view manifestSha256,
                              std::optional<std::int64_t> manifestSize = std::nullopt);

// How a verdict ends the update: a genuine archive goes on to be unpacked;
// any other is the failure the player is told of, a refused write in the
// system's own words (`writeError`).
expected<void, UpdateFailure> acceptedDownload(DownloadVerdict verdict, std::string_view writeError);

} // namespace vorlia
