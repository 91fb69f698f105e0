#include "bridge/bridge_script.hpp"

#include "app/gobject_ptr.hpp"

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
// as it is.
std::string stringLiteralBody(std::string_view text) {
    // The engine takes the script as UTF-8; broken sequences become U+FFFD
    // rather than an invalid script.
    std::string valid(text);
    if (!g_utf8_validate(valid.data(), static_cast<gssize>(valid.size()), nullptr)) {
        const GCharPtr repaired(g_utf8_make_valid(valid.data(), static_cast<gssize>(valid.size())));
        valid = repaired.get();
    }
    std::string out;
    out.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
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
        } else if (c == 0xE2 && i + 2 < valid.size() && static_cast<unsigned char>(valid[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(valid[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(valid[i + 2]) == 0xA9)) {
            // U+2028 and U+2029 end a line in older engines' string literals.
            out += static_cast<unsigned char>(valid[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

std::string bridgeScript(const Config& config, std::string_view token) {
    std::string script = "(function () {\n"
                         "  if (window.__vrlLauncher) return;\n"
                         "  window.__vrlLauncher = \"";
    script += stringLiteralBody(config.launcherVersion);
    script += "\";\n"
              "  window.__vrlTok = \"";
    script += stringLiteralBody(token);
    script += "\";\n"
              "  var HOST = \"";
    script += stringLiteralBody(config.gameHost);
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
