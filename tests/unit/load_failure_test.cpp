#include "window/navigation_policy.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlia {
namespace {

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
