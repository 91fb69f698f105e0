// What the player sees of an update, one call per moment, from the offer to
// the hand-over of the new folder. The flow calls it on the main thread only;
// update/gtk/ shows it as GTK dialogs and a progress window, tests record it.
#pragma once

#include "update/update_failure.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// A newer version on offer, as the manifest names it.
struct Offer {
    std::string version;
    std::optional<std::string> notes;
    std::optional<std::int64_t> size; // bytes, when the manifest gives it
    bool required = false;            // the running version is below the manifest's minimum
};

enum class OfferReply {
    updateNow,
    declined,  // "Later", or "Quit" when the update is required
    dismissed, // closed without a button
};

class UpdateUi {
  public:
    virtual ~UpdateUi() = default;

    // A newer version: asks whether to update. `reply` is called once, later.
    virtual void offerUpdate(const Offer& offer, std::function<void(OfferReply)> reply) = 0;
    // A check the player asked for found nothing newer.
    virtual void showUpToDate(std::string_view runningVersion) = 0;

    // The download of `version` has begun; progress follows until the update ends.
    virtual void downloadStarted(std::string_view version) = 0;
    virtual void downloadProgress(std::uint64_t received, std::optional<std::uint64_t> total) = 0;

    // The update ended without replacing anything.
    virtual void updateFailed(const UpdateFailure& failure) = 0;
    // The launcher cannot replace its own folder: the player moves `newFolder` by hand.
    virtual void almostDone(const std::filesystem::path& newFolder) = 0;
};

} // namespace vorlia
