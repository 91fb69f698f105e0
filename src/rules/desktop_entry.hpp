// The desktop entry the launcher keeps in the user's menu: the application
// folder's own entry with Exec= pointing at wherever the folder now is, and
// whether an entry already there starts this launcher.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vorlia {

// The key that marks an entry as one the launcher wrote, by which the
// application folder's uninstall script knows what it may remove.
inline constexpr const char* desktopEntryMarkKey = "X-Vorlia-Written-By";
inline constexpr const char* desktopEntryMarkValue = "launcher";

// Longer entries are not read: an entry is a few hundred bytes.
inline constexpr std::size_t desktopEntryMaxSize = 64 * 1024;

// The executable as the one argument of the Exec= string, as a desktop reads
// it from the file: double-quoted when it holds any character outside a plain
// set (letters, digits, "-_./+,:@%" and non-ASCII ones), a "%" doubled.
// Nothing for a path an entry cannot carry: not UTF-8, or holding a control
// character.
std::optional<std::string> desktopExecArgument(std::string_view executable);

// The folder's entry, read and written as a key file, with the Exec= of its
// [Desktop Entry] group set to `executable` and the launcher's mark added.
// Nothing when the entry is not UTF-8, is no key file, has no Exec= there, or
// the path cannot be carried.
std::optional<std::string> userDesktopEntry(std::string_view folderEntry, std::string_view executable);

// Whether the Exec= of an entry's [Desktop Entry] group, as a desktop reads
// the entry, starts exactly this executable (as userDesktopEntry writes it).
bool desktopEntryStarts(std::string_view entryText, std::string_view executable);

} // namespace vorlia
