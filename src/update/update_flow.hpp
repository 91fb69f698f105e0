// The updater: one flow from the check to the relaunch. It orders the steps
// that the transfers, the download's verdict and the install steps carry
// out, and decides; the UpdateUi shows. Everything here runs on the main
// thread except two tasks on GLib's thread pool: the check (fetching and
// verifying the manifest) and the delivery (downloading and hashing the
// archive, then unpacking a genuine one). Each result comes back on the main
// context through its task's callback. Earlier runs' leftovers are not the
// flow's: the launcher sweeps them at start.
#pragma once

#include "base/expected.hpp"
#include "base/handle.hpp"
#include "rules/manifest.hpp"
#include "update/check_outcome.hpp"
#include "update/download_check.hpp"
#include "update/install_steps.hpp"
#include "update/update_failure.hpp"
#include "update/update_settings.hpp"
#include "update/update_ui.hpp"

#include <gio/gio.h>
#include <libsoup/soup.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorlia {

// Where an install reads and acts; tests point it at folders of their own.
struct InstallEnvironment {
    std::function<std::filesystem::path()> applicationFolder;
    std::function<std::filesystem::path()> temporaryFolder;
    // The relaunch script's interpreter.
    std::string shell = "/bin/sh";
    // Environment settings the relaunch script, and so the relaunched
    // launcher, must not inherit.
    std::vector<std::string> notPassedOn;

    // The running application folder, g_get_tmp_dir() and /bin/sh.
    static InstallEnvironment system();
};

class UpdateFlow {
  public:
    // Where the one update is.
    enum class Stage {
        idle,        // no update under way; checks may still be
        downloading, // fetching, hashing and unpacking the archive
        relaunching, // the script runs and the application quits; nothing more starts
    };

    // `quit` ends the application: for a declined required update, and once
    // the relaunch script runs.
    UpdateFlow(UpdateSettings settings, UpdateUi& ui, std::function<void()> quit,
               InstallEnvironment environment = InstallEnvironment::system());
    // Cancels whatever is in flight; nothing that ends later reaches the UI.
    ~UpdateFlow();
    UpdateFlow(const UpdateFlow&) = delete;
    UpdateFlow& operator=(const UpdateFlow&) = delete;

    // Starts one check and returns at once. Checks may overlap; each runs to
    // its own end.
    void check(bool userInitiated);

    // "Update now" for this entry. Does nothing while an update is under way,
    // or when its address is not a usable http(s) URL.
    void startDownload(const UpdateInfo& info);

    Stage stage() const { return stage_; }
    int checksInFlight() const { return checksInFlight_; }

  private:
    struct Progress {
        std::atomic<std::uint64_t> received{0};
        std::atomic<std::uint64_t> total{0}; // 0 while unknown
    };

    // Runs `work` on GLib's thread pool and `done` with its result back on
    // this thread's main context, unless the flow has gone by then. The task
    // holds `session`, when given, until the work is done.
    template <class Result>
    void runInThread(SoupSession* session, std::function<Result(GCancellable*)> work,
                     std::function<void(Result)> done);
    // `reply` as a function that does nothing once the flow is gone.
    std::function<void(OfferReply)> whileAlive(std::function<void(OfferReply)> reply);

    SoupSession* session();
    void finishCheck(const CheckOutcome& outcome);
    // What the download task ends with: the new application folder unpacked
    // from a genuine archive, or why there is none.
    using Delivery = expected<std::filesystem::path, UpdateFailure>;
    void unpacked(const std::filesystem::path& workFolder, const std::filesystem::path& newFolder);
    void fail(UpdateFailure failure);
    void startTicker();
    void stopTicker();

    const UpdateSettings settings_;
    UpdateUi& ui_;
    std::function<void()> quit_;
    InstallEnvironment environment_;
    // Cancelled when the flow goes: every task callback and every reply
    // checks it first, so that nothing reaches a flow that is gone.
    Handle<GCancellable> cancellable_;
    Handle<SoupSession> session_; // made by the first check
    Stage stage_ = Stage::idle;
    // The current update's work folder: removed, with all it holds, when the
    // update fails; kept for "Almost done" and for the relaunch script.
    std::filesystem::path workFolder_;
    // Held while the work folder is in use, so that no other launcher's sweep takes it.
    WorkFolderLock workLock_;
    int checksInFlight_ = 0;
    std::shared_ptr<Progress> progress_;
    Handle<GSource> ticker_;
};

} // namespace vorlia
