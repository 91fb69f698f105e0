#include "rules/relaunch_script.hpp"

namespace vorlia {

// GLib's g_shell_quote writes this very text today, but its documentation
// leaves the style open (single or double quotes), and this text is fixed.
std::string shellQuote(std::string_view path) {
    std::string quoted = "'";
    for (const char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string relaunchScript(std::int32_t pid, std::string_view folder, std::string_view newFolder) {
    const std::string b = shellQuote(folder);
    const std::string n = shellQuote(newFolder);
    const std::string lines[] = {
        "#!/bin/sh",
        // The player sees no launcher while this waits: look often, it is short.
        "while kill -0 " + std::to_string(pid) + " 2>/dev/null; do sleep 0.05; done",
        "rm -rf " + b + ".old " + b + ".new",
        // The new folder is first moved beside the old one: from another file
        // system that move is a copy, which can fail or be cut short halfway.
        // Only renames on the launcher's own file system then touch its path.
        // -T: a folder left standing at a target (one the rm could not
        // remove) fails the move instead of taking the folder in.
        "mv -T " + n + " " + b + ".new && mv -T " + b + " " + b + ".old && { mv -T " + b + ".new " + b +
            " || mv -T " + b + ".old " + b + "; }",
        "chmod +x " + b + "/vorlia 2>/dev/null",
        // When both the swap and its roll-back failed, ".old" is the only
        // launcher left: keep it unless a working one stands at the path again.
        "[ -x " + b + "/vorlia ] && [ -f " + b + "/Info.json ] && rm -rf " + b + ".old; rm -rf " + b + ".new",
        "exec " + b + "/vorlia",
    };
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) {
            text += '\n';
        }
        text += line;
    }
    return text;
}

} // namespace vorlia
