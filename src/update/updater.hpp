// The shared updater: checks the signed manifest, prompts, downloads and installs.
// One instance per process, owned by the AppDelegate and made on first use.
#pragma once

#include "rules/manifest.hpp"
#include "update/alerts.hpp"
#include "update/prompts.hpp"
#include "update/update_delivery.hpp"
#include "update/update_settings.hpp"
#include "update/updater_session.hpp"

#include <sigc++/signal.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vorlia {

class Updater {
  public:
    // `terminate` ends the application (a declined required update).
    // `environment` says where an install acts; tests point it at their own folders.
    Updater(UpdateSettings config, Alerts& alerts, std::function<void()> terminate,
            InstallEnvironment environment = InstallEnvironment::system());
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Starts one check and returns at once. Checks may overlap; each runs to
    // its own end. Main thread only.
    void check(bool userInitiated);

    // Main thread only.
    void promptForUpdate(const UpdateInfo& info, const std::optional<std::string>& notes, bool required);
    void showLatestVersionAlert();
    void startDownload(const UpdateInfo& info);

    const UpdateSettings& settings() const { return config_; }
    Alerts& alerts() { return alerts_; }
    UpdaterSession& session() { return *session_; }
    UpdateDelivery& delivery() { return *delivery_; }

    // Emitted on the main thread as each check ends, right after it has shown
    // its alert, if any.
    sigc::signal<void(CheckEnd)>& signalCheckEnded() { return checkEnded_; }

  private:
    void finishCheck(const CheckOutcome& outcome);

    const UpdateSettings config_;
    Alerts& alerts_;
    std::function<void()> terminate_;
    sigc::signal<void(CheckEnd)> checkEnded_;
    // Work posted to the main thread holds the updater weakly.
    std::shared_ptr<Updater*> self_;
    // Last, so that its thread stops before anything it may call is gone.
    std::unique_ptr<UpdaterSession> session_;
    // Before the session goes, so that nothing it posts reaches a lost delivery.
    std::unique_ptr<UpdateDelivery> delivery_;
};

} // namespace vorlia
