// The game host and the site host, played on loopback for the demo and the
// tests. One HTTPS port answers for both host names (by the Host header); one
// plain HTTP proxy port tunnels CONNECT for exactly those names to it and
// refuses every other destination, so a client routed through it can reach
// nothing else.
//
// Prints {"https":PORT,"proxy":PORT} on one line once both listen, then logs
// every request as one JSON line (to --log, or stdout), stamped with the wall
// clock so a benchmark can time a page against its own process start. Stops on
// SIGTERM/SIGINT.

#include "app/build_constants.hpp"
#include "base/handle.hpp"
#include "rules/path_segments.hpp"
#include "rules/token.hpp"
#include "rules/token_tables.hpp"

#include <gio/gio.h>
#include <glib-unix.h>
#include <libsoup/soup.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using vorlia::adopt;
using vorlia::GText;
using vorlia::Handle;
using vorlia::ref;
namespace fs = std::filesystem;

// What a path answers with instead of its file, for the update tests.
struct Fault {
    enum class Kind { Status, Partial, Cut, Stall, ChunkedCut, GzipCut, Endless } kind = Kind::Status;
    unsigned status = 0;
};

// The named kinds, in the order --help lists them; a three-digit status is
// the one kind without a name.
struct NamedFault {
    const char* name;
    Fault fault;
    const char* what;
};
constexpr NamedFault namedFaults[] = {
    {"206", {Fault::Kind::Partial, 206}, "half the body as a 206 partial answer"},
    {"partial", {Fault::Kind::Partial, 206}, "the same as 206"},
    {"cut", {Fault::Kind::Cut, 200}, "half the body, then the connection closes"},
    {"stall", {Fault::Kind::Stall, 200}, "half the body, then no more bytes while the connection stays open"},
    {"chunked-cut",
     {Fault::Kind::ChunkedCut, 200},
     "one chunk, then the connection closes without the last one"},
    {"gzip-cut", {Fault::Kind::GzipCut, 200}, "half a gzip-encoded body, then the connection closes"},
    {"endless", {Fault::Kind::Endless, 200}, "a chunked body that never ends"},
};

std::optional<Fault> parseFaultKind(const std::string& kind) {
    for (const NamedFault& named : namedFaults) {
        if (kind == named.name) {
            return named.fault;
        }
    }
    if (kind.size() == 3 && kind.find_first_not_of("0123456789") == std::string::npos && kind[0] >= '1') {
        return Fault{Fault::Kind::Status, static_cast<unsigned>(std::stoul(kind))};
    }
    return std::nullopt;
}

// What --fault accepts: KINDS is "404|206|...", HELP one line a kind.
std::string faultKinds() {
    std::string kinds = "404";
    for (const NamedFault& named : namedFaults) {
        kinds = kinds + "|" + named.name;
    }
    return kinds;
}

std::string faultHelp() {
    std::string help = "Make PATH answer with KIND:\n"
                       "      a status such as 404: that status and a short text";
    for (const NamedFault& named : namedFaults) {
        help = help + "\n      " + named.name + ": " + named.what;
    }
    return help;
}

struct Options {
    std::string gameHost = vorlia::build::gameHost;
    std::string siteHost = vorlia::build::siteHost;
    int httpsPort = 0;
    int proxyPort = 0;
    std::string certFile = VORLIA_STANDIN_CERT_FILE;
    std::string keyFile = VORLIA_STANDIN_KEY_FILE;
    std::string gameDir = VORLIA_STANDIN_GAME_DIR;
    std::optional<std::string> siteDir;
    std::optional<std::string> logFile;
    std::map<std::string, Fault> faults; // by request path
};

struct Standin {
    Options options;
    vorlia::TokenKeyTables tables;
    FILE* log = stdout;
    guint httpsPort = 0;
    Handle<SoupServer> https;
    Handle<SoupServer> proxy;
    // Connections held open by the "stall" fault until the process stops.
    std::vector<Handle<GIOStream>> stalled;
    Handle<GMainLoop> loop;

    bool isSite(const std::string& host) const {
        return host == options.siteHost || host == "www." + options.siteHost;
    }
    bool isKnown(const std::string& host) const { return host == options.gameHost || isSite(host); }
};

