#include "rules/desktop_entry.hpp"

#include <glib.h>

#include <algorithm>

namespace vorlia {
namespace {

// Characters no desktop reads specially, on its own or through a shell:
// letters, digits and these, and every non-ASCII character. Anything else
// has the path quoted.
constexpr std::string_view plainInExec = "-_./+,:@%";
constexpr std::string_view escapedInQuotes = "\"`$\\";

std::string_view trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

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
    // The value is a desktop entry string too, whose own escape is the backslash.
    std::string value;
    for (const char c : argument) {
        value += c;
        if (c == '\\') {
            value += '\\';
        }
    }
    return value;
}

std::optional<std::string> userDesktopEntry(std::string_view folderEntry, std::string_view executable) {
    const auto exec = desktopExecArgument(executable);
    if (!exec || !g_utf8_validate(folderEntry.data(), static_cast<gssize>(folderEntry.size()), nullptr)) {
        return std::nullopt;
    }
    std::string text;
    bool inMainGroup = false;
    bool replaced = false;
    while (!folderEntry.empty()) {
        const auto end = folderEntry.find('\n');
        const std::string_view raw = folderEntry.substr(0, end);
        folderEntry = end == std::string_view::npos ? std::string_view{} : folderEntry.substr(end + 1);
        const std::string_view line = trimmed(raw);
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
        }
        const std::string_view key = trimmed(line.substr(0, line.find('=')));
        if (inMainGroup && line.find('=') != std::string_view::npos && key == desktopEntryMarkKey) {
            continue; // written once, after Exec=
        }
        if (inMainGroup && !replaced && line.find('=') != std::string_view::npos && key == "Exec") {
            text += "Exec=" + *exec + "\n" + std::string(desktopEntryMark) + "\n";
            replaced = true;
            continue;
        }
        text.append(raw);
        text += '\n';
    }
    if (!replaced) {
        return std::nullopt;
    }
    return text;
}

bool desktopEntryStarts(std::string_view entryText, std::string_view executable) {
    const auto exec = desktopExecArgument(executable);
    if (!exec) {
        return false;
    }
    bool inMainGroup = false;
    while (!entryText.empty()) {
        const auto end = entryText.find('\n');
        const std::string_view line = trimmed(entryText.substr(0, end));
        entryText = end == std::string_view::npos ? std::string_view{} : entryText.substr(end + 1);
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (inMainGroup && equals != std::string_view::npos && trimmed(line.substr(0, equals)) == "Exec") {
            return trimmed(line.substr(equals + 1)) == *exec;
        }
    }
    return false;
}

} // namespace vorlia
