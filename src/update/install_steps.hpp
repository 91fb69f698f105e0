// The file-system steps of an install: the private work folder, unpacking the
// verified archive into it, finding the new application folder, and starting
// the relaunch script. Plain functions on paths, callable off the main thread.
#pragma once

#include "base/expected.hpp"
#include "rules/install_rules.hpp"
#include "update/update_failure.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// The names inside the work folder.
inline constexpr std::string_view archiveFileName = "update.zip";
inline constexpr std::string_view relaunchScriptName = "swap.sh";

// The text after the last full stop of a name, or "" when it has none.
std::string_view pathExtension(std::string_view name);

struct FolderEntry {
    std::string name;
    bool isFolder = false; // a real folder, not a link to one
};

// The new application folder: the first entry, in listing order, that is a
// folder named with the extension exactly "app". Plain files and links with
// that name are passed over, since they can never be an application.
std::optional<std::string> chooseNewApplicationFolder(const std::vector<FolderEntry>& entries);

// A folder named *.app that holds an executable `vorlia` and an `Info.json`:
// the only kind of folder an update ever replaces or installs.
bool isApplicationFolder(const std::filesystem::path& folder);

// Whether the current user may create and remove entries in a folder.
bool folderIsWritable(const std::filesystem::path& folder);

// "vrl-update-" followed by a fresh upper-case UUID, inside `temporaryFolder`.
std::filesystem::path newWorkFolderPath(const std::filesystem::path& temporaryFolder);

// Whether a name is one the updater gives its work folders.
bool isWorkFolderName(std::string_view name);

// Removes the work folders that earlier updates left in `temporaryFolder`:
// the current user's own real folders named like one and last changed before
// `startedAt` (seconds since 1970; a folder this run is using is newer). One
// that still holds a new application folder of a version newer than
// `runningVersion` is kept: the player was asked to move it there by hand.
// Links are never followed, and nothing another user owns is touched.
void removeLeftoverWorkFolders(const std::filesystem::path& temporaryFolder, std::string_view runningVersion,
                               std::int64_t startedAt);

// Creates the work folder (and any missing parents), readable and writable by
// the user only. The error is the system's description of the failure.
expected<void, std::string> createPrivateFolder(const std::filesystem::path& folder);

// The entries directly inside a folder, hidden ones included, in the order the
// file system lists them.
expected<std::vector<FolderEntry>, std::string> listFolder(const std::filesystem::path& folder);

// Unpacks a zip archive into `destination`, keeping permissions (but never
// set-id bits). Fails, having written nothing outside `destination`, on a
// broken archive, on any entry that is not a plain relative name or would be
// written through a symbolic link, and on more entries or bytes than
// `limits` allow (stopping before the byte past them is written).
bool unpackArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                   const UnpackLimits& limits = {});

// Unpacks the work folder's archive into it and finds the new application
// folder there: couldNotBeUnpacked for a broken archive, one beyond `limits`
// or one without a usable application folder at its top, systemError when the folder cannot
// be listed.
expected<std::filesystem::path, UpdateFailure> unpackUpdate(const std::filesystem::path& workFolder,
                                                            const UnpackLimits& limits = {});

// Writes the relaunch script into the work folder and starts it with `shell`
// in a session of its own, so that it outlives the launcher; once this
// process has ended it swaps `newFolder` in for `applicationFolder`. It
// inherits the launcher's environment but the settings `notPassedOn`. The
// error is the system's description of the failure.
expected<void, std::string> startRelaunchScript(const std::filesystem::path& workFolder,
                                                const std::filesystem::path& applicationFolder,
                                                const std::filesystem::path& newFolder,
                                                const std::string& shell,
                                                const std::vector<std::string>& notPassedOn);

} // namespace vorlia
