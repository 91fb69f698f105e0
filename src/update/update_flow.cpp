#include "update/update_flow.hpp"

#include "base/files.hpp"
#include "place/application_place.hpp"
#include "update/install_steps.hpp"
#include "update/transfer.hpp"

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
      cancellable_(adopt(g_cancellable_new())) {}

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
    auto lock = createPrivateFolder(workFolder).and_then([&] { return WorkFolderLock::take(workFolder); });
    if (!lock) {
        fail(systemFailure(lock.error()));
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
            return acceptedDownload(judgeDownload(result, sha256, size), result.writeError)
                .and_then([&]() -> Delivery {
                    // Gone: the callback is skipped, so no one hears this.
                    if (g_cancellable_is_cancelled(cancellable)) {
                        return unexpected(UpdateFailure{FailureReason::downloadDidNotFinish, {}});
                    }
                    // A genuine archive is unpacked here and now: handing it to
                    // the main thread first, busy drawing the progress window,
                    // only waits. Checked in the environment the new launcher
                    // will start with.
                    return unpackUpdate(workFolder, environment->get(), limits);
                });
        },
        [this, workFolder](Delivery delivery) {
            if (!delivery) {
                fail(delivery.error());
                return;
            }
            unpacked(workFolder, *delivery);
        });
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
        fail(systemFailure(started.error()));
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
