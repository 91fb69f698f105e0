#include "window/support/window_test.hpp"

#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "rules/token_tables.hpp"

#include <gdk/x11/gdkx.h>
#include <glib.h>
#include <glibmm/main.h>
#include <gtkmm/native.h>

#include <cstdlib>
#include <sstream>

namespace vorlia::test {

bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    GMainContext* context = g_main_context_default();
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Wake at least every 50 ms so that the deadline is honoured.
        GSource* tick = g_timeout_source_new(50);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, context);
        g_main_context_iteration(context, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

std::optional<std::string> evaluate(WebKitWebView* web, const std::string& script,
                                    std::chrono::milliseconds timeout) {
    struct Result {
        bool done = false;
        std::optional<std::string> json;
    };
    auto result = std::make_shared<Result>();
    auto* holder = new std::shared_ptr<Result>(result);
    webkit_web_view_evaluate_javascript(
        web, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* res, gpointer data) {
            std::unique_ptr<std::shared_ptr<Result>> r(static_cast<std::shared_ptr<Result>*>(data));
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), res, &error);
            if (value != nullptr) {
                GText json(jsc_value_to_json(value, 0));
                (*r)->json = json ? std::string(json.get()) : std::string("undefined");
                g_object_unref(value);
            }
            g_clear_error(&error);
            (*r)->done = true;
        },
        holder);
    runUntil([&] { return result->done; }, timeout);
    return result->json;
}

bool waitForValue(WebKitWebView* web, const std::string& script, const std::string& expected,
                  std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (evaluate(web, script, 5s) == expected) {
            return true;
        }
        runFor(100ms);
    }
    return false;
}

unsigned long xWindowId(Gtk::Window& window) {
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window.gobj()));
    return surface != nullptr ? gdk_x11_surface_get_xid(surface) : 0;
}

namespace {

void runCommand(const std::string& command) {
    gint status = 0;
    GError* error = nullptr;
    if (!g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, &status, &error)) {
        ADD_FAILURE() << "could not run " << command << ": " << error->message;
        g_clear_error(&error);
        return;
    }
    EXPECT_TRUE(g_spawn_check_wait_status(status, nullptr)) << command;
}

} // namespace

void pressKeys(Gtk::Window& window, const std::string& keys) {
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    runCommand("xdotool windowfocus --sync " + id);
    runFor(200ms);
    runCommand("xdotool key --clearmodifiers " + keys);
    runFor(200ms);
}

void clickAt(Gtk::Window& window, int x, int y) {
    runUntil([&] { return xWindowId(window) != 0; }, 5s);
    const std::string id = std::to_string(xWindowId(window));
    runCommand("xdotool windowfocus --sync " + id);
    runCommand("xdotool mousemove --window " + id + " " + std::to_string(x) + " " + std::to_string(y) +
               " click 1");
    runFor(200ms);
}

std::filesystem::path saveScreenshot(const std::string& name) {
    const std::filesystem::path folder = std::filesystem::path(VORLIA_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / (name + ".png");
    // Let the compositor catch up with the last frame.
    runFor(500ms);
    runCommand("import -window root " + file.string());
    return file;
}

TempFolder::TempFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "vorlia-test-XXXXXX").string();
    if (g_mkdtemp(templ.data()) == nullptr) {
        std::abort();
    }
    path_ = templ;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

LocalHttpServer::LocalHttpServer() : server_(adopt(soup_server_new(nullptr, nullptr))) {
    soup_server_add_handler(server_.get(), nullptr, &LocalHttpServer::onRequest, this, nullptr);
    listen();
}

LocalHttpServer::~LocalHttpServer() {
    soup_server_disconnect(server_.get());
}

