// A real HTTP server on 127.0.0.1 (any free port), run on the default main
// context, that answers from routes and records what it saw, in order.
//
//   HttpServer server;
//   server.page("/index.html", "<h1>Hi</h1>");
//   server.serve("/download/a.zip", {200, "application/zip", bytes});
//   server.route("/echo", [](const HttpServer::Request& r) { return HttpServer::Response{200, "text/plain",
//   r.query}; });
//   ... server.requests(), server.countRequests("/index.html"), server.events()
#pragma once

#include "base/handle.hpp"

#include <libsoup/soup.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vorlia::test {

class HttpServer {
  public:
    struct Request {
        std::string method;
        std::string host;
        std::string path;
        std::string query;
        std::map<std::string, std::string> headers;
    };
    struct Response {
        int status = 200;
        std::string contentType = "text/html; charset=utf-8";
        std::string body;
        std::chrono::milliseconds delay{0}; // answer only after this long
        bool stall = false;                 // never answer
    };
    // What happened, in order: "request" when one arrives, "answer" when it is answered.
    struct Event {
        std::string kind;
        std::string path;
        std::string query;
    };
    using Handler = std::function<Response(const Request&)>;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Answers `path` (exact match, query ignored); any other path is a 404 page.
    void route(const std::string& path, Handler handler);
    void serve(const std::string& path, Response response);
    void page(const std::string& path, const std::string& html);
    // Stops accepting connections (the port then refuses) or starts again on the same port.
    void stop();
    void restart();

    unsigned port() const { return port_; }
    std::string origin() const; // http://127.0.0.1:PORT
    std::string baseURL() const { return origin() + "/download/"; }
    const std::vector<Request>& requests() const { return requests_; }
    std::size_t countRequests(const std::string& path) const;
    const std::vector<Event>& events() const { return events_; }

  private:
    static void onRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*, gpointer self);
    void listen();
    void answerLater(SoupServerMessage* msg, Response response, Event event);

    Handle<SoupServer> server_;
    unsigned port_ = 0;
    std::map<std::string, Handler> routes_;
    std::vector<Request> requests_;
    std::vector<Event> events_;
    std::vector<Handle<GSource>> timers_;
};

} // namespace vorlia::test
