#include "rules/desktop_entry.hpp"

#include "base/handle.hpp"

#include <glib.h>

#include <algorithm>

namespace vorlia {
namespace {

// Characters no desktop reads specially, on its own or through a shell:
// letters, digits and these, and every non-ASCII character. Anything else
// has the path quoted.
constexpr std::string_view plainInExec = "-_./+,:@%";
constexpr std::string_view escapedInQuotes = "\"`$\\";

constexpr const char* mainGroup = "Desktop Entry";

} // namespace

std::optional<std::string> desktopExecArgument(std::string_view executable) {
    if (executable.empty() ||
        !g_utf8_validate(executable.data(), static_cast<gssize>(executable.size()), nullptr)) {
        return std::nullopt;
    }
    for (const char c : executable) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return std::nullopt;
        }
    }
    const bool quote = std::any_of(executable.begin(), executable.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80 && !g_ascii_isalnum(c) &&
               plainInExec.find(c) == std::string_view::npos;
    });
    std::string argument;
    if (quote) {
        argument += '"';
    }
    for (const char c : executable) {
        if (quote && escapedInQuotes.find(c) != std::string_view::npos) {
            argument += '\\';
        }
        argument += c;
        if (c == '%') {
            argument += '%'; // a lone % would start a field code
        }
    }
    if (quote) {
        argument += '"';
    }
    return argument;
}

std::optional<std::string> userDesktopEntry(std::string_view folderEntry, std::string_view executable) {
    const auto exec = desktopExecArgument(executable);
    if (!exec || !g_utf8_validate(folderEntry.data(), static_cast<gssize>(folderEntry.size()), nullptr)) {
        return std::nullopt;
    }
    // Comments and translations are the folder's too: the entry keeps them.
    const Handle<GKeyFile> entry(g_key_file_new());
    if (!g_key_file_load_from_data(
            entry.get(), folderEntry.data(), folderEntry.size(),
            static_cast<GKeyFileFlags>(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS), nullptr) ||
        !g_key_file_has_key(entry.get(), mainGroup, "Exec", nullptr)) {
        return std::nullopt;
    }
    g_key_file_set_string(entry.get(), mainGroup, "Exec", exec->c_str());
    g_key_file_set_string(entry.get(), mainGroup, desktopEntryMarkKey, desktopEntryMarkValue);
    gsize length = 0;
    const GText text(g_key_file_to_data(entry.get(), &length, nullptr));
    return std::string(text.get(), length);
}

bool desktopEntryStarts(std::string_view entryText, std::string_view executable) {
    const auto exec = desktopExecArgument(executable);
    const Handle<GKeyFile> entry(g_key_file_new());
    if (!exec || !g_key_file_load_from_data(entry.get(), entryText.data(), entryText.size(), G_KEY_FILE_NONE,
                                            nullptr)) {
        return false;
    }
    const GText value(g_key_file_get_string(entry.get(), mainGroup, "Exec", nullptr));
    // Blanks after the command split off no argument.
    return value && std::string_view(g_strchomp(value.get())) == *exec;
}

} // namespace vorlia
