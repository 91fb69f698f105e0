// The verdict on a finished archive download, as plain values.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// What one download attempt left behind.
struct DownloadResult {
    bool haveBody = false;     // a response body was received into the archive file
    bool httpResponse = false; // the final answer was an HTTP response
    unsigned status = 0;       // its status, after any redirects
    bool error = false;        // the transfer reported an error (a cut, a time-out)
    bool bodyStored = false;   // every byte received was written to the archive file
    std::string digestHex;     // SHA-256 of the stored bytes, lowercase hex
};

// The failure message, or nothing when the archive is complete and genuine.
// The manifest digest is compared lower-cased and otherwise exactly as given.
std::optional<std::string_view> downloadFailure(const DownloadResult& result,
                                                std::string_view manifestSha256);

} // namespace vorlia
