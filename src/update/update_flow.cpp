#include "update/update_flow.hpp"

#include "base/files.hpp"
#include "rules/url_text.hpp"
#include "update/archive_download.hpp"
#include "update/install_steps.hpp"

#include <optional>
#include <utility>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

constexpr guint progressIntervalMs = 100;

guint timeoutSeconds(std::chrono::milliseconds timeout) {
    // libsoup counts whole seconds; round up so that a short test timeout stays non-zero.
    return static_cast<guint>((timeout.count() + 999) / 1000);
}

// The most of a manifest or its signature ever read: neither is trusted
// before both are in, so an endless or huge body must not be held whole.
constexpr std::size_t manifestCap = 1 << 20;
constexpr std::size_t signatureCap = 1 << 10;

// A GET of the whole body into memory, no extra headers. Nothing when the
// transfer failed or the body is longer than `cap` bytes; an error page is a
// body like any other.
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

// The archive's address, parsed, when it passes the manifest's URL check.
std::shared_ptr<GUri> downloadURI(const std::string& url, std::string_view baseURL) {
    if (!isArchiveURL(url, baseURL)) {
        return nullptr;
    }
    return std::shared_ptr<GUri>(adopt(g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr)));
}

template <class Result> struct Job {
    std::function<Result(GCancellable*)> work;
    std::function<void(Result)> done;
    std::optional<Result> result;
};

} // namespace

InstallEnvironment InstallEnvironment::system() {
    InstallEnvironment e;
    e.applicationFolder = [] { return vorlia::applicationFolder(); };
    e.temporaryFolder = [] { return fs::path(g_get_tmp_dir()); };
    return e;
}

UpdateFlow::UpdateFlow(UpdateSettings settings, UpdateUi& ui, std::function<void()> quit,
                       InstallEnvironment environment)
    : settings_(std::move(settings)), ui_(ui), quit_(std::move(quit)), environment_(std::move(environment)),
      cancellable_(adopt(g_cancellable_new())), startedAt_(g_get_real_time() / G_USEC_PER_SEC) {}

UpdateFlow::~UpdateFlow() {
    g_cancellable_cancel(cancellable_.get());
    stopTicker();
}

template <class Result>
void UpdateFlow::runInThread(SoupSession* session, std::function<Result(GCancellable*)> work,
                             std::function<void(Result)> done) {
    GTask* task = g_task_new(
        session, cancellable_.get(),
        [](GObject*, GAsyncResult* result, gpointer) {
            GTask* task = G_TASK(result);
            // Cancelled only when the flow went: there is no one to tell.
            if (g_cancellable_is_cancelled(g_task_get_cancellable(task))) {
                return;
            }
            auto* job = static_cast<Job<Result>*>(g_task_get_task_data(task));
            job->done(std::move(*job->result));
        },
        nullptr);
    g_task_set_task_data(task, new Job<Result>{std::move(work), std::move(done), std::nullopt},
                         [](gpointer job) { delete static_cast<Job<Result>*>(job); });
    g_task_run_in_thread(task, [](GTask* task, gpointer, gpointer data, GCancellable* cancellable) {
        auto* job = static_cast<Job<Result>*>(data);
        job->result = job->work(cancellable);
        g_task_return_boolean(task, TRUE);
    });
    g_object_unref(task);
}

std::function<void(OfferReply)> UpdateFlow::whileAlive(std::function<void(OfferReply)> reply) {
    auto alive = std::make_shared<Handle<GCancellable>>(ref(cancellable_.get()));
    return [alive, reply = std::move(reply)](OfferReply answer) {
        if (!g_cancellable_is_cancelled(alive->get())) {
            reply(answer);
        }
    };
}

