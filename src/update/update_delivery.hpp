// After "Update now": the progress window, the download off the main thread,
// the digest check, the failure alert, and the install that either swaps the
// application folder through the relaunch script or leaves the new folder for
// the user to move.
#pragma once

#include "rules/manifest.hpp"
#include "update/alerts.hpp"
#include "update/update_settings.hpp"

#include <sigc++/connection.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace Gtk {
class Window;
class ProgressBar;
} // namespace Gtk

namespace vorlia {

class UpdaterSession;

// Where an install reads and acts on the desktop; tests point it elsewhere.
struct InstallEnvironment {
    std::function<std::filesystem::path()> applicationFolder;
    std::function<std::filesystem::path()> temporaryFolder;
    std::function<Gtk::Window*()> parentWindow;
    std::function<void(const std::string& uri)> openURI;
    std::function<void(const std::filesystem::path& item)> showInFileManager;
    // The relaunch script's interpreter; /bin/sh.
    std::string shell = "/bin/sh";

    // The running application folder, g_get_tmp_dir(), the application's
    // active window, the default browser and the desktop's file manager.
    static InstallEnvironment system();
};

class UpdateDelivery {
  public:
    // `terminate` ends the application once the relaunch script runs.
    UpdateDelivery(const UpdateSettings& config, Alerts& alerts, UpdaterSession& session,
                   std::function<void()> terminate, InstallEnvironment environment);
    ~UpdateDelivery();
    UpdateDelivery(const UpdateDelivery&) = delete;
    UpdateDelivery& operator=(const UpdateDelivery&) = delete;

    // Main thread only. Does nothing while an earlier update is under way,
    // or when the URL does not parse.
    void startDownload(const UpdateInfo& info);
    void showUpdateFailure(std::string_view message);
    // Installs the verified archive `workFolder`/update.zip.
    void installUpdate(const std::filesystem::path& workFolder);

    bool underWay() const { return underWay_; }
    Gtk::Window* progressWindow() const { return progressWindow_.get(); }

  private:
    struct Progress {
        std::atomic<std::uint64_t> received{0};
        std::atomic<std::uint64_t> total{0}; // 0 while unknown
    };
    void showProgressWindow(const std::string& version);
    void closeProgressWindow();
    bool tickProgress();
    void finishInstall(const std::filesystem::path& workFolder, const std::filesystem::path& newBundle);

    const UpdateSettings& config_;
    Alerts& alerts_;
    UpdaterSession& session_;
    std::function<void()> terminate_;
    InstallEnvironment environment_;
    bool underWay_ = false;
    std::unique_ptr<Gtk::Window> progressWindow_;
    Gtk::ProgressBar* bar_ = nullptr;
    std::shared_ptr<Progress> progress_;
    sigc::connection ticker_;
    // Work posted back to the main thread holds the delivery weakly.
    std::shared_ptr<UpdateDelivery*> self_;
};

} // namespace vorlia
