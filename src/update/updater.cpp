#include "update/updater.hpp"

#include <glib.h>

namespace vorlia {

Updater::Updater(UpdateSettings config, Alerts& alerts, std::function<void()> terminate,
                 InstallEnvironment environment)
    : config_(std::move(config)), alerts_(alerts), terminate_(std::move(terminate)),
      self_(std::make_shared<Updater*>(this)), session_(std::make_unique<UpdaterSession>(config_)),
      delivery_(
          std::make_unique<UpdateDelivery>(config_, alerts, *session_, terminate_, std::move(environment))) {}

Updater::~Updater() {
    delivery_.reset();
    session_.reset();
    self_.reset();
}

void Updater::check(bool userInitiated) {
    const std::int64_t t = g_get_real_time() / G_USEC_PER_SEC;
    std::weak_ptr<Updater*> weak = self_;
    const UpdateSettings& config = config_;
    const bool started = fetchManifestFiles(
        *session_, config.updateBaseURL, t,
        [weak, &config, userInitiated](std::optional<std::string> signature,
                                       std::optional<std::string> manifestBody) {
            // On the session's thread: reads only constants.
            const auto manifest =
                verifiedManifest(signature, manifestBody, config.manifestPublicKey, config.updateBaseURL);
            postToMain([weak, outcome = checkOutcome(manifest, config.launcherVersion, userInitiated)] {
                if (auto self = weak.lock()) {
                    (*self)->finishCheck(outcome);
                }
            });
        });
    if (!started) {
        // No usable URLs: the check ends silently, even when the user asked.
        postToMain([weak] {
            if (auto self = weak.lock()) {
                (*self)->finishCheck(CheckOutcome{});
            }
        });
    }
}

void Updater::finishCheck(const CheckOutcome& outcome) {
    switch (outcome.end) {
    case CheckEnd::prompt:
        promptForUpdate(outcome.prompt->info, outcome.prompt->notes, outcome.prompt->required);
        break;
    case CheckEnd::latestVersionNotice:
        showLatestVersionAlert();
        break;
    case CheckEnd::silent:
        break;
    }
    checkEnded_.emit(outcome.end);
}

void Updater::promptForUpdate(const UpdateInfo& info, const std::optional<std::string>& notes,
                              bool required) {
    std::weak_ptr<Updater*> weak = self_;
    alerts_.show(updatePrompt(info, notes, required), [weak, info, required](int answer) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (answer == 0) {
            (*self)->startDownload(info);
        } else if (required) {
            (*self)->terminate_();
        }
    });
}

void Updater::showLatestVersionAlert() {
    alerts_.show(latestVersionNotice(config_.launcherVersion), nullptr);
}

void Updater::startDownload(const UpdateInfo& info) {
    delivery_->startDownload(info);
}

} // namespace vorlia
