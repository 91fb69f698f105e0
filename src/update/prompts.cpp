#include "update/prompts.hpp"

#include "rules/version.hpp"

namespace vorlia {

std::int64_t sizeEstimateMB(std::optional<std::int64_t> size) {
    if (!size) {
        return 1;
    }
    // Decimal megabytes; integer division cuts toward zero.
    const std::int64_t mb = *size / 1'000'000;
    return mb < 1 ? 1 : mb;
}

Alert updatePrompt(const UpdateInfo& info, const std::optional<std::string>& notes, bool required) {
    Alert alert;
    alert.message = "New version " + info.version + " available";
    if (notes) {
        alert.detail = *notes + "\n\n";
    }
    if (required) {
        alert.detail += "This update is required to keep playing.";
    } else {
        alert.detail += "Update now? The launcher restarts by itself (about " +
                        std::to_string(sizeEstimateMB(info.size)) + " MB).";
    }
    alert.buttons = {"Update now", required ? "Quit" : "Later"};
    return alert;
}

Alert latestVersionNotice(std::string_view launcherVersion) {
    return Alert{"Vorlia", "You have the latest version (" + std::string(launcherVersion) + ").", {}};
}

CheckOutcome checkOutcome(const std::optional<UpdateManifest>& manifest, std::string_view launcherVersion,
                          bool userInitiated) {
    if (manifest && manifest->platform && isNewer(manifest->platform->version, launcherVersion)) {
        const UpdateInfo& info = *manifest->platform;
        const bool required = info.min.has_value() && isNewer(*info.min, launcherVersion);
        return CheckOutcome{CheckEnd::prompt, PromptDecision{info, manifest->notes, required}};
    }
    return CheckOutcome{userInitiated ? CheckEnd::latestVersionNotice : CheckEnd::silent, std::nullopt};
}

} // namespace vorlia
