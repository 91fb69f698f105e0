#include "window/navigation_policy.hpp"
#include "window/offline_page.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlia {
namespace {

// Assembled from the page's description, piece by piece: one html element
// holding a body with a two-line style, one div, the heading, a line feed,
// then the hint; no other whitespace between tags.
TEST(OfflinePage, IsTheFixedPageWithTheLinuxTexts) {
    const std::string bodyStyle =
        "margin:0;height:100vh;display:flex;align-items:center;justify-content:center;background:#7f1d1d;\n"
        "font-family:system-ui,Arial;color:#fff;text-align:center";
    const std::string expected =
        "<html><body style=\"" + bodyStyle + "\"><div>" +
        "<h2 style=\"margin:0 0 8px\">Cannot reach the game server</h2>\n" +
        "<p style=\"opacity:.85\">Check your internet connection, then press Ctrl+R to "
        "try again.</p></div></body></html>";
    EXPECT_EQ(offlinePageHTML(), expected);
    // The original's 352 bytes, less "-apple-system" for "system-ui" (4) and
    // the 4-byte "⌘R" for the 6-byte "Ctrl+R" (+2).
    EXPECT_EQ(offlinePageHTML().size(), 350U);
}

struct FailureCase {
    GQuark domain;
    int code;
    bool real;
};

TEST(LoadFailure, OnlyUnreachablePagesCount) {
    const std::vector<FailureCase> cases{
        // Cancelled or superseded: the page the user is going to stays.
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, false},
        {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE, false},
        {WEBKIT_MEDIA_ERROR, WEBKIT_MEDIA_ERROR_WILL_HANDLE_LOAD, false},
        {G_IO_ERROR, G_IO_ERROR_CANCELLED, false},
        // Anything else is a failure of the host or the network.
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FAILED, true},
        {WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_TRANSPORT, true},
        {WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI, true},
        {G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, true},
        {G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, true},
        {G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE, true},
        {G_IO_ERROR, G_IO_ERROR_TIMED_OUT, true},
    };
    for (const FailureCase& c : cases) {
        GError* error = g_error_new_literal(c.domain, c.code, "x");
        EXPECT_EQ(isRealLoadFailure(error), c.real) << g_quark_to_string(c.domain) << " " << c.code;
        g_error_free(error);
    }
    EXPECT_TRUE(isRealLoadFailure(nullptr));
}

} // namespace
} // namespace vorlia
