// A real HTTP server on 127.0.0.1 for updater tests, run on the default main
// context, that serves fixed replies and records what it saw, in order.
#pragma once

#include <glib.h>
#include <libsoup/soup.h>
#include <sodium.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorlia::test {

using namespace std::chrono_literals;

// Spins the default main context until pred() holds or the timeout passes.
inline bool spinUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        GSource* tick = g_timeout_source_new(20);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, nullptr);
        g_main_context_iteration(nullptr, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

inline void spinFor(std::chrono::milliseconds duration) {
    spinUntil([] { return false; }, duration);
}

class LoopbackSite {
  public:
    struct Reply {
        int status = 200;
        std::string body;
        std::chrono::milliseconds delay{0}; // answer only after this long
        bool stall = false;                 // never answer
    };
    struct Event {
        std::string kind; // "request" or "answer"
        std::string path;
        std::string query;
    };

    LoopbackSite() : server_(soup_server_new(nullptr, nullptr)) {
        soup_server_add_handler(server_, nullptr, &LoopbackSite::handle, this, nullptr);
        GError* error = nullptr;
        if (!soup_server_listen_local(server_, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
            const std::string message = error->message;
            g_error_free(error);
            throw std::runtime_error("cannot listen on 127.0.0.1: " + message);
        }
        GSList* uris = soup_server_get_uris(server_);
        port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
        g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    }
    ~LoopbackSite() {
        for (GSource* timer : timers_) {
            g_source_destroy(timer);
            g_source_unref(timer);
        }
        soup_server_disconnect(server_);
        g_object_unref(server_);
    }
    LoopbackSite(const LoopbackSite&) = delete;
    LoopbackSite& operator=(const LoopbackSite&) = delete;

    std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string baseURL() const { return origin() + "/download/"; }

    // What a path answers; any other path is a 404 page.
    void serve(const std::string& path, Reply reply) { replies_[path] = std::move(reply); }
    void serveFiles(const std::string& manifest, const std::string& signature) {
        serve("/download/version.json", Reply{200, manifest});
        serve("/download/version.json.sig", Reply{200, signature});
    }

    const std::vector<Event>& events() const { return events_; }
    std::vector<Event> requests() const {
        std::vector<Event> out;
        for (const auto& e : events_) {
            if (e.kind == "request") {
                out.push_back(e);
            }
        }
        return out;
    }

  private:
    struct Pending {
        LoopbackSite* site;
        SoupServerMessage* message;
        Reply reply;
        std::string path;
        std::string query;
    };

    static void answer(SoupServerMessage* message, const Reply& reply) {
        soup_server_message_set_status(message, static_cast<guint>(reply.status), nullptr);
        soup_server_message_set_response(message, "application/octet-stream", SOUP_MEMORY_COPY,
                                         reply.body.data(), reply.body.size());
    }

    static void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                       gpointer data) {
        auto* site = static_cast<LoopbackSite*>(data);
        GUri* uri = soup_server_message_get_uri(message);
        const char* query = g_uri_get_query(uri);
        Event event{"request", path, query != nullptr ? query : ""};
        site->events_.push_back(event);
        const auto it = site->replies_.find(path);
        const Reply reply = it != site->replies_.end()
                                ? it->second
                                : Reply{404, "<html><body><h1>404 Not Found</h1></body></html>\n"};
        if (reply.stall) {
            soup_server_message_pause(message);
            return;
        }
        if (reply.delay.count() == 0) {
            answer(message, reply);
            site->events_.push_back(Event{"answer", event.path, event.query});
            return;
        }
        soup_server_message_pause(message);
        auto* pending = new Pending{site, message, reply, event.path, event.query};
        g_object_ref(message);
        GSource* timer = g_timeout_source_new(static_cast<guint>(reply.delay.count()));
        g_source_set_callback(
            timer,
            [](gpointer p) {
                auto* pending = static_cast<Pending*>(p);
                answer(pending->message, pending->reply);
                soup_server_message_unpause(pending->message);
                pending->site->events_.push_back(Event{"answer", pending->path, pending->query});
                return G_SOURCE_REMOVE;
            },
            pending,
            [](gpointer p) {
                auto* pending = static_cast<Pending*>(p);
                g_object_unref(pending->message);
                delete pending;
            });
        g_source_attach(timer, nullptr);
        site->timers_.push_back(timer);
    }

    SoupServer* server_;
    int port_ = 0;
    std::map<std::string, Reply> replies_;
    std::vector<Event> events_;
    std::vector<GSource*> timers_;
};

// The development key pair of the repository's fixtures.
inline std::string fixtureLine(const std::string& name) {
    std::ifstream in(std::filesystem::path(VORLIA_SOURCE_DIR) / "tests" / "fixtures" / name);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] != '#') {
            return line;
        }
    }
    throw std::runtime_error("no key in fixture " + name);
}

inline std::string devPublicKey() {
    return fixtureLine("dev-manifest-key.pub");
}

// The base64 signature text, as the publisher's tool writes it, with the
// development secret key (or another 64-byte secret key in base64).
inline std::string signWithDevKey(const std::string& body,
                                  std::optional<std::string> secretBase64 = std::nullopt) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium");
    }
    const std::string text = secretBase64.value_or(fixtureLine("DEV-ONLY-manifest-signing.key"));
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    size_t length = 0;
    if (sodium_base642bin(secret, sizeof secret, text.data(), text.size(), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != sizeof secret) {
        throw std::runtime_error("bad secret key");
    }
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                         secret);
    char encoded[sodium_base64_ENCODED_LEN(crypto_sign_BYTES, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(encoded, sizeof encoded, signature, sizeof signature, sodium_base64_VARIANT_ORIGINAL);
    return std::string(encoded) + "\n";
}

} // namespace vorlia::test
