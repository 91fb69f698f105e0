#include "demo/stall_probe.hpp"

#include <glib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace vorlia::demo {
namespace {

constexpr gint64 shortestStallUs = 8000;

// A source that never dispatches: the main context calls the prepare of its
// highest-priority source before every poll and its check after every poll, so
// the time from one check to the next prepare is exactly one turn's work, and
// an idle loop costs nothing but these two calls per wake-up.
struct StallSource {
    GSource source;
    int fd;
    gint64 polledAt;  // 0 before the first poll
    gint64 polledCpu; // the main thread's processor time then
};

// The calling thread's processor time: a long turn with little of it was
// the thread waiting or not scheduled, not working.
gint64 threadCpuUs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<gint64>(now.tv_sec) * G_USEC_PER_SEC + now.tv_nsec / 1000;
}

gboolean prepare(GSource* source, gint* timeout) {
    auto* probe = reinterpret_cast<StallSource*>(source);
    *timeout = -1;
    if (probe->polledAt != 0) {
        const gint64 now = g_get_monotonic_time();
        const gint64 stall = now - probe->polledAt;
        probe->polledAt = 0;
        if (stall >= shortestStallUs) {
            const gint64 work = threadCpuUs() - probe->polledCpu;
            char line[72];
            const int n = std::snprintf(line, sizeof line,
                                        "%" G_GINT64_FORMAT " %" G_GINT64_FORMAT " %" G_GINT64_FORMAT "\n",
                                        now, stall, work);
            // One write per line on an O_APPEND descriptor: whole lines even
            // when a reader watches the file as it grows.
            while (::write(probe->fd, line, static_cast<size_t>(n)) < 0 && errno == EINTR) {
            }
        }
    }
    return FALSE;
}

gboolean check(GSource* source) {
    auto* probe = reinterpret_cast<StallSource*>(source);
    probe->polledAt = g_get_monotonic_time();
    probe->polledCpu = threadCpuUs();
    return FALSE;
}

// GLib only reads the table; its parameter lacks the const.
const GSourceFuncs stallFuncs = {prepare, check, nullptr, nullptr, nullptr, nullptr};

} // namespace

void startStallProbeFromEnvironment() {
    const char* file = g_getenv("VORLIA_DEMO_STALL_LOG");
    if (file == nullptr || *file == '\0') {
        return;
    }
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        g_printerr("vorlia: cannot open the stall log %s: %s\n", file, g_strerror(errno));
        return;
    }
    GSource* source = g_source_new(const_cast<GSourceFuncs*>(&stallFuncs), sizeof(StallSource));
    auto* probe = reinterpret_cast<StallSource*>(source);
    probe->fd = fd;
    probe->polledAt = 0;
    probe->polledCpu = 0;
    // The highest priority puts it first in the context's list, where its
    // prepare and check run in every turn whatever else is ready.
    g_source_set_priority(source, G_MININT);
    g_source_set_name(source, "vorlia stall probe");
    g_source_attach(source, nullptr);
    g_source_unref(source); // the context keeps it for the process's life
}

} // namespace vorlia::demo