void LocalHttpServer::listen() {
    GError* error = nullptr;
    Handle<GInetAddress> loopback = adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
    Handle<GSocketAddress> address = adopt(g_inet_socket_address_new(loopback.get(), port_));
    if (!soup_server_listen(server_.get(), address.get(), SoupServerListenOptions(0), &error)) {
        ADD_FAILURE() << "cannot listen: " << error->message;
        g_clear_error(&error);
        return;
    }
    GSList* uris = soup_server_get_uris(server_.get());
    if (uris != nullptr) {
        port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    }
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

void LocalHttpServer::stop() {
    soup_server_disconnect(server_.get());
}

void LocalHttpServer::restart() {
    server_ = adopt(soup_server_new(nullptr, nullptr));
    soup_server_add_handler(server_.get(), nullptr, &LocalHttpServer::onRequest, this, nullptr);
    listen();
}

void LocalHttpServer::route(const std::string& path, Handler handler) {
    routes_[path] = std::move(handler);
}

void LocalHttpServer::page(const std::string& path, const std::string& html) {
    route(path, [html](const RecordedRequest&) { return Response{200, "text/html; charset=utf-8", html}; });
}

std::string LocalHttpServer::origin() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

std::size_t LocalHttpServer::countRequests(const std::string& path) const {
    std::size_t n = 0;
    for (const auto& r : requests_) {
        n += r.path == path ? 1 : 0;
    }
    return n;
}

void LocalHttpServer::onRequest(SoupServer*, SoupServerMessage* msg, const char* path, GHashTable*,
                                gpointer data) {
    auto* self = static_cast<LocalHttpServer*>(data);
    RecordedRequest request;
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

    const auto route = self->routes_.find(request.path);
    Response response{404, "text/plain", "not found"};
    if (route != self->routes_.end()) {
        response = route->second(request);
    }
    soup_server_message_set_status(msg, static_cast<guint>(response.status), nullptr);
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Cache-Control", "no-store");
    soup_server_message_set_response(msg, response.contentType.c_str(), SOUP_MEMORY_COPY,
                                     response.body.data(), response.body.size());
}

Config localConfig(const std::string& origin, const std::filesystem::path& folder) {
    const HostConstants hosts = makeHostConstants("127.0.0.1", "localhost");
    Config c;
    c.gameHost = hosts.gameHost;
    c.siteHost = hosts.siteHost;
    c.gameStartURL = origin + "/act_web_tiyan/index.html?launcher=1";
    c.allowedHosts = hosts.allowedHosts;
    c.launcherVersion = "7.3.1";
    c.updateBaseURL = origin + "/download/";
    c.tokenKey = builtInTokenKeyTables();
    c.applicationId = "io.vorlia.WindowTest";
    c.timing.automaticCheckDelay = std::chrono::hours(1); // no update check unless a test asks
    c.folders.data = folder / "data";
    c.folders.cache = folder / "cache";
    c.folders.state = folder / "state";
    return c;
}

void launchInProcess(Glib::RefPtr<Gtk::Application>& app, std::unique_ptr<LauncherApp>& launcher,
                     const Config& config, UriOpener& opener) {
    app = Gtk::Application::create(config.applicationId, Gio::Application::Flags::NON_UNIQUE);
    launcher = std::make_unique<LauncherApp>(app, config, opener, demo::standInHooks(config));
    app->register_application();
    app->activate();
    ASSERT_NE(launcher->game(), nullptr);
    Gtk::Window& window = launcher->game()->window();
    ASSERT_TRUE(runUntil([&] { return window.get_mapped() && window.get_width() > 0; }));
}

int runLauncherChild(const std::string& childArgs) {
    std::istringstream in(childArgs);
    std::string origin;
    std::string folder;
    std::string appId;
    in >> origin >> folder >> appId;
    Config config = localConfig(origin, folder);
    config.applicationId = appId;
    return runLauncher(config, demo::standInHooks(config));
}

void WindowTest::SetUp() {
    app = Gtk::Application::create("io.vorlia.WindowTest", Gio::Application::Flags::NON_UNIQUE);
    app->register_application();
}

void WindowTest::TearDown() {
    runFor(100ms);
    app.reset();
}

} // namespace vorlia::test
