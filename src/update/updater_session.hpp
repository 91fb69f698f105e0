// The one HTTP session of all updater traffic. It lives on a thread of its
// own with its own main context, so that no transfer, verification or digest
// ever runs on the main thread; results reach the main thread only through
// postToMain.
#pragma once

#include "update/update_settings.hpp"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vorlia {

struct HttpResult {
    std::optional<std::string> body; // absent when the transfer failed; an error page is a body
    unsigned status = 0;             // the final HTTP status after redirects; 0 without a response
    std::string error;               // the transport failure, empty when none
};

class UpdaterSession {
  public:
    // No cookie jar, no cache, nothing persisted; the I/O timeout from
    // config.ioTimeout; the route of a demo or test build applied.
    explicit UpdaterSession(const UpdateSettings& config);
    // Cancels what is in flight and stops the thread.
    ~UpdaterSession();
    UpdaterSession(const UpdaterSession&) = delete;
    UpdaterSession& operator=(const UpdaterSession&) = delete;

    // Runs `work` on the session's thread, where the session may be used with
    // its async API. `cancellable` is cancelled when the session shuts down.
    void run(std::function<void(SoupSession* session, GCancellable* cancellable)> work);

    // A GET of the whole body into memory, no extra headers; `done` runs on
    // the session's thread. Safe to call from any thread.
    void get(std::string url, std::function<void(HttpResult)> done);

  private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

// Runs `work` later on the main thread (the default main context), never
// inside the caller. Safe to call from any thread.
void postToMain(std::function<void()> work);

// Requests the manifest and, once that request has completed whatever its
// outcome, the signature, both with the same time stamp t. `done` receives
// (signature body, manifest body) on the session's thread. Returns false and
// requests nothing when the URLs cannot be formed.
bool fetchManifestFiles(
    UpdaterSession& session, std::string_view updateBaseURL, std::int64_t t,
    std::function<void(std::optional<std::string> signature, std::optional<std::string> manifest)> done);

} // namespace vorlia
