// The file-system steps of an install: the private work folder, unpacking the
// verified archive into it, finding the new application folder, and starting
// the relaunch script. Plain functions on paths, callable off the main thread.
#pragma once

#include "base/expected.hpp"
#include "base/handle.hpp"
#include "rules/install_place.hpp"
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

// "vrl-update-" followed by a fresh upper-case UUID, inside `temporaryFolder`.
std::filesystem::path newWorkFolderPath(const std::filesystem::path& temporaryFolder);

// A work folder marked as in use, for as long as this lives: an flock on the
// folder itself, which the leftover sweep of any launcher tries first.
class WorkFolderLock {
  public:
    WorkFolderLock() = default;
    ~WorkFolderLock();
    WorkFolderLock(WorkFolderLock&& other) noexcept;
    WorkFolderLock& operator=(WorkFolderLock&& other) noexcept;

    // Marks `folder` (a real folder, never through a link) without waiting:
    // fails when another lock holds it. The error is the system's description.
    static expected<WorkFolderLock, std::string> take(const std::filesystem::path& folder);

  private:
    explicit WorkFolderLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Removes the work folders that earlier updates left in `temporaryFolder`:
// the current user's own real folders named like one and last changed before
// `startedAt` (seconds since 1970; a folder this run is using is newer). One
// that still holds a new application folder of a version newer than
// `runningVersion` is kept: the player was asked to move it there by hand.
// So is one in use (locked) by another launcher, and the one that holds
// `runningFolder`, the running application folder.
// Links are never followed, and nothing another user owns is touched.
void removeLeftoverWorkFolders(const std::filesystem::path& temporaryFolder, std::string_view runningVersion,
                               std::int64_t startedAt, const std::filesystem::path& runningFolder);

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

// The environment the relaunch script, and so the new launcher, starts with:
// the launcher's own without the settings `notPassedOn`, and PATH fixed to
// the system's folders, so that no folder of the player's PATH (".", an
// empty entry) can put another program in place of the script's commands.
Handle<char*> relaunchEnvironment(const std::vector<std::string>& notPassedOn);

// Whether every library the program needs resolves in `environment`, as its
// ELF interpreter's `--list` reports it: that runs none of the program's
// code. A program that names no interpreter needs no library.
bool librariesResolve(const std::filesystem::path& program, char** environment);

// Unpacks the work folder's archive into it and finds the new application
// folder there: couldNotBeUnpacked for a broken archive, one beyond `limits`
// or one without a usable application folder at its top (including one whose
// program could not start here with `environment`), systemError when the
// folder cannot be listed.
expected<std::filesystem::path, UpdateFailure>
unpackUpdate(const std::filesystem::path& workFolder, char** environment, const UnpackLimits& limits = {});

// Writes the relaunch script into the work folder and starts it with `shell`
// in a session of its own, so that it outlives the launcher; once this
// process has ended it swaps `newFolder` in for `applicationFolder`. It runs
// in "/" with relaunchEnvironment(notPassedOn). The error is the system's
// description of the failure.
expected<void, std::string> startRelaunchScript(const std::filesystem::path& workFolder,
                                                const std::filesystem::path& applicationFolder,
                                                const std::filesystem::path& newFolder,
                                                const std::string& shell,
                                                const std::vector<std::string>& notPassedOn);

} // namespace vorlia
