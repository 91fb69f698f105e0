// The updater's transfers: the manifest and its signature fetched whole into
// memory up to a cap, and the archive streamed into a file while it is
// hashed, so that it is never held whole. Blocking: each runs on a worker
// thread.
#pragma once

#include "update/download_check.hpp"

#include <libsoup/soup.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// A GET of the whole body into memory, no extra headers. Nothing when the
// transfer failed or the body is longer than `cap` bytes; an error page is a
// body like any other.
std::optional<std::string> fetchBody(SoupSession* session, const std::string& url, std::size_t cap,
                                     GCancellable* cancellable);

// The archive's address, parsed, when it passes the manifest's URL check
// (isArchiveURL against `baseURL`); nothing otherwise.
std::shared_ptr<GUri> downloadURI(const std::string& url, std::string_view baseURL);

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
