#include "update/gtk/update_texts.hpp"

namespace vorlia::updateText {

std::int64_t sizeEstimateMB(std::optional<std::int64_t> size) {
    if (!size) {
        return 1;
    }
    // Decimal megabytes; integer division cuts toward zero.
    const std::int64_t mb = *size / 1'000'000;
    return mb < 1 ? 1 : mb;
}

Alert offer(const Offer& offer) {
    Alert alert;
    alert.message = "New version " + offer.version + " available";
    if (offer.notes) {
        alert.detail = *offer.notes + "\n\n";
    }
    if (offer.required) {
        alert.detail += "This update is required to keep playing.";
    } else {
        alert.detail += "Update now? The launcher restarts by itself (about " +
                        std::to_string(sizeEstimateMB(offer.size)) + " MB).";
    }
    alert.buttons = {"Update now", offer.required ? "Quit" : "Later"};
    return alert;
}

Alert upToDate(std::string_view runningVersion) {
    return Alert{"Vorlia", "You have the latest version (" + std::string(runningVersion) + ").", {}};
}

std::string progressLabel(std::string_view version) {
    return "Downloading version " + std::string(version) + "\u2026";
}

std::string failureMessage(const UpdateFailure& failure) {
    switch (failure.reason) {
    case FailureReason::downloadDidNotFinish:
        return "The download did not finish.";
    case FailureReason::notGenuine:
        return "The downloaded file is not genuine.";
    case FailureReason::couldNotBeUnpacked:
        return "The update could not be unpacked.";
    case FailureReason::systemError:
        return failure.detail;
    }
    return failure.detail;
}

Alert failure(const UpdateFailure& failure, std::string_view siteHost) {
    return Alert{"Update failed",
                 failureMessage(failure) + "\n\nYou can download the new version from " +
                     std::string(siteHost) + ".",
                 {"Open website", std::string(okButton)}};
}

std::string downloadPageURL(std::string_view siteHost) {
    return "https://" + std::string(siteHost) + "/?download=1";
}

Alert almostDone() {
    return Alert{
        "Almost done",
        "The launcher cannot replace itself in this folder. Move the new \"Vorlia\" (shown in your file "
        "manager) over the old one.",
        {}};
}

} // namespace vorlia::updateText