std::string lower(const char* text) {
    GText down(g_ascii_strdown(text != nullptr ? text : "", -1));
    return down.get();
}

std::string hostOf(SoupServerMessage* msg) {
    return lower(g_uri_get_host(soup_server_message_get_uri(msg)));
}

// --- the log ---------------------------------------------------------------

// Annotations a handler leaves on a message for its log line.
constexpr const char* tokenNote = "vrl-token";
constexpr const char* bodyNote = "vrl-body";

void writeLog(Standin& s, const nlohmann::json& line) {
    std::fputs((line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(), s.log);
    std::fflush(s.log);
}

nlohmann::json logLine(SoupServerMessage* msg, const char* listener) {
    GUri* uri = soup_server_message_get_uri(msg);
    nlohmann::json line = {
        {"listener", listener},
        {"method", soup_server_message_get_method(msg)},
        {"host", hostOf(msg)},
        {"path", g_uri_get_path(uri) != nullptr ? g_uri_get_path(uri) : ""},
        {"query", g_uri_get_query(uri) != nullptr ? g_uri_get_query(uri) : ""},
        {"status", soup_server_message_get_status(msg)},
        {"time", static_cast<double>(g_get_real_time()) / G_USEC_PER_SEC},
    };
    if (soup_server_message_get_method(msg) == SOUP_METHOD_CONNECT) {
        line["port"] = g_uri_get_port(uri);
    }
    // Tells one launcher version from another in the update tests.
    if (const char* agent =
            soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "User-Agent")) {
        line["userAgent"] = agent;
    }
    if (const auto* token = static_cast<const char*>(g_object_get_data(G_OBJECT(msg), tokenNote))) {
        line["token"] = token;
    }
    if (const auto* body = static_cast<const char*>(g_object_get_data(G_OBJECT(msg), bodyNote))) {
        line["body"] = body;
    }
    return line;
}

void onHttpsFinished(SoupServer*, SoupServerMessage* msg, gpointer data) {
    writeLog(*static_cast<Standin*>(data), logLine(msg, "https"));
}

void onProxyFinished(SoupServer*, SoupServerMessage* msg, gpointer data) {
    writeLog(*static_cast<Standin*>(data), logLine(msg, "proxy"));
}

// --- files -------------------------------------------------------------------

// Maps a request path onto a file under root, refusing anything that could
// leave it. The path arrives percent-encoded.
std::optional<fs::path> fileUnder(const std::string& root, const char* encodedPath) {
    GText decoded(g_uri_unescape_string(encodedPath, "/"));
    if (!decoded || decoded.get()[0] != '/') {
        return std::nullopt;
    }
    fs::path result(root);
    bool ok = true;
    for (const vorlia::PathSegment& segment : vorlia::pathSegments(decoded.get() + 1)) {
        if (segment.kind == vorlia::SegmentKind::current || segment.kind == vorlia::SegmentKind::parent) {
            ok = false;
        } else if (segment.kind == vorlia::SegmentKind::name) {
            result /= segment.text;
        }
    }
    std::error_code error;
    if (!ok || !fs::is_regular_file(result, error)) {
        return std::nullopt;
    }
    return result;
}

const char* contentType(const fs::path& file) {
    static const std::map<std::string, const char*> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript"},
        {".css", "text/css"},
        {".json", "application/json"},
        {".sig", "text/plain"},
        {".txt", "text/plain; charset=utf-8"},
        {".swf", "application/x-shockwave-flash"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".zip", "application/zip"},
    };
    const auto found = types.find(lower(file.extension().c_str()));
    return found != types.end() ? found->second : "application/octet-stream";
}

void respondText(SoupServerMessage* msg, unsigned status, const std::string& text,
                 const char* type = "text/plain; charset=utf-8") {
    soup_server_message_set_status(msg, status, nullptr);
    soup_server_message_set_response(msg, type, SOUP_MEMORY_COPY, text.data(), text.size());
}

struct PartialWrite {
    Handle<SoupServerMessage> msg;
    Standin* standin;
    bool stall;
};