SoupSession* UpdateFlow::session() {
    if (!session_) {
        // Made here, on the main thread, and configured before any request:
        // from then on the GTask threads only send messages through it. A
        // plain session has no cookie jar and no cache; none is added.
        session_ =
            adopt(soup_session_new_with_options("timeout", timeoutSeconds(settings_.ioTimeout), nullptr));
        if (settings_.routeSession) {
            settings_.routeSession(session_.get());
        }
    }
    return session_.get();
}

void UpdateFlow::check(bool userInitiated) {
    const std::int64_t t = g_get_real_time() / G_USEC_PER_SEC;
    auto urls = manifestRequestURLs(settings_.updateBaseURL, t);
    if (!urls) {
        // No usable URLs: the check ends silently, even when the player asked.
        return;
    }
    ++checksInFlight_;
    SoupSession* http = session();
    runInThread<CheckOutcome>(
        http,
        [http, urls = std::move(*urls), key = settings_.manifestPublicKeys, base = settings_.updateBaseURL,
         version = settings_.launcherVersion, userInitiated](GCancellable* cancellable) {
            // The signature is asked for once the manifest's request has ended,
            // whatever its outcome: only the bodies count.
            const auto manifest = fetchBody(http, urls.manifest, manifestCap, cancellable);
            const auto signature = fetchBody(http, urls.signature, signatureCap, cancellable);
            return checkOutcome(verifiedManifest(signature, manifest, key, base), version, userInitiated);
        },
        [this](CheckOutcome outcome) {
            --checksInFlight_;
            finishCheck(outcome);
        });
}

void UpdateFlow::finishCheck(const CheckOutcome& outcome) {
    switch (outcome.end) {
    case CheckEnd::prompt: {
        const PromptDecision& decision = *outcome.prompt;
        ui_.offerUpdate(
            Offer{decision.info.version, decision.notes, decision.info.size, decision.required},
            whileAlive([this, info = decision.info, required = decision.required](OfferReply reply) {
                if (reply == OfferReply::updateNow) {
                    startDownload(info);
                } else if (required) {
                    quit_();
                }
            }));
        break;
    }
    case CheckEnd::latestVersionNotice:
        ui_.showUpToDate(settings_.launcherVersion);
        break;
    case CheckEnd::silent:
        break;
    }
}

void UpdateFlow::removeLeftovers() {
    runInThread<bool>(
        nullptr,
        [folder = environment_.temporaryFolder(), version = settings_.launcherVersion, startedAt = startedAt_,
         running = environment_.applicationFolder()](GCancellable*) {
            removeLeftoverWorkFolders(folder, version, startedAt, running);
            return true;
        },
        [](bool) {});
}

void UpdateFlow::startDownload(const UpdateInfo& info) {
    // One update at a time: a second "Update now" would race the first for
    // the same application folder.
    if (stage_ != Stage::idle) {
        return;
    }
    std::shared_ptr<GUri> uri = downloadURI(info.url, settings_.updateBaseURL);
    if (!uri) {
        return;
    }
    stage_ = Stage::downloading;
    ui_.downloadStarted(info.version);
    startTicker();

    const fs::path workFolder = newWorkFolderPath(environment_.temporaryFolder());
    workFolder_ = workFolder;
    if (auto made = createPrivateFolder(workFolder); !made) {
        fail(UpdateFailure{FailureReason::systemError, made.error()});
        return;
    }
    auto lock = WorkFolderLock::take(workFolder);
    if (!lock) {
        fail(UpdateFailure{FailureReason::systemError, lock.error()});
        return;
    }
    workLock_ = std::move(*lock);
    SoupSession* http = session();
    runInThread<Delivery>(
        http,
        [http, uri, workFolder, progress = progress_, sha256 = info.sha256, size = info.size,
         environment = std::make_shared<Handle<char*>>(relaunchEnvironment(environment_.notPassedOn)),
         limits = settings_.unpackLimits](GCancellable* cancellable) {
            const DownloadResult result =
                downloadArchive(http, uri.get(), workFolder / archiveFileName, downloadBound(size),
                                cancellable, [&](const DownloadProgress& p) {
                                    progress->received = p.received;
                                    progress->total = p.total.value_or(0);
                                });
            Delivery delivery{judgeDownload(result, sha256, size), result.writeError, std::nullopt};
            // A genuine archive is unpacked here and now: handing it to the
            // main thread first, busy drawing the progress window, only waits.
            if (delivery.verdict == DownloadVerdict::genuine && !g_cancellable_is_cancelled(cancellable)) {
                // Checked in the environment the new launcher will start with.
                delivery.unpacked = unpackUpdate(workFolder, environment->get(), limits);
            }
            return delivery;
        },
        [this, workFolder](Delivery delivery) { delivered(workFolder, std::move(delivery)); });
}

