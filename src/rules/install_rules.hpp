// What an update archive may install, as plain values: which modes, which
// symbolic links, which programs, and which folder is the new application.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia {

// How much one signed archive may unpack: far beyond any launcher, yet a
// bound on what a broken or hostile one can put on the player's disk.
struct UnpackLimits {
    std::uint64_t totalBytes = std::uint64_t{4} << 30; // 4 GiB, every file together
    std::uint64_t entries = 100'000;                   // files, folders and links
};

// The mode an unpacked entry gets: its own permissions, never set-user-id,
// set-group-id or sticky, and never writable by group or others.
std::uint32_t installedMode(std::uint32_t archiveMode);

// Whether an archive entry's name is written exactly where it says, inside
// the folder the archive is unpacked into: a plain relative path, which for
// a folder may end in "/".
bool isPlainArchiveName(std::string_view name, bool isFolder);

// Whether a symbolic link named `entryName` (a plain archive name) whose text
// is `target` resolves to a place inside the folder the archive is unpacked
// into. The link's own folders are real ones (the unpacking never writes
// through a link), so the ".." steps at the start of its text climb as the
// text says; a ".." after a name, which may itself be a link, could climb
// anywhere and is refused, as are an absolute target and one that climbs
// above that folder.
bool linkStaysInside(std::string_view entryName, std::string_view target);

// The ELF machine number of the CPU this build runs on.
std::uint16_t thisMachine();

// Whether the first bytes of a file make it an ELF program (an executable or
// a position-independent one) for `machine` with this build's word size and
// byte order: a program any other way could never start here.
bool isProgramFor(std::string_view header, std::uint16_t machine);

// The text after the last full stop of a name, or "" when it has none.
std::string_view pathExtension(std::string_view name);

// One entry of a folder as listed.
struct FolderEntry {
    std::string name;
    bool isFolder = false; // a real folder, not a link to one
};

// The new application folder: the first entry, in listing order, that is a
// folder named with the extension exactly "app". Plain files and links with
// that name are passed over, since they can never be an application.
std::optional<std::string> chooseNewApplicationFolder(const std::vector<FolderEntry>& entries);

} // namespace vorlia