// After the first half of the body went out, either keep the connection open
// and silent (stall) or close it (cut); the client was promised the whole.
void onHalfWritten(SoupServerMessage* msg, guint, gpointer data) {
    auto* write = static_cast<PartialWrite*>(data);
    g_signal_handlers_disconnect_by_data(msg, data);
    Standin* s = write->standin;
    const bool stall = write->stall;
    writeLog(*s, logLine(msg, "https"));
    Handle<GIOStream> stream = adopt(soup_server_message_steal_connection(msg));
    delete write;
    if (!stream) {
        return;
    }
    if (stall) {
        s->stalled.push_back(std::move(stream));
    } else {
        g_io_stream_close(stream.get(), nullptr, nullptr);
    }
}

struct ChunkedCut {
    Standin& standin;
    Handle<GBytes> chunk;
};

void onChunkedCutHeadersWritten(SoupServerMessage* msg, gpointer data) {
    std::unique_ptr<ChunkedCut> cut(static_cast<ChunkedCut*>(data));
    g_signal_handlers_disconnect_by_data(msg, data);
    writeLog(cut->standin, logLine(msg, "https"));
    const Handle<GIOStream> stream = adopt(soup_server_message_steal_connection(msg));
    if (!stream) {
        return;
    }
    gsize size = 0;
    const void* bytes = g_bytes_get_data(cut->chunk.get(), &size);
    const GText head(g_strdup_printf("%" G_GSIZE_MODIFIER "x\r\n", size));
    GOutputStream* out = g_io_stream_get_output_stream(stream.get());
    g_output_stream_write_all(out, head.get(), std::strlen(head.get()), nullptr, nullptr, nullptr);
    g_output_stream_write_all(out, bytes, size, nullptr, nullptr, nullptr);
    g_output_stream_write_all(out, "\r\n", 2, nullptr, nullptr, nullptr);
    g_io_stream_close(stream.get(), nullptr, nullptr);
}

// The bytes gzip-compressed, as a server compressing on the way sends them.
Handle<GBytes> gzipped(GBytes* bytes) {
    const Handle<GOutputStream> memory = adopt(g_memory_output_stream_new_resizable());
    const Handle<GConverter> compressor =
        adopt(G_CONVERTER(g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, -1)));
    const Handle<GOutputStream> packing =
        adopt(g_converter_output_stream_new(memory.get(), compressor.get()));
    gsize size = 0;
    const void* data = g_bytes_get_data(bytes, &size);
    g_output_stream_write_all(packing.get(), data, size, nullptr, nullptr, nullptr);
    g_output_stream_close(packing.get(), nullptr, nullptr);
    return adopt(g_memory_output_stream_steal_as_bytes(G_MEMORY_OUTPUT_STREAM(memory.get())));
}

// One more block of an endless body each time the last one went out, so that
// the stand-in never holds more than one.
void onEndlessChunkWritten(SoupServerMessage* msg, gpointer) {
    static const std::string filler(64 * 1024, 'e');
    soup_message_body_append(soup_server_message_get_response_body(msg), SOUP_MEMORY_STATIC, filler.data(),
                             filler.size());
    soup_server_message_unpause(msg);
}

