#include "update/transfer.hpp"

#include "base/files.hpp"
#include "base/handle.hpp"
#include "base/hex.hpp"
#include "rules/url_text.hpp"

#include <nettle/sha2.h>

#include <array>
#include <cerrno>
#include <cstring>
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
    // not what arrives; the compressed stream's own end marks it whole.
    if (soup_message_headers_get_encoding(headers) != SOUP_ENCODING_CONTENT_LENGTH ||
        soup_message_headers_get_one(headers, "Content-Encoding") != nullptr) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(soup_message_headers_get_content_length(headers));
}

// A decoder for the body's content coding, or none for an identity body. An
// unknown coding is stored as it arrives: its digest then decides.
Handle<GConverter> decoderFor(SoupMessage* message) {
    const char* coding =
        soup_message_headers_get_one(soup_message_get_response_headers(message), "Content-Encoding");
    if (coding == nullptr) {
        return {};
    }
    if (g_ascii_strcasecmp(coding, "gzip") == 0 || g_ascii_strcasecmp(coding, "x-gzip") == 0) {
        return adopt(G_CONVERTER(g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP)));
    }
    if (g_ascii_strcasecmp(coding, "deflate") == 0) {
        return adopt(G_CONVERTER(g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_ZLIB)));
    }
    return {};
}

// Whether a chunked body that libsoup has just ended really ended with its
// last chunk. Works around libsoup (3.2 to at least 3.6) taking a connection
// closed between two chunks for the end of the body; it can go once libsoup
// reports that as the error it already reports for a cut inside a chunk.
// Its body stream answers a read at the true end without touching the
// connection, while one still waiting for a chunk size reads the connection
// again, which an already cancelled read refuses.
bool chunkedBodyEnded(GInputStream* received) {
    GInputStream* stream = received;
    while (stream != nullptr && std::strcmp(G_OBJECT_TYPE_NAME(stream), "SoupBodyInputStream") != 0) {
        stream = G_IS_FILTER_INPUT_STREAM(stream)
                     ? g_filter_input_stream_get_base_stream(G_FILTER_INPUT_STREAM(stream))
                     : nullptr;
    }
    if (stream == nullptr) {
        return true; // another libsoup: nothing to probe; the digest decides
    }
    const Handle<GCancellable> cancelled = adopt(g_cancellable_new());
    g_cancellable_cancel(cancelled.get());
    char byte = 0;
    GError* raw = nullptr;
    const gssize n = g_input_stream_read(stream, &byte, 1, cancelled.get(), &raw);
    const Handle<GError> error(raw);
    return n == 0;
}

} // namespace

