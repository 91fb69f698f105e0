#include "app/desktop_menu.hpp"

#include "base/files.hpp"
#include "place/application_place.hpp"
#include "rules/desktop_entry.hpp"
#include "rules/install_place.hpp"

#include <cstdint>
#include <optional>
#include <system_error>

namespace vorlia {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t iconMaxSize = 4 * 1024 * 1024;

// A regular file's content when it is no longer than `limit`; nothing
// otherwise, so that a huge or odd file in its place is never read whole.
std::optional<std::string> readSmallFile(const fs::path& file, std::uintmax_t limit) {
    std::error_code error;
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > limit || error) {
        return std::nullopt;
    }
    auto content = readFile(file);
    if (!content || content->size() > limit) {
        return std::nullopt;
    }
    return std::move(*content);
}

// Whether the file was written.
expected<bool, std::string> writeUnlessCurrent(const fs::path& file, std::string_view content, bool current) {
    if (current) {
        return false;
    }
    return makeFolders(file.parent_path())
        .and_then([&] { return writeFileAtomically(file, content, 0644); })
        .map([] { return true; });
}

// The folder's icon in the user's hicolor theme; whether it was written. A
// folder without an icon has none to keep.
expected<bool, std::string> keepIcon(const fs::path& applicationFolder, const fs::path& dataHome,
                                     std::string_view iconName) {
    const std::string iconFile = std::string(iconName) + ".svg";
    const auto icon = readSmallFile(applicationFolder / iconFile, iconMaxSize);
    if (!icon) {
        return false;
    }
    const fs::path installed = dataHome / "icons" / "hicolor" / "scalable" / "apps" / iconFile;
    return writeUnlessCurrent(installed, *icon, readSmallFile(installed, iconMaxSize) == icon);
}

} // namespace

std::string_view describe(DesktopMenuOutcome outcome) {
    switch (outcome) {
    case DesktopMenuOutcome::notRegistered:
        return "not registered";
    case DesktopMenuOutcome::upToDate:
        return "up to date";
    case DesktopMenuOutcome::written:
        return "written";
    }
    return "";
}

expected<DesktopMenuOutcome, std::string>
keepDesktopMenuEntry(const fs::path& applicationFolder, const fs::path& temporaryFolder,
                     const fs::path& dataHome, std::string_view applicationId, std::string_view iconName) {
    std::error_code error;
    if (dataHome.empty() || !dataHome.is_absolute() || !isApplicationFolder(applicationFolder) ||
        fs::exists(fs::symlink_status(applicationFolder / buildTreeMarkName, error)) ||
        !mayRegisterFrom(applicationFolder, fs::weakly_canonical(temporaryFolder, error)) ||
        !isSafePlaceFor(applicationFolder)) {
        return DesktopMenuOutcome::notRegistered;
    }
    const std::string entryName = std::string(applicationId) + ".desktop";
    const std::string executable = (applicationFolder / "vorlia").string();
    const auto folderEntry = readSmallFile(applicationFolder / entryName, desktopEntryMaxSize);
    const auto text = folderEntry ? userDesktopEntry(*folderEntry, executable) : std::nullopt;
    if (!text) {
        return DesktopMenuOutcome::notRegistered;
    }
    const fs::path entry = dataHome / "applications" / entryName;
    const auto present = readSmallFile(entry, desktopEntryMaxSize);
    return writeUnlessCurrent(entry, *text, present && desktopEntryStarts(*present, executable))
        .and_then([&](bool entryWritten) {
            return keepIcon(applicationFolder, dataHome, iconName).map([entryWritten](bool iconWritten) {
                return entryWritten || iconWritten ? DesktopMenuOutcome::written
                                                   : DesktopMenuOutcome::upToDate;
            });
        });
}

} // namespace vorlia
