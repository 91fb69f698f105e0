// Whole-file reading and writing, and where the running launcher lives.
#pragma once

#include "base/expected.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// The whole content of a file, or GLib's description of why it could not be read.
expected<std::string, std::string> readFile(const std::filesystem::path& path);

// Replaces a file's content all at once with the given mode: readers see the
// old or the new text, never a part, even when the write fails or is cut short.
expected<void, std::string> writeFileAtomically(const std::filesystem::path& file, std::string_view content,
                                                int mode = 0600);

// "What “path”: the system's reason", as the updater shows a failed call on a
// file or folder.
std::string fileError(std::string_view what, const std::filesystem::path& path, int error);

// Creates a folder and its missing parents, each made here given its owner's
// rights (0700) whatever the umask: mkdir's mode alone is narrowed by it, and
// under one such as 0277 the owner could not write in what was just made.
// Folders that exist are left as they are. The error names the folder and the
// system's reason.
expected<void, std::string> makeFolders(const std::filesystem::path& folder);

// Removes a folder and everything in it that the current user owns, without
// ever following a symbolic link: a link is removed as a link, and what it
// points at is never reached. Entries owned by anyone else are left, and so
// are the folders that hold them. True when nothing is left at `folder`
// (including when nothing was there).
bool removeOwnTree(const std::filesystem::path& folder);

// The application folder: the folder that holds the running executable
// (resolved through /proc/self/exe).
std::filesystem::path applicationFolder();

} // namespace vorlia
