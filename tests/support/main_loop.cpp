#include "support/main_loop.hpp"

#include <glib.h>

namespace vorlia::test {

bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    GMainContext* context = g_main_context_default();
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Wake at least every 20 ms so that the deadline is honoured.
        GSource* tick = g_timeout_source_new(20);
        g_source_set_callback(
            tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, context);
        g_main_context_iteration(context, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
}

} // namespace vorlia::test
