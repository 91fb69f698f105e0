// The verdict on a finished archive download, as plain values.
#pragma once

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

enum class DownloadVerdict {
    genuine,      // complete, and its digest is the manifest's
    didNotFinish, // no body, not a 200 answer, a transfer error, or not stored whole
    notGenuine,   // complete, but another digest
};

// Transport failures come first: a cut download is never called not genuine.
// The manifest digest is compared lower-cased and otherwise exactly as given.
DownloadVerdict judgeDownload(const DownloadResult& result, std::string_view manifestSha256);

} // namespace vorlia
