// The stand-in hosts, driven through the demo route by a real HTTP client.
#include "base/files.hpp"
#include "base/handle.hpp"
#include "demo/route.hpp"
#include "rules/token.hpp"
#include "support/standin.hpp"

#include <gtest/gtest.h>
#include <libsoup/soup.h>

#include <chrono>
#include <fstream>

namespace vorlia {
namespace {

using test::StandIn;

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

struct Reply {
    unsigned status = 0;
    std::string body;
    std::string error;
};

Handle<SoupSession> routedSession(const Config& config) {
    auto session = adopt(soup_session_new());
    if (const auto route = demo::standInHooks(config).routeSession) {
        route(session.get());
    }
    return session;
}

Reply get(SoupSession* session, const std::string& url, const char* token = nullptr) {
    auto msg = adopt(soup_message_new("GET", url.c_str()));
    if (token != nullptr) {
        soup_message_headers_replace(soup_message_get_request_headers(msg.get()), "X-VRL-T", token);
    }
    GError* error = nullptr;
    GBytes* body = soup_session_send_and_read(session, msg.get(), nullptr, &error);
    Reply reply;
    reply.status = soup_message_get_status(msg.get());
    if (body != nullptr) {
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(body, &size));
        reply.body.assign(data, size);
        g_bytes_unref(body);
    }
    if (error != nullptr) {
        reply.error = error->message;
        g_error_free(error);
    }
    return reply;
}

TEST(StandInHosts, GatedAssetNeedsACurrentToken) {
    StandIn hosts;
    const Config config = hosts.config();
    auto session = routedSession(config);
    const std::string swf = readFile(std::filesystem::path(VORLIA_SOURCE_DIR) /
                                     "tools/standin/game/act_web_tiyan/game/vorlia.swf")
                                .value_or("");
    Config otherKey = config;
    otherKey.tokenKey.keyMask ^= 0x01;

    struct Case {
        const char* name;
        std::optional<std::string> token;
        unsigned status;
    };
    const Case cases[] = {
        {"current hour", accessToken(now(), config.tokenKey), 200},
        {"previous hour", accessToken(now() - 3600, config.tokenKey), 200},
        {"two hours old", accessToken(now() - 7200, config.tokenKey), 403},
        {"next hour", accessToken(now() + 7200, config.tokenKey), 403},
        {"another key", accessToken(now(), otherKey.tokenKey), 403},
        {"malformed", std::string("481500.not-a-token"), 403},
        {"empty", std::string(), 403},
        {"missing", std::nullopt, 403},
    };
    for (const auto& c : cases) {
        const Reply reply =
            get(session.get(), "https://" + config.gameHost + "/g/act_web_tiyan/game/vorlia.swf?v=1",
                c.token ? c.token->c_str() : nullptr);
        EXPECT_EQ(reply.status, c.status) << c.name << " " << reply.error;
        if (c.status == 200) {
            EXPECT_EQ(reply.body, swf) << c.name;
        }
    }
    // The ungated page and assets need no token; an unknown gated file is still gated.
    EXPECT_EQ(get(session.get(), config.gameStartURL).status, 200u);
    EXPECT_EQ(get(session.get(), "https://" + config.gameHost + "/g/act_web_tiyan/none.swf").status, 403u);

    // The log tells each gated request's verdict, in order.
    std::vector<std::string> verdicts;
    for (const auto& line : hosts.requests()) {
        if (line.value("path", "") == "/g/act_web_tiyan/game/vorlia.swf") {
            verdicts.push_back(line.value("token", "") + " " + std::to_string(line.value("status", 0)));
        }
    }
    const std::vector<std::string> expected{"accepted 200", "accepted 200", "refused 403", "refused 403",
                                            "refused 403",  "refused 403",  "refused 403", "missing 403"};
    EXPECT_EQ(verdicts, expected);
}

struct SocketResult {
    bool connected = false;
    std::string firstMessage;
    std::string error;
};

SocketResult openSocket(SoupSession* session, const std::string& url) {
    SocketResult result;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    struct State {
        SocketResult* result;
        GMainLoop* loop;
        Handle<SoupWebsocketConnection> connection;
    } state{&result, loop, nullptr};
    auto msg = adopt(soup_message_new("GET", url.c_str()));
    soup_session_websocket_connect_async(
        session, msg.get(), nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
        +[](GObject* source, GAsyncResult* res, gpointer data) {
            auto* s = static_cast<State*>(data);
            GError* error = nullptr;
            SoupWebsocketConnection* c =
                soup_session_websocket_connect_finish(SOUP_SESSION(source), res, &error);
            if (c == nullptr) {
                s->result->error = error->message;
                g_error_free(error);
                g_main_loop_quit(s->loop);
                return;
            }
            s->result->connected = true;
            s->connection.reset(c);
            g_signal_connect(
                c, "message", G_CALLBACK(+[](SoupWebsocketConnection*, gint, GBytes* message, gpointer d) {
                    auto* st = static_cast<State*>(d);
                    gsize size = 0;
                    const auto* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
                    st->result->firstMessage.assign(bytes, size);
                    g_main_loop_quit(st->loop);
                }),
                s);
        },
        &state);
    g_main_loop_run(loop);
    if (state.connection) {
        g_signal_handlers_disconnect_by_data(state.connection.get(), &state);
        soup_websocket_connection_close(state.connection.get(), SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
    }
    g_main_loop_unref(loop);
    return result;
}

TEST(StandInHosts, GameSocketOpensOnlyWithAValidToken) {
    StandIn hosts;
    const Config config = hosts.config();
    auto session = routedSession(config);
    const std::string base = "wss://" + config.gameHost;
    const std::string token = accessToken(now(), config.tokenKey);

    struct Case {
        std::string url;
        bool opens;
    };
    const Case cases[] = {
        {base + "/g/ws/game?room=1&t=" + token, true},
        {base + "/g/ws/game?t=" + accessToken(now() - 7200, config.tokenKey), false},
        {base + "/g/ws/game?t=bogus", false},
        {base + "/g/ws/game?room=1", false},
        {base + "/ws/game?t=" + token, false},
        {"wss://" + config.siteHost + "/g/ws/game?t=" + token, false},
    };
    for (const auto& c : cases) {
        const SocketResult result = openSocket(session.get(), c.url);
        EXPECT_EQ(result.connected, c.opens) << c.url << " " << result.error;
        if (c.opens) {
            EXPECT_NE(result.firstMessage.find("\"accepted\""), std::string::npos) << result.firstMessage;
        }
    }
}

TEST(StandInHosts, ServesSiteFilesByteForByte) {
    const auto site = std::filesystem::path(g_get_tmp_dir()) / ("vorlia-site-" + std::to_string(getpid()));
    // Bytes a careless server would "fix": a BOM, CRLF, trailing blanks, no final newline, invalid UTF-8.
    const std::string manifest = "\xEF\xBB\xBF{\"mac\": {\"version\": \"2.0\"}}  \r\n\t \xff\xfe";
    const std::string signature = "c2lnbmF0dXJl\r\n";
    std::string archive(300000, '\0');
    for (std::size_t i = 0; i < archive.size(); ++i) {
        archive[i] = static_cast<char>((i * 7919) % 251);
    }
    writeFile(site / "download/version.json", manifest);
    writeFile(site / "download/version.json.sig", signature);
    writeFile(site / "download/Vorlia-2.0.zip", archive);

    test::StandInOptions options;
    options.siteDir = site;
    StandIn hosts(options);
    const Config config = hosts.config();
    auto session = routedSession(config);
    const std::string sites[] = {"https://" + config.siteHost, "https://www." + config.siteHost};
    for (const auto& origin : sites) {
        EXPECT_EQ(get(session.get(), origin + "/download/version.json?t=1733400000").body, manifest)
            << origin;
        EXPECT_EQ(get(session.get(), origin + "/download/version.json.sig?t=1733400000").body, signature)
            << origin;
        EXPECT_EQ(get(session.get(), origin + "/download/Vorlia-2.0.zip").body, archive) << origin;
        EXPECT_EQ(get(session.get(), origin + "/download/missing.json").status, 404u);
        EXPECT_EQ(get(session.get(), origin + "/download/%2e%2e/%2e%2e/etc/passwd").status, 404u);
        EXPECT_EQ(get(session.get(), origin + "/").status, 200u);
        EXPECT_NE(get(session.get(), origin + "/?download=1").body.find("Download"), std::string::npos);
    }
    std::filesystem::remove_all(site);
}

TEST(StandInHosts, InjectedDownloadFaults) {
    const auto site = std::filesystem::path(g_get_tmp_dir()) / ("vorlia-faults-" + std::to_string(getpid()));
    const std::string archive(200000, 'z');
    for (const char* name : {"gone.zip", "partial.zip", "cut.zip", "stall.zip", "fine.zip"}) {
        writeFile(site / "download" / name, archive);
    }
    test::StandInOptions options;
    options.siteDir = site;
    options.faults = {"/download/gone.zip=404", "/download/partial.zip=206", "/download/cut.zip=cut",
                      "/download/stall.zip=stall", "/download/version.json=500"};
    StandIn hosts(options);
    const Config config = hosts.config();
    auto session = routedSession(config);
    soup_session_set_timeout(session.get(), 2); // only the stall waits for it
    const std::string base = "https://" + config.siteHost + "/download/";

    EXPECT_EQ(get(session.get(), base + "gone.zip").status, 404u);
    EXPECT_EQ(get(session.get(), base + "version.json").status, 500u);
    const Reply partial = get(session.get(), base + "partial.zip");
    EXPECT_EQ(partial.status, 206u);
    EXPECT_EQ(partial.body.size(), archive.size() / 2);
    for (const char* name : {"cut.zip", "stall.zip"}) {
        const Reply broken = get(session.get(), base + name);
        EXPECT_FALSE(broken.error.empty()) << name;
        EXPECT_LT(broken.body.size(), archive.size()) << name;
    }
    EXPECT_EQ(get(session.get(), base + "fine.zip").body, archive);
    std::filesystem::remove_all(site);
}

// Writes one request to the proxy port and returns its status line.
std::string proxyStatusLine(int port, const std::string& request) {
    auto client = adopt(g_socket_client_new());
    GError* error = nullptr;
    auto connection =
        adopt(g_socket_client_connect_to_host(client.get(), "127.0.0.1", port, nullptr, &error));
    if (!connection) {
        std::string message = error->message;
        g_error_free(error);
        return message;
    }
    GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection.get()));
    g_output_stream_write_all(out, request.data(), request.size(), nullptr, nullptr, nullptr);
    auto in = adopt(g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(connection.get()))));
    char* line = g_data_input_stream_read_line(in.get(), nullptr, nullptr, nullptr);
    std::string status = line != nullptr ? line : "";
    g_free(line);
    return status;
}

