// The texts and buttons of the update prompt and of the latest-version notice.
#pragma once

#include "rules/manifest.hpp"
#include "update/alerts.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// Whole decimal megabytes, never below 1; 1 when the size is unknown.
std::int64_t sizeEstimateMB(std::optional<std::int64_t> size);

// "Update now" first (the default), then "Quit" when required, else "Later".
Alert updatePrompt(const UpdateInfo& info, const std::optional<std::string>& notes, bool required);

Alert latestVersionNotice(std::string_view launcherVersion);

// What a finished check leads to.
struct PromptDecision {
    UpdateInfo info;
    std::optional<std::string> notes;
    bool required = false;
};
enum class CheckEnd { prompt, latestVersionNotice, silent };
struct CheckOutcome {
    CheckEnd end = CheckEnd::silent;
    std::optional<PromptDecision> prompt; // set exactly when end is prompt
};

// A verified manifest with a newer version leads to the prompt (required when
// the running version is below "min"); anything else to the notice on a
// user's check and to nothing on the automatic one.
CheckOutcome checkOutcome(const std::optional<UpdateManifest>& manifest, std::string_view launcherVersion,
                          bool userInitiated);

} // namespace vorlia
