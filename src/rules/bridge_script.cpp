#include "rules/bridge_script.hpp"

#include <glib.h>

#include <array>
#include <cstdio>

namespace vorlia::embedded {
extern const std::string_view bridgeJs;
} // namespace vorlia::embedded

namespace vorlia {
namespace {

// The body of a double-quoted JavaScript string literal holding `text`. Quote,
// backslash and every line terminator and control character are escaped, so a
// version text cannot end the literal or the line early; anything else stands
// as it is. The engine takes the script as UTF-8, so a broken sequence becomes
// U+FFFD instead of making the whole script invalid.
std::string stringLiteralBody(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                out += "\\r";
            } else if (c < 0x20) {
                std::array<char, 8> escaped{};
                std::snprintf(escaped.data(), escaped.size(), "\\u%04x", c);
                out += escaped.data();
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        const gunichar ch = g_utf8_get_char_validated(text.data() + i, static_cast<gssize>(text.size() - i));
        if (ch == static_cast<gunichar>(-1) || ch == static_cast<gunichar>(-2)) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        const auto length = static_cast<std::size_t>(g_utf8_skip[c]);
        if (ch == 0x2028 || ch == 0x2029) {
            // Line terminators inside string literals in older engines.
            out += ch == 0x2028 ? "\\u2028" : "\\u2029";
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

} // namespace

std::string bridgeScript(std::string_view launcherVersion, std::string_view gameHost,
                         std::string_view token) {
    std::string script = "(function () {\n"
                         "  if (window.__vrlLauncher) return;\n"
                         "  window.__vrlLauncher = \"";
    script += stringLiteralBody(launcherVersion);
    script += "\";\n"
              "  window.__vrlTok = \"";
    script += stringLiteralBody(token);
    script += "\";\n"
              "  var HOST = \"";
    script += stringLiteralBody(gameHost);
    script += embedded::bridgeJs;
    return script;
}

std::string refreshSnippet(std::string_view token) {
    std::string snippet = "window.__vrlTok='";
    snippet += token;
    snippet += "'";
    return snippet;
}

} // namespace vorlia
