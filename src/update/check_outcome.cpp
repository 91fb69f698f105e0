#include "update/check_outcome.hpp"

#include "rules/version.hpp"

namespace vorlia {

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
