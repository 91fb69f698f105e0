// The application folder's place on disk, as the system says it is: whether
// a folder is a launcher's application folder, and whether the launcher may
// replace itself or register where it stands. Both the updater and the
// desktop menu ask; neither owns the answer.
#pragma once

#include <filesystem>

namespace vorlia {

// A folder named *.app that holds an executable `vorlia` and an `Info.json`:
// the only kind of folder an update ever replaces or installs.
bool isApplicationFolder(const std::filesystem::path& folder);

// Whether the current user may create and remove entries in a folder.
bool folderIsWritable(const std::filesystem::path& folder);

// Whether no other account can change what stands at the application
// folder's path (isSafePlace over what lstat says of each folder from it up
// to "/"): only there does the launcher replace itself or register.
bool isSafePlaceFor(const std::filesystem::path& applicationFolder);

} // namespace vorlia