TEST(StandInHosts, ProxyTunnelsOnlyToTheStandInNames) {
    StandIn hosts;
    const Config config = hosts.config();
    struct Case {
        std::string target;
        bool tunnels;
    };
    const Case cases[] = {
        {config.gameHost + ":443", true},
        {config.siteHost + ":443", true},
        {"www." + config.siteHost + ":443", true},
        {"example.com:443", false},
        {"evil." + config.gameHost + ":443", false},
        {config.gameHost + ".evil.example:443", false},
        {config.gameHost + ":22", false},
        {"127.0.0.1:" + std::to_string(hosts.httpsPort()), false},
        {"[::1]:443", false},
    };
    for (const auto& c : cases) {
        const std::string status = proxyStatusLine(
            hosts.proxyPort(), "CONNECT " + c.target + " HTTP/1.1\r\nHost: " + c.target + "\r\n\r\n");
        EXPECT_EQ(status.rfind(c.tunnels ? "HTTP/1.1 200" : "HTTP/1.1 403", 0), 0u)
            << c.target << ": " << status;
    }
    // Absolute-form plain requests go the same way.
    EXPECT_EQ(
        proxyStatusLine(hosts.proxyPort(), "GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n")
            .rfind("HTTP/1.1 403", 0),
        0u);
}

