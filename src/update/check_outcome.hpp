// What a finished check leads to: the offer, the up-to-date notice, or nothing.
#pragma once

#include "rules/manifest.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

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
