// Fetches the update archive into a file while hashing it, so that the
// archive is never held whole in memory. Blocking: runs on a worker thread.
#pragma once

#include "update/download_check.hpp"

#include <libsoup/soup.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace vorlia {

struct DownloadProgress {
    std::uint64_t received = 0;
    std::optional<std::uint64_t> total; // known only from a plain Content-Length
};

// Called on the downloading thread after every block received.
using ProgressSink = std::function<void(const DownloadProgress&)>;

// GETs `uri` through `session` (following redirects) and streams a 200
// response's body into `file`, created new and private to the user, hashing
// it on the way. Other answers are not stored. A gzip or deflate body is
// decoded here, strictly: a compressed stream cut short is an error. Reading
// stops once more than `sizeLimit` bytes have arrived.
DownloadResult downloadArchive(SoupSession* session, GUri* uri, const std::filesystem::path& file,
                               std::uint64_t sizeLimit, GCancellable* cancellable,
                               const ProgressSink& progress);

} // namespace vorlia