TEST(StandInRoute, TrustsTheStandInCertificateOnlyForItsHosts) {
    StandIn hosts;
    Config config = hosts.config();
    // Drop the site host from the hosts the route trusts the certificate for.
    config.allowedHosts = {config.gameHost};
    auto session = routedSession(config);
    EXPECT_EQ(get(session.get(), config.gameStartURL).status, 200u);
    const Reply site = get(session.get(), "https://" + config.siteHost + "/");
    EXPECT_NE(site.status, 200u);
    EXPECT_FALSE(site.error.empty());

    // Without the route, nothing of this reaches the stand-in.
    Config unrouted = hosts.config();
    unrouted.route.reset();
    auto plain = routedSession(unrouted);
    soup_session_set_proxy_resolver(plain.get(), nullptr);
    EXPECT_FALSE(
        get(plain.get(), "https://127.0.0.1:" + std::to_string(hosts.httpsPort()) + "/").error.empty());
}

TEST(StandInRoute, AcceptsOnlyALoopbackProxy) {
    StandIn hosts;
    const std::string pem = hosts.certificatePEM();
    struct Case {
        const char* proxy;
        bool accepted;
    };
    const Case cases[] = {
        {"http://127.0.0.1:41234", true},
        {"http://127.8.9.10:41234/", true},
        {"http://[::1]:8080", true},
        {"http://localhost:3128", true},
        {"http://127.0.0.1", false},
        {"https://127.0.0.1:41234", false},
        {"socks5://127.0.0.1:1080", false},
        {"http://10.0.0.1:3128", false},
        {"http://proxy.example:3128", false},
        {"http://user:pw@127.0.0.1:3128", false},
        {"http://127.0.0.1:3128/path", false},
        {"127.0.0.1:3128", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(demo::makeStandInRoute(c.proxy, pem).has_value(), c.accepted) << c.proxy;
    }
    EXPECT_FALSE(demo::makeStandInRoute("http://127.0.0.1:41234", "not a certificate").has_value());
}

} // namespace
} // namespace vorlia

namespace vorlia {
namespace {

bool fileContains(const std::filesystem::path& file, const std::string& needle) {
    const std::string bytes = readFile(file).value_or("");
    EXPECT_FALSE(bytes.empty()) << file;
    return bytes.find(needle) != std::string::npos;
}

TEST(StandInRoute, OnlyTheDemoLauncherCarriesIt) {
    const std::filesystem::path build(VORLIA_BINARY_DIR);
    for (const char* input : {"VORLIA_STANDIN_PROXY", "VORLIA_STANDIN_CERT"}) {
        EXPECT_TRUE(fileContains(build / "demo/Vorlia.app/vorlia", input)) << input;
        EXPECT_FALSE(fileContains(build / "Vorlia.app/vorlia", input)) << input;
    }
}

} // namespace
} // namespace vorlia
