// The file-system steps of an install: the private work folder, unpacking the
// verified archive into it, finding the new application folder, and writing
// the relaunch script. Plain functions on paths, callable off the main thread.
#pragma once

#include "base/expected.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// The text after the last full stop of a name, or "" when it has none.
std::string_view pathExtension(std::string_view name);

struct FolderEntry {
    std::string name;
    bool isFolder = false; // a real folder, not a link to one
};

// The new application folder: the first entry, in listing order, that is a
// folder named with the extension exactly "app". Plain files and links with
// that name are passed over, since they can never be an application.
std::optional<std::string> chooseNewBundle(const std::vector<FolderEntry>& entries);

// A folder named *.app that holds an executable `vorlia` and an `Info.json`:
// the only kind of folder an update ever replaces or installs.
bool isApplicationFolder(const std::filesystem::path& folder);

// Whether the current user may create and remove entries in a folder.
bool folderIsWritable(const std::filesystem::path& folder);

// "vrl-update-" followed by a fresh upper-case UUID, inside `temporaryFolder`.
std::filesystem::path newWorkFolderPath(const std::filesystem::path& temporaryFolder);

// Creates the work folder (and any missing parents), readable and writable by
// the user only. The error is the system's description of the failure.
expected<void, std::string> createPrivateFolder(const std::filesystem::path& folder);

// The entries directly inside a folder, hidden ones included, in the order the
// file system lists them.
expected<std::vector<FolderEntry>, std::string> listFolder(const std::filesystem::path& folder);

// Unpacks a zip archive into `destination`, keeping permissions (but never
// set-id bits). Fails, having written nothing outside `destination`, on a
// broken archive or on any entry that is absolute, climbs out with "..", or
// would be written through a symbolic link.
bool unpackArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);

} // namespace vorlia
