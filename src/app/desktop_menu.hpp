// The launcher's place in the user's desktop menu: the application folder's
// desktop entry, starting the launcher from wherever the folder now is, and
// its icon in the user's icon theme.
#pragma once

#include "base/expected.hpp"

#include <filesystem>
#include <string>
#include <string_view>

namespace vorlia {

// The file by which the build marks its own application folders: a launcher
// run from one never adds itself to the menu. The release archive leaves it out.
inline constexpr std::string_view buildTreeMarkName = ".build-tree";

enum class DesktopMenuOutcome {
    notRegistered, // a build tree, no real application folder, a place others may change or one
                   // gone after a restart, no data folder, or an entry that cannot be made
    upToDate,      // entry and icon were already there and current
    written,       // the entry or the icon (or both) was written
};

std::string_view describe(DesktopMenuOutcome outcome);

// Makes sure that `dataHome`/applications/<applicationId>.desktop is the
// folder's entry starting its `vorlia`, and that the folder's <iconName>.svg
// is in `dataHome`'s hicolor theme. The entry is rewritten only when missing
// or starting another path, the icon only when missing or different; each
// atomically. `dataHome` is the user's own data folder, never a system one;
// an empty or relative one registers nothing. Nor does a folder that another
// account could replace (isSafePlaceFor), nor one inside `temporaryFolder` or
// an update's work folder. The error names what could not be written.
expected<DesktopMenuOutcome, std::string> keepDesktopMenuEntry(const std::filesystem::path& applicationFolder,
                                                               const std::filesystem::path& temporaryFolder,
                                                               const std::filesystem::path& dataHome,
                                                               std::string_view applicationId,
                                                               std::string_view iconName);

} // namespace vorlia
