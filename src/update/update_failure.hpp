// Why an update the player accepted ended before the relaunch, as a value:
// the screen, not the flow, puts it into words.
#pragma once

#include <string>
#include <utility>

namespace vorlia {

enum class FailureReason {
    downloadDidNotFinish,
    notGenuine,         // the archive's digest is not the manifest's
    couldNotBeUnpacked, // a broken archive, or no application folder in it
    systemError,        // a file, folder or process call failed; see detail
};

struct UpdateFailure {
    FailureReason reason;
    std::string detail; // for systemError: the system's own description of the failure

    friend bool operator==(const UpdateFailure&, const UpdateFailure&) = default;
};

// A failed file, folder or process call, told in the system's own words.
inline UpdateFailure systemFailure(std::string detail) {
    return UpdateFailure{FailureReason::systemError, std::move(detail)};
}

} // namespace vorlia