void UpdateFlow::delivered(const fs::path& workFolder, Delivery delivery) {
    switch (delivery.verdict) {
    case DownloadVerdict::didNotFinish:
        fail(UpdateFailure{FailureReason::downloadDidNotFinish, {}});
        return;
    case DownloadVerdict::notGenuine:
        fail(UpdateFailure{FailureReason::notGenuine, {}});
        return;
    case DownloadVerdict::notWritten:
        fail(UpdateFailure{FailureReason::systemError, delivery.writeError});
        return;
    case DownloadVerdict::genuine:
        break;
    }
    if (!delivery.unpacked || !*delivery.unpacked) {
        fail(delivery.unpacked ? delivery.unpacked->error()
                               : UpdateFailure{FailureReason::couldNotBeUnpacked, {}});
        return;
    }
    unpacked(workFolder, **delivery.unpacked);
}

void UpdateFlow::unpacked(const fs::path& workFolder, const fs::path& newFolder) {
    const fs::path folder = environment_.applicationFolder();
    // Only a real application folder is swapped: a launcher started from a
    // build tree or a system folder must not have that folder moved away,
    // nor one in a folder another account may write, which could plant its
    // own folders at the script's paths.
    if (!isApplicationFolder(folder) || !folderIsWritable(folder.parent_path()) || !isSafePlaceFor(folder)) {
        stopTicker();
        stage_ = Stage::idle;
        workFolder_.clear(); // the player moves the new folder from there
        workLock_ = {};
        ui_.almostDone(newFolder);
        return;
    }
    if (auto started =
            startRelaunchScript(workFolder, folder, newFolder, environment_.shell, environment_.notPassedOn);
        !started) {
        fail(UpdateFailure{FailureReason::systemError, started.error()});
        return;
    }
    stopTicker();
    stage_ = Stage::relaunching;
    quit_();
}

void UpdateFlow::fail(UpdateFailure failure) {
    stopTicker();
    // Nothing of a failed update stays: not the bytes received, not what was
    // unpacked. The temporary folder may be in memory, and an endless body
    // may have filled it.
    if (!workFolder_.empty()) {
        removeOwnTree(workFolder_);
        workFolder_.clear();
    }
    workLock_ = {};
    stage_ = Stage::idle;
    ui_.updateFailed(failure);
}

void UpdateFlow::startTicker() {
    stopTicker();
    progress_ = std::make_shared<Progress>();
    // The download thread only counts; the screen hears of it from here.
    ticker_ = adopt(g_timeout_source_new(progressIntervalMs));
    g_source_set_callback(
        ticker_.get(),
        [](gpointer data) -> gboolean {
            auto* flow = static_cast<UpdateFlow*>(data);
            const std::uint64_t total = flow->progress_->total;
            flow->ui_.downloadProgress(flow->progress_->received,
                                       total > 0 ? std::optional<std::uint64_t>(total) : std::nullopt);
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(ticker_.get(), g_main_context_get_thread_default());
}

void UpdateFlow::stopTicker() {
    if (ticker_) {
        g_source_destroy(ticker_.get());
        ticker_.reset();
    }
}

} // namespace vorlia