void respondFile(Standin& s, SoupServerMessage* msg, const fs::path& file, const char* path) {
    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(file.c_str(), &contents, &length, nullptr)) {
        respondText(msg, SOUP_STATUS_NOT_FOUND, "Not found\n");
        return;
    }
    const Handle<GBytes> bytes = adopt(g_bytes_new_take(contents, length));
    SoupMessageHeaders* headers = soup_server_message_get_response_headers(msg);
    soup_message_headers_replace(headers, "Cache-Control", "no-store");

    const auto fault = s.options.faults.find(path);
    if (fault == s.options.faults.end()) {
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_message_headers_set_content_type(headers, contentType(file), nullptr);
        soup_message_body_append_bytes(soup_server_message_get_response_body(msg), bytes.get());
        return;
    }
    const gsize half = length / 2;
    switch (fault->second.kind) {
    case Fault::Kind::Status:
        respondText(msg, fault->second.status, "Injected failure\n");
        return;
    case Fault::Kind::Partial: {
        soup_server_message_set_status(msg, SOUP_STATUS_PARTIAL_CONTENT, nullptr);
        soup_message_headers_set_content_type(headers, contentType(file), nullptr);
        soup_message_headers_set_content_range(headers, 0, static_cast<goffset>(half) - 1,
                                               static_cast<goffset>(length));
        const Handle<GBytes> first = adopt(g_bytes_new_from_bytes(bytes.get(), 0, half));
        soup_message_body_append_bytes(soup_server_message_get_response_body(msg), first.get());
        return;
    }
    case Fault::Kind::Endless:
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_message_headers_set_content_type(headers, contentType(file), nullptr);
        soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
        g_signal_connect(msg, "wrote-chunk", G_CALLBACK(onEndlessChunkWritten), nullptr);
        onEndlessChunkWritten(msg, nullptr);
        return;
    case Fault::Kind::Cut:
    case Fault::Kind::Stall:
    case Fault::Kind::ChunkedCut:
    case Fault::Kind::GzipCut: {
        soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
        soup_message_headers_set_content_type(headers, contentType(file), nullptr);
        Handle<GBytes> whole = adopt(g_bytes_ref(bytes.get()));
        if (fault->second.kind == Fault::Kind::GzipCut) {
            // A compressed body cut short on a connection the server closes:
            // clients then read to the end of the stream whatever the length.
            whole = gzipped(bytes.get());
            soup_message_headers_replace(headers, "Content-Encoding", "gzip");
            soup_message_headers_replace(headers, "Connection", "close");
        }
        if (fault->second.kind == Fault::Kind::ChunkedCut) {
            // Cut between two chunks: one whole chunk, then the connection
            // closes; the last, empty chunk never comes. libsoup would end
            // the body itself, so the chunk is written by hand.
            soup_message_headers_set_encoding(headers, SOUP_ENCODING_CHUNKED);
            auto* cut =
                new ChunkedCut{s, adopt(g_bytes_new_from_bytes(bytes.get(), 0, std::max<gsize>(half, 1)))};
            g_signal_connect(msg, "wrote-headers", G_CALLBACK(onChunkedCutHeadersWritten), cut);
            return;
        }
        soup_message_headers_set_content_length(headers, static_cast<goffset>(g_bytes_get_size(whole.get())));
        const Handle<GBytes> first = adopt(
            g_bytes_new_from_bytes(whole.get(), 0, std::max<gsize>(g_bytes_get_size(whole.get()) / 2, 1)));
        SoupMessageBody* body = soup_server_message_get_response_body(msg);
        soup_message_body_append_bytes(body, first.get());
        // The body is never completed: the server writes what it has, then waits.
        auto* write = new PartialWrite{vorlia::ref(msg), &s, fault->second.kind == Fault::Kind::Stall};
        g_signal_connect(msg, "wrote-body-data", G_CALLBACK(onHalfWritten), write);
        return;
    }
    }
}

// --- the game host ---------------------------------------------------------

bool tokenAccepted(const Standin& s, const char* token) {
    if (token == nullptr) {
        return false;
    }
    const std::string given = token;
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (double at : {now, now - 3600.0}) {
        const std::string expected = vorlia::accessToken(at, s.tables);
        if (given.size() == expected.size() &&
            sodium_memcmp(given.data(), expected.data(), given.size()) == 0) {
            return true;
        }
    }
    return false;
}

// Runs before the body is read and before the WebSocket handshake: a gated
// request without an accepted token ends here with 403.
void gateEarly(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query, gpointer data) {
    auto& s = *static_cast<Standin*>(data);
    if (!g_str_has_prefix(path, "/g/")) {
        return; // not gated: the ordinary handler answers
    }
    if (hostOf(msg) != s.options.gameHost) {
        // Only the game host has gated paths (this also keeps the socket handler off other hosts).
        respondText(msg, s.isKnown(hostOf(msg)) ? SOUP_STATUS_NOT_FOUND : SOUP_STATUS_MISDIRECTED_REQUEST,
                    "Not found\n");
        return;
    }
    const bool socket = g_strcmp0(path, "/g/ws/game") == 0;
    const char* token =
        socket ? (query != nullptr ? static_cast<const char*>(g_hash_table_lookup(query, "t")) : nullptr)
               : soup_message_headers_get_one(soup_server_message_get_request_headers(msg), "X-VRL-T");
    const char* verdict = token == nullptr ? "missing" : (tokenAccepted(s, token) ? "accepted" : "refused");
    g_object_set_data(G_OBJECT(msg), tokenNote, const_cast<char*>(verdict));
    if (g_strcmp0(verdict, "accepted") != 0) {
        respondText(msg, SOUP_STATUS_FORBIDDEN, "A valid launcher token is required\n");
    }
}

