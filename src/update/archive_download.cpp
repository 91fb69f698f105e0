#include "update/archive_download.hpp"

#include "base/handle.hpp"
#include "base/hex.hpp"

#include <sodium.h>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace vorlia {

namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::uint64_t> announcedLength(SoupMessage* message) {
    SoupMessageHeaders* headers = soup_message_get_response_headers(message);
    // A compressed body is decoded on the way in: its announced length is
    // not what arrives.
    if (soup_message_headers_get_encoding(headers) != SOUP_ENCODING_CONTENT_LENGTH ||
        soup_message_headers_get_one(headers, "Content-Encoding") != nullptr) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(soup_message_headers_get_content_length(headers));
}

} // namespace

DownloadResult downloadArchive(SoupSession* session, GUri* uri, const std::filesystem::path& file,
                               GCancellable* cancellable, const ProgressSink& progress) {
    DownloadResult result;
    const Handle<SoupMessage> message = adopt(soup_message_new_from_uri(SOUP_METHOD_GET, uri));
    GError* raw = nullptr;
    const Handle<GInputStream> body = adopt(soup_session_send(session, message.get(), cancellable, &raw));
    Handle<GError> error(raw);
    if (!body) {
        result.error = true;
        return result;
    }
    result.haveBody = true;
    result.httpResponse = true;
    result.status = soup_message_get_status(message.get());
    if (result.status != SOUP_STATUS_OK) {
        g_input_stream_close(body.get(), nullptr, nullptr);
        return result;
    }

    if (sodium_init() < 0) {
        return result;
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool stored = fd >= 0;
    crypto_hash_sha256_state hash;
    crypto_hash_sha256_init(&hash);
    DownloadProgress seen{0, announcedLength(message.get())};
    std::vector<std::uint8_t> block(1 << 16);
    while (stored) {
        const gssize n = g_input_stream_read(body.get(), block.data(), block.size(), cancellable, &raw);
        if (n < 0) {
            error.reset(raw);
            result.error = true;
            break;
        }
        if (n == 0) {
            break;
        }
        crypto_hash_sha256_update(&hash, block.data(), static_cast<unsigned long long>(n));
        stored = writeAll(fd, block.data(), static_cast<std::size_t>(n));
        seen.received += static_cast<std::uint64_t>(n);
        if (progress) {
            progress(seen);
        }
    }
    // libsoup takes a connection closed before the announced length as the
    // end of the body; it is a cut transfer.
    if (!result.error && seen.total && seen.received != *seen.total) {
        result.error = true;
    }
    if (fd >= 0 && ::close(fd) != 0) {
        stored = false;
    }
    g_input_stream_close(body.get(), nullptr, nullptr);
    result.bodyStored = stored;
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256_final(&hash, digest.data());
    result.digestHex = hexString(digest);
    return result;
}

} // namespace vorlia