DownloadResult downloadArchive(SoupSession* session, GUri* uri, const std::filesystem::path& file,
                               std::uint64_t sizeLimit, GCancellable* cancellable,
                               const ProgressSink& progress) {
    DownloadResult result;
    const Handle<SoupMessage> message = adopt(soup_message_new_from_uri(SOUP_METHOD_GET, uri));
    // libsoup's decoder takes a compressed stream cut short for a whole one;
    // the body is decoded below instead.
    soup_message_disable_feature(message.get(), SOUP_TYPE_CONTENT_DECODER);
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

    const Handle<GConverter> decoder = decoderFor(message.get());
    const Handle<GInputStream> decoded =
        decoder ? adopt(g_converter_input_stream_new(body.get(), decoder.get())) : ref(body.get());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool stored = fd >= 0;
    if (!stored) {
        result.writeError = fileError("Could not write", file, errno);
    }
    bool ended = false;
    // Nettle uses the processor's SHA extensions where there are any: the
    // digest then keeps pace with the connection instead of slowing it.
    sha256_ctx hash;
    sha256_init(&hash);
    DownloadProgress seen{0, announcedLength(message.get())};
    // A read hands over one TLS record (16 KiB) at most; the file is written
    // a block at a time, which spares most of the system calls. A quarter of
    // a MiB copies fastest here: it stays in the processor's cache.
    std::vector<std::uint8_t> block(1 << 18);
    std::size_t filled = 0;
    bool more = true;
    while (stored && more) {
        const gssize n = g_input_stream_read(decoded.get(), block.data() + filled, block.size() - filled,
                                             cancellable, &raw);
        if (n < 0) {
            error.reset(raw);
            result.error = true;
            more = false;
        } else if (n == 0) {
            ended = true;
            more = false;
        } else {
            sha256_update(&hash, static_cast<std::size_t>(n), block.data() + filled);
            filled += static_cast<std::size_t>(n);
            seen.received += static_cast<std::uint64_t>(n);
            if (progress) {
                progress(seen);
            }
            // An endless or oversized body is not the published archive: stop
            // before it fills the disk.
            more = seen.received <= sizeLimit;
        }
        if (filled == block.size() || (!more && filled > 0)) {
            stored = writeAll(fd, block.data(), filled);
            if (!stored) {
                result.writeError = fileError("Could not write", file, errno);
            }
            filled = 0;
        }
    }
    // libsoup takes a connection closed before the announced length as the
    // end of the body; it is a cut transfer.
    if (!result.error && seen.total && seen.received != *seen.total) {
        result.error = true;
    }
    if (ended && !result.error &&
        soup_message_headers_get_encoding(soup_message_get_response_headers(message.get())) ==
            SOUP_ENCODING_CHUNKED &&
        !chunkedBodyEnded(body.get())) {
        result.error = true;
    }
    if (fd >= 0 && ::close(fd) != 0 && stored) {
        stored = false;
        result.writeError = fileError("Could not write", file, errno);
    }
    // libsoup's close reads whatever is left of the body: for a body not
    // read to its end (endless, oversized, broken) it must give up at once
    // and drop the connection instead.
    const Handle<GCancellable> giveUp = adopt(g_cancellable_new());
    if (!ended || result.error) {
        g_cancellable_cancel(giveUp.get());
    }
    g_input_stream_close(body.get(), giveUp.get(), nullptr);
    g_input_stream_close(decoded.get(), giveUp.get(), nullptr);
    result.bodyStored = stored;
    result.received = seen.received;
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
    sha256_digest(&hash, digest.size(), digest.data());
    result.digestHex = hexString(digest);
    return result;
}

std::optional<std::string> fetchBody(SoupSession* session, const std::string& url, std::size_t cap,
                                     GCancellable* cancellable) {
    const Handle<SoupMessage> message = adopt(soup_message_new(SOUP_METHOD_GET, url.c_str()));
    if (!message) {
        return std::nullopt;
    }
    GError* raw = nullptr;
    const Handle<GInputStream> stream = adopt(soup_session_send(session, message.get(), cancellable, &raw));
    Handle<GError> error(raw);
    if (!stream) {
        return std::nullopt;
    }
    std::string body;
    bool whole = false;
    char block[16 * 1024];
    while (body.size() <= cap) {
        const gssize n = g_input_stream_read(stream.get(), block, sizeof block, cancellable, &raw);
        if (n < 0) {
            error.reset(raw);
            break;
        }
        if (n == 0) {
            whole = true;
            break;
        }
        body.append(block, static_cast<std::size_t>(n));
    }
    // Closing reads whatever is left of the body: past the cap, give up at once.
    const Handle<GCancellable> giveUp = adopt(g_cancellable_new());
    if (!whole) {
        g_cancellable_cancel(giveUp.get());
    }
    g_input_stream_close(stream.get(), giveUp.get(), nullptr);
    if (!whole || body.size() > cap) {
        return std::nullopt;
    }
    return body;
}

std::shared_ptr<GUri> downloadURI(const std::string& url, std::string_view baseURL) {
    if (!isArchiveURL(url, baseURL)) {
        return nullptr;
    }
    return std::shared_ptr<GUri>(adopt(g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr)));
}

} // namespace vorlia