// A status fault answers in place of whatever the path would have served.
bool statusFault(Standin& s, SoupServerMessage* msg, const char* path) {
    const auto fault = s.options.faults.find(path);
    if (fault == s.options.faults.end() || fault->second.kind != Fault::Kind::Status) {
        return false;
    }
    respondText(msg, fault->second.status, "Injected failure\n");
    return true;
}

void serveGame(Standin& s, SoupServerMessage* msg, const char* path) {
    const std::string p = path;
    if (p == "/") {
        soup_server_message_set_redirect(msg, SOUP_STATUS_FOUND, "/act_web_tiyan/index.html?launcher=1");
        return;
    }
    // The page's own reports: its load event and the outcome of its checks.
    if ((p == "/act_web_tiyan/report" || p == "/act_web_tiyan/loaded") &&
        g_strcmp0(soup_server_message_get_method(msg), "POST") == 0) {
        SoupMessageBody* body = soup_server_message_get_request_body(msg);
        const Handle<GBytes> flat = adopt(soup_message_body_flatten(body));
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(flat.get(), &size));
        g_object_set_data_full(G_OBJECT(msg), bodyNote, g_strndup(data, size), g_free);
        respondText(msg, SOUP_STATUS_NO_CONTENT, "");
        return;
    }
    const bool gated = p.rfind("/g/", 0) == 0;
    const std::string resource = gated ? p.substr(2) : p;
    if (resource.rfind("/act_web_tiyan/", 0) != 0) {
        respondText(msg, SOUP_STATUS_NOT_FOUND, "Not found\n");
        return;
    }
    const auto file = fileUnder(s.options.gameDir, resource.c_str());
    if (!file) {
        respondText(msg, SOUP_STATUS_NOT_FOUND, "Not found\n");
        return;
    }
    // Lets the page tell a gated delivery from an ordinary one.
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "X-VRL-Gate",
                                 gated ? "accepted" : "none");
    respondFile(s, msg, *file, path);
}

void onGameSocket(SoupServer*, SoupServerMessage* msg, const char*, SoupWebsocketConnection* connection,
                  gpointer data) {
    // An upgraded request never finishes as an HTTP request, so its log line is written here.
    writeLog(*static_cast<Standin*>(data), logLine(msg, "https"));
    const std::string hello = R"({"gate":"accepted","path":"/g/ws/game"})";
    soup_websocket_connection_send_text(connection, hello.c_str());
    // The connection stays open until the page closes it; keep it alive until then.
    g_object_ref(connection);
    g_signal_connect(connection, "closed",
                     G_CALLBACK(+[](SoupWebsocketConnection* c, gpointer) { g_object_unref(c); }), nullptr);
}

// --- the site host -----------------------------------------------------------

void serveSite(Standin& s, SoupServerMessage* msg, const char* path, GHashTable* query) {
    const std::string p = path;
    if (p == "/" || p == "/index.html") {
        if (s.options.siteDir) {
            if (const auto file = fileUnder(*s.options.siteDir, "/index.html")) {
                respondFile(s, msg, *file, path);
                return;
            }
        }
        const bool download =
            query != nullptr &&
            g_strcmp0(static_cast<const char*>(g_hash_table_lookup(query, "download")), "1") == 0;
        const std::string page =
            std::string("<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                        "<title>Vorlia</title></head><body style=\"font-family:system-ui,"
                        "Arial;background:#0b1020;color:#e8ecf8;padding:40px\"><h1>Vorlia</h1>") +
            (download ? "<p id=\"download\">Download the latest Vorlia launcher.</p>"
                      : "<p id=\"home\">The official home of Vorlia.</p>") +
            "</body></html>\n";
        respondText(msg, SOUP_STATUS_OK, page, "text/html; charset=utf-8");
        return;
    }
    const auto file = s.options.siteDir ? fileUnder(*s.options.siteDir, path) : std::nullopt;
    if (!file) {
        respondText(msg, SOUP_STATUS_NOT_FOUND, "Not found\n");
        return;
    }
    respondFile(s, msg, *file, path);
}

