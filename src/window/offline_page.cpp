#include "window/offline_page.hpp"

namespace vorlia {

const std::string& offlinePageHTML() {
    static const std::string page =
        "<html><body style=\"margin:0;height:100vh;display:flex;align-items:center;"
        "justify-content:center;background:#7f1d1d;\n"
        "font-family:system-ui,Arial;color:#fff;text-align:center\"><div>"
        "<h2 style=\"margin:0 0 8px\">Cannot reach the game server</h2>\n"
        "<p style=\"opacity:.85\">Check your internet connection, then press Ctrl+R to try again.</p>"
        "</div></body></html>";
    return page;
}

} // namespace vorlia
