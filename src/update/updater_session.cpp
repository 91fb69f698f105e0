#include "update/updater_session.hpp"

#include "base/handle.hpp"
#include "rules/manifest.hpp"

#include <thread>

namespace vorlia {
namespace {

using Work = std::function<void()>;

gboolean runOnce(gpointer data) {
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

void deleteWork(gpointer data) {
    delete static_cast<Work*>(data);
}

void invokeOn(GMainContext* context, Work work) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runOnce, new Work(std::move(work)), deleteWork);
    g_source_attach(source, context);
    g_source_unref(source);
}

guint timeoutSeconds(std::chrono::milliseconds timeout) {
    // libsoup counts whole seconds; round up so that a short test timeout stays non-zero.
    return static_cast<guint>((timeout.count() + 999) / 1000);
}

} // namespace

struct UpdaterSession::Worker {
    const UpdateSettings& config;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GCancellable* cancellable = g_cancellable_new();
    // Touched only on the worker thread.
    SoupSession* session = nullptr;
    bool stopping = false;
    std::thread thread;

    explicit Worker(const UpdateSettings& c) : config(c) {
        thread = std::thread([this] { main(); });
    }

    // Runs while the owning UpdaterSession is still whole, so that transfers
    // completing as they are cancelled may still call into it.
    void stop() {
        invokeOn(context, [this] {
            stopping = true;
            g_cancellable_cancel(cancellable);
            soup_session_abort(session);
            g_main_loop_quit(loop);
        });
        thread.join();
    }

    ~Worker() {
        g_object_unref(cancellable);
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    void main() {
        g_main_context_push_thread_default(context);
        // A plain session has no cookie jar and no cache; none is added.
        session = soup_session_new_with_options("timeout", timeoutSeconds(config.ioTimeout), nullptr);
        if (config.routeSession) {
            config.routeSession(session);
        }
        g_main_loop_run(loop);
        // Let cancelled transfers report, so that nothing waits on them.
        for (int i = 0; i < 1000 && g_main_context_pending(context); ++i) {
            g_main_context_iteration(context, FALSE);
        }
        g_object_unref(session);
        session = nullptr;
        g_main_context_pop_thread_default(context);
    }
};

UpdaterSession::UpdaterSession(const UpdateSettings& config) : worker_(std::make_unique<Worker>(config)) {}

UpdaterSession::~UpdaterSession() {
    worker_->stop();
}

void UpdaterSession::run(std::function<void(SoupSession*, GCancellable*)> work) {
    Worker* w = worker_.get();
    invokeOn(w->context, [w, work = std::move(work)] { work(w->session, w->cancellable); });
}

void UpdaterSession::get(std::string url, std::function<void(HttpResult)> done) {
    Worker* w = worker_.get();
    invokeOn(w->context, [w, url = std::move(url), done = std::move(done)]() mutable {
        SoupMessage* message = w->stopping ? nullptr : soup_message_new(SOUP_METHOD_GET, url.c_str());
        if (message == nullptr) {
            done(HttpResult{std::nullopt, 0,
                            w->stopping ? "the updater is shutting down" : "not a usable URL"});
            return;
        }
        struct Pending {
            Handle<SoupMessage> message;
            std::function<void(HttpResult)> done;
        };
        auto* pending = new Pending{adopt(message), std::move(done)};
        soup_session_send_and_read_async(
            w->session, message, G_PRIORITY_DEFAULT, w->cancellable,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Pending> p(static_cast<Pending*>(data));
                GError* error = nullptr;
                GBytes* bytes = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
                Handle<GError> failure(error);
                HttpResult outcome;
                outcome.status = soup_message_get_status(p->message.get());
                if (bytes != nullptr) {
                    gsize size = 0;
                    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
                    outcome.body = std::string(data != nullptr ? data : "", size);
                    g_bytes_unref(bytes);
                } else {
                    outcome.error = failure ? failure->message : "the transfer failed";
                }
                p->done(std::move(outcome));
            },
            pending);
    });
}

void postToMain(std::function<void()> work) {
    invokeOn(g_main_context_default(), std::move(work));
}

bool fetchManifestFiles(UpdaterSession& session, std::string_view updateBaseURL, std::int64_t t,
                        std::function<void(std::optional<std::string>, std::optional<std::string>)> done) {
    const auto urls = manifestRequestURLs(updateBaseURL, t);
    if (!urls) {
        return false;
    }
    session.get(urls->manifest, [&session, signatureURL = urls->signature,
                                 done = std::move(done)](HttpResult manifest) mutable {
        // Only the body counts; the signature is requested whatever happened.
        session.get(signatureURL, [manifestBody = std::move(manifest.body),
                                   done = std::move(done)](HttpResult signature) mutable {
            done(std::move(signature.body), std::move(manifestBody));
        });
    });
    return true;
}

} // namespace vorlia