void serveHttps(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable* query, gpointer data) {
    auto& s = *static_cast<Standin*>(data);
    const std::string host = hostOf(msg);
    if (soup_server_message_get_status(msg) != 0) {
        return; // already answered by the gate
    }
    const char* method = soup_server_message_get_method(msg);
    if (method != SOUP_METHOD_GET && method != SOUP_METHOD_HEAD && method != SOUP_METHOD_POST) {
        respondText(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "Method not allowed\n");
        return;
    }
    if (s.isKnown(host) && statusFault(s, msg, path)) {
        return;
    }
    if (host == s.options.gameHost) {
        serveGame(s, msg, path);
    } else if (s.isSite(host)) {
        serveSite(s, msg, path, query);
    } else {
        respondText(msg, SOUP_STATUS_MISDIRECTED_REQUEST, "Unknown host\n");
    }
}

// --- the proxy ---------------------------------------------------------------

struct Tunnel {
    Standin* standin;
    Handle<SoupServerMessage> msg;
    Handle<GIOStream> upstream;
};

void onTunnelReady(SoupServerMessage* msg, gpointer data) {
    auto* tunnel = static_cast<Tunnel*>(data);
    g_signal_handlers_disconnect_by_data(msg, data);
    Handle<GIOStream> upstream = std::move(tunnel->upstream);
    writeLog(*tunnel->standin, logLine(msg, "proxy"));
    const Handle<GIOStream> client = adopt(soup_server_message_steal_connection(msg));
    delete tunnel;
    if (!client) {
        return;
    }
    g_io_stream_splice_async(client.get(), upstream.get(),
                             static_cast<GIOStreamSpliceFlags>(G_IO_STREAM_SPLICE_CLOSE_STREAM1 |
                                                               G_IO_STREAM_SPLICE_CLOSE_STREAM2),
                             G_PRIORITY_DEFAULT, nullptr, nullptr, nullptr);
}

void onUpstreamConnected(GObject* source, GAsyncResult* result, gpointer data) {
    auto* tunnel = static_cast<Tunnel*>(data);
    GError* error = nullptr;
    GSocketConnection* connection = g_socket_client_connect_finish(G_SOCKET_CLIENT(source), result, &error);
    Handle<GError> owned(error);
    SoupServerMessage* msg = tunnel->msg.get();
    if (connection == nullptr) {
        respondText(msg, SOUP_STATUS_BAD_GATEWAY, "Stand-in unreachable\n");
        soup_server_message_unpause(msg);
        delete tunnel;
        return;
    }
    tunnel->upstream.reset(G_IO_STREAM(connection));
    soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
    g_signal_connect(msg, "wrote-body", G_CALLBACK(onTunnelReady), tunnel);
    soup_server_message_unpause(msg);
}

