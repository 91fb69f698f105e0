#include "rules/bridge_script.hpp"

#include <nlohmann/json.hpp>

namespace vorlia::embedded {
extern const std::string_view bridgeJs;
} // namespace vorlia::embedded

namespace vorlia {
namespace {

// The body of a double-quoted JavaScript string literal holding `text`. A JSON
// string is such a literal (with U+2028 and U+2029, since ES2019): quote, backslash and control characters
// come out escaped, so a version text cannot end the literal or the line early, and anything else stands as
// it is. The engine takes the script as UTF-8, so a broken sequence becomes U+FFFD instead of making the
// whole script invalid.
std::string stringLiteralBody(std::string_view text) {
    const std::string literal =
        nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return literal.substr(1, literal.size() - 2);
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
