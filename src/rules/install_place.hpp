// Where the launcher may replace itself and add itself to the desktop menu,
// judged from what lstat says of the folders on its path, and what the new
// launcher's program needs in order to start.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// What lstat says of one folder: its owner, its group and its st_mode (type
// and permission bits).
struct FolderFacts {
    std::uint32_t owner = 0;
    std::uint32_t mode = 0;
    std::uint32_t group = 0;
};

// Whether no account but `player` and root can change what stands at the
// application folder's path. `fromApplicationFolderUp` holds the facts of the
// application folder, the folder that holds it, and every folder above, up
// to and including "/". The holding folder must be the player's or root's
// and writable by no one else; each folder above must be the player's or
// root's and either writable by no one else, or sticky (as /tmp is) with the
// folder below it the player's or root's. A link anywhere fails: the path is
// a resolved one, so a link means it changed under us. A folder's group may
// write when that group is `playersOwnGroup`, the player's private group
// (named after the player, no other member), as a umask of 002 makes them.
bool isSafePlace(const std::vector<FolderFacts>& fromApplicationFolderUp, std::uint32_t player,
                 std::optional<std::uint32_t> playersOwnGroup = std::nullopt);

// Whether a path lies inside `folder` (or is it), comparing whole names: both
// are absolute and resolved.
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);

// Whether a name is one the updater gives its work folders ("vrl-update-"
// and more).
bool isWorkFolderName(std::string_view name);

// Whether a desktop menu entry may point at an application folder: not one
// inside the temporary folder (it is gone after a restart), nor one inside an
// update's work folder (a folder named like one anywhere on its path).
bool mayRegisterFrom(const std::filesystem::path& applicationFolder,
                     const std::filesystem::path& temporaryFolder);

// The program interpreter an ELF program names (its PT_INTERP), read from the
// file's first bytes: `none` for a program that needs none (a static one),
// nothing when the bytes do not show it (not an ELF file of this build's word
// size and byte order, or headers beyond what was read).
struct ProgramInterpreter {
    bool none = false;
    std::string path;
};
std::optional<ProgramInterpreter> programInterpreter(std::string_view fileStart);

// Whether the interpreter's `--list` report (both its streams, and its exit
// status) shows that every library the program needs, in the symbol versions
// it needs, is found.
bool listShowsEveryLibrary(std::string_view output, int exitStatus);

} // namespace vorlia