void serveProxy(SoupServer* server, SoupServerMessage* msg, const char* path, GHashTable* query,
                gpointer data) {
    auto& s = *static_cast<Standin*>(data);
    GUri* uri = soup_server_message_get_uri(msg);
    const std::string host = hostOf(msg);
    if (soup_server_message_get_method(msg) == SOUP_METHOD_CONNECT) {
        // Only the stand-in's own names, and only on the HTTPS port.
        if (!s.isKnown(host) || g_uri_get_port(uri) != 443) {
            respondText(msg, SOUP_STATUS_FORBIDDEN, "This proxy reaches only the stand-in hosts\n");
            return;
        }
        auto* tunnel = new Tunnel{&s, vorlia::ref(msg), nullptr};
        soup_server_message_pause(msg);
        Handle<GSocketClient> client = adopt(g_socket_client_new());
        Handle<GInetAddress> loopback = adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
        Handle<GSocketAddress> address =
            adopt(g_inet_socket_address_new(loopback.get(), static_cast<guint16>(s.httpsPort)));
        g_socket_client_connect_async(client.get(), G_SOCKET_CONNECTABLE(address.get()), nullptr,
                                      onUpstreamConnected, tunnel);
        return;
    }
    // Plain-HTTP requests in absolute form, for the same names only.
    if (!s.isKnown(host) || g_strcmp0(g_uri_get_scheme(uri), "http") != 0 || g_uri_get_port(uri) != 80) {
        respondText(msg, SOUP_STATUS_FORBIDDEN, "This proxy reaches only the stand-in hosts\n");
        return;
    }
    if (host == s.options.gameHost && g_str_has_prefix(path, "/g/")) {
        gateEarly(server, msg, path, query, data);
    }
    serveHttps(server, msg, path, query, data);
}

// --- start -------------------------------------------------------------------

guint listeningPort(SoupServer* server) {
    GSList* uris = soup_server_get_uris(server);
    const guint port =
        uris != nullptr ? static_cast<guint>(g_uri_get_port(static_cast<GUri*>(uris->data))) : 0;
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    return port;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vorlia-standin: %s\n", message.c_str());
    return 2;
}

