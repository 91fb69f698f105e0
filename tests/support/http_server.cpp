#include "support/http_server.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace vorlia::test {
namespace {

void answer(SoupServerMessage* msg, const HttpServer::Response& response) {
    soup_server_message_set_status(msg, static_cast<guint>(response.status), nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
    soup_server_message_set_response(msg, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                     response.body.data(), response.body.size());
}

} // namespace

HttpServer::HttpServer() : server_(adopt(soup_server_new(nullptr, nullptr))) {
    soup_server_add_handler(server_.get(), nullptr, &HttpServer::onRequest, this, nullptr);
    listen();
}

HttpServer::~HttpServer() {
    for (const auto& timer : timers_) {
        g_source_destroy(timer.get());
    }
    soup_server_disconnect(server_.get());
}

void HttpServer::listen() {
    GError* raw = nullptr;
    const auto loopback = adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
    const auto address = adopt(g_inet_socket_address_new(loopback.get(), static_cast<guint16>(port_)));
    if (!soup_server_listen(server_.get(), address.get(), SoupServerListenOptions(0), &raw)) {
        const Handle<GError> error(raw);
        ADD_FAILURE() << "cannot listen on 127.0.0.1: " << error->message;
        return;
    }
    GSList* uris = soup_server_get_uris(server_.get());
    if (uris != nullptr) {
        port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

void HttpServer::stop() {
    soup_server_disconnect(server_.get());
}

void HttpServer::restart() {
    server_ = adopt(soup_server_new(nullptr, nullptr));
    soup_server_add_handler(server_.get(), nullptr, &HttpServer::onRequest, this, nullptr);
    listen();
}

void HttpServer::route(const std::string& path, Handler handler) {
    routes_[path] = std::move(handler);
}

void HttpServer::serve(const std::string& path, Response response) {
    route(path, [response = std::move(response)](const Request&) { return response; });
}

void HttpServer::page(const std::string& path, const std::string& html) {
    serve(path, Response{200, "text/html; charset=utf-8", html});
}

std::string HttpServer::origin() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::size_t HttpServer::countRequests(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& r : requests_) {
        n += r.path == path ? 1 : 0;
    }
    return n;
}

void HttpServer::onRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                           gpointer data) {
    auto* self = static_cast<HttpServer*>(data);
    Request request;
    request.method = soup_server_message_get_method(msg);
    GUri* uri = soup_server_message_get_uri(msg);
    request.host = g_uri_get_host(uri) != nullptr ? g_uri_get_host(uri) : "";
    request.path = path;
    request.query = g_uri_get_query(uri) != nullptr ? g_uri_get_query(uri) : "";
    SoupMessageHeadersIter it;
    soup_message_headers_iter_init(&it, soup_server_message_get_request_headers(msg));
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&it, &name, &value)) {
        request.headers[name] = value;
    }
    self->requests_.push_back(request);
    const Event event{"request", request.path, request.query};
    self->events_.push_back(event);

    const auto route = self->routes_.find(request.path);
    Response response =
        route != self->routes_.end()
            ? route->second(request)
            : Response{404, "text/html", "<html><body><h1>404 Not Found</h1></body></html>\n"};
    if (response.stall) {
        soup_server_message_pause(msg);
        return;
    }
    if (response.delay.count() > 0) {
        self->answerLater(msg, std::move(response), event);
        return;
    }
    answer(msg, response);
    self->events_.push_back(Event{"answer", event.path, event.query});
}

void HttpServer::answerLater(SoupServerMessage* msg, Response response, Event event) {
    struct Pending {
        HttpServer* server;
        Handle<SoupServerMessage> msg;
        Response response;
        Event event;
    };
    soup_server_message_pause(msg);
    auto* pending = new Pending{this, ref(msg), std::move(response), std::move(event)};
    Handle<GSource> timer = adopt(g_timeout_source_new(static_cast<guint>(pending->response.delay.count())));
    g_source_set_callback(
        timer.get(),
        [](gpointer p) {
            auto* pending = static_cast<Pending*>(p);
            answer(pending->msg.get(), pending->response);
            soup_server_message_unpause(pending->msg.get());
            pending->server->events_.push_back(Event{"answer", pending->event.path, pending->event.query});
            return G_SOURCE_REMOVE;
        },
        pending, [](gpointer p) { delete static_cast<Pending*>(p); });
    g_source_attach(timer.get(), nullptr);
    timers_.push_back(std::move(timer));
}

} // namespace vorlia::test