gboolean onSignal(gpointer data) {
    g_main_loop_quit(static_cast<Standin*>(data)->loop.get());
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char** argv) {
    Standin s;
    s.tables = vorlia::builtInTokenKeyTables();
    Options& o = s.options;

    gchar* gameHost = nullptr;
    gchar* siteHost = nullptr;
    gchar* cert = nullptr;
    gchar* key = nullptr;
    gchar* gameDir = nullptr;
    gchar* siteDir = nullptr;
    gchar* logFile = nullptr;
    gchar** faults = nullptr;
    const std::string faultText = faultHelp();
    const GOptionEntry entries[] = {
        {"game-host", 0, 0, G_OPTION_ARG_STRING, &gameHost, "Game host name (default: the build's)", "NAME"},
        {"site-host", 0, 0, G_OPTION_ARG_STRING, &siteHost, "Site host name (default: the build's)", "NAME"},
        {"https-port", 0, 0, G_OPTION_ARG_INT, &o.httpsPort, "HTTPS port on 127.0.0.1 (0: any free)", "PORT"},
        {"proxy-port", 0, 0, G_OPTION_ARG_INT, &o.proxyPort, "Proxy port on 127.0.0.1 (0: any free)", "PORT"},
        {"cert", 0, 0, G_OPTION_ARG_FILENAME, &cert, "PEM certificate for the host names", "FILE"},
        {"key", 0, 0, G_OPTION_ARG_FILENAME, &key, "PEM private key of the certificate", "FILE"},
        {"game-dir", 0, 0, G_OPTION_ARG_FILENAME, &gameDir, "Folder served as the game host's root", "DIR"},
        {"site-dir", 0, 0, G_OPTION_ARG_FILENAME, &siteDir, "Folder served as the site host's root", "DIR"},
        {"log", 0, 0, G_OPTION_ARG_FILENAME, &logFile, "Append the request log to FILE", "FILE"},
        {"fault", 0, 0, G_OPTION_ARG_STRING_ARRAY, &faults, faultText.c_str(), "PATH=KIND"},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
    };
    const Handle<GOptionContext> context =
        adopt(g_option_context_new("- the game and site hosts on loopback"));
    g_option_context_add_main_entries(context.get(), entries, nullptr);
    GError* parseError = nullptr;
    const bool parsed = g_option_context_parse(context.get(), &argc, &argv, &parseError);
    const Handle<GError> parseFailure = adopt(parseError);
    // GLib hands over what it filled in (nothing, when parsing failed).
    const auto take = [](gchar* value) -> std::optional<std::string> {
        const GText owned = adopt(value);
        return owned ? std::optional<std::string>(owned.get()) : std::nullopt;
    };
    o.gameHost = take(gameHost).value_or(o.gameHost);
    o.siteHost = take(siteHost).value_or(o.siteHost);
    o.certFile = take(cert).value_or(o.certFile);
    o.keyFile = take(key).value_or(o.keyFile);
    o.gameDir = take(gameDir).value_or(o.gameDir);
    o.siteDir = take(siteDir);
    o.logFile = take(logFile);
    const Handle<char*> faultList = adopt(faults);
    if (!parsed) {
        return fail(parseFailure->message);
    }
    for (gchar** f = faultList.get(); f != nullptr && *f != nullptr; ++f) {
        const std::string fault = *f;
        const auto eq = fault.rfind('=');
        const auto kind = eq == std::string::npos ? std::nullopt : parseFaultKind(fault.substr(eq + 1));
        if (!kind || fault[0] != '/') {
            return fail("bad --fault " + fault + " (expected /path=" + faultKinds() + ")");
        }
        o.faults[fault.substr(0, eq)] = *kind;
    }
    o.gameHost = lower(o.gameHost.c_str());
    o.siteHost = lower(o.siteHost.c_str());
    if (o.httpsPort < 0 || o.httpsPort > 65535 || o.proxyPort < 0 || o.proxyPort > 65535) {
        return fail("ports must lie between 0 and 65535");
    }
    if (o.logFile) {
        s.log = std::fopen(o.logFile->c_str(), "a");
        if (s.log == nullptr) {
            return fail("cannot open the log " + *o.logFile);
        }
    }

    GError* error = nullptr;
    const Handle<GTlsCertificate> certificate =
        adopt(g_tls_certificate_new_from_files(o.certFile.c_str(), o.keyFile.c_str(), &error));
    if (!certificate) {
        Handle<GError> owned(error);
        return fail("cannot load the certificate: " + std::string(error->message));
    }
    s.https = adopt(
        soup_server_new("tls-certificate", certificate.get(), "server-header", "vorlia-standin", nullptr));
    s.proxy = adopt(soup_server_new("server-header", "vorlia-standin", nullptr));

    // Early and ordinary handlers share one entry per path, so the gate is
    // registered beside each handler that can receive a gated path.
    soup_server_add_early_handler(s.https.get(), nullptr, gateEarly, &s, nullptr);
    soup_server_add_early_handler(s.https.get(), "/g/ws/game", gateEarly, &s, nullptr);
    soup_server_add_handler(s.https.get(), nullptr, serveHttps, &s, nullptr);
    soup_server_add_websocket_handler(s.https.get(), "/g/ws/game", nullptr, nullptr, onGameSocket, &s,
                                      nullptr);
    soup_server_add_handler(s.proxy.get(), nullptr, serveProxy, &s, nullptr);
    g_signal_connect(s.https.get(), "request-finished", G_CALLBACK(onHttpsFinished), &s);
    g_signal_connect(s.proxy.get(), "request-finished", G_CALLBACK(onProxyFinished), &s);

    const auto listen = SoupServerListenOptions(SOUP_SERVER_LISTEN_IPV4_ONLY);
    if (!soup_server_listen_local(s.https.get(), static_cast<guint>(o.httpsPort),
                                  SoupServerListenOptions(listen | SOUP_SERVER_LISTEN_HTTPS), &error) ||
        !soup_server_listen_local(s.proxy.get(), static_cast<guint>(o.proxyPort), listen, &error)) {
        Handle<GError> owned(error);
        return fail("cannot listen: " + std::string(error->message));
    }
    s.httpsPort = listeningPort(s.https.get());
    std::printf(
        "%s\n",
        nlohmann::json{{"https", s.httpsPort}, {"proxy", listeningPort(s.proxy.get())}}.dump().c_str());
    std::fflush(stdout);

    s.loop = adopt(g_main_loop_new(nullptr, FALSE));
    g_unix_signal_add(SIGTERM, onSignal, &s);
    g_unix_signal_add(SIGINT, onSignal, &s);
    g_main_loop_run(s.loop.get());

    soup_server_disconnect(s.proxy.get());
    soup_server_disconnect(s.https.get());
    for (auto& stream : s.stalled) {
        g_io_stream_close(stream.get(), nullptr, nullptr);
    }
    if (s.log != stdout) {
        std::fclose(s.log);
    }
    return 0;
}
