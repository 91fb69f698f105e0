// Every path the relaunch script names reaches its commands unchanged: the
// quoted text, run through the real /bin/sh with printf %s, gives back the
// path byte for byte.
#include "rules/relaunch_script.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

extern char** environ;

namespace {

std::string throughShell(const std::string& command) {
    int out[2];
    if (pipe(out) != 0) {
        std::abort();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
        std::abort();
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string result;
    char buffer[4096];
    // The fuzzer's own timer signals interrupt reads and waits: retry them.
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n > 0) {
            result.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::abort();
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    // A path cannot hold a NUL byte, and neither can an argument.
    if (path.find('\0') != std::string::npos || size > 4096) {
        return 0;
    }
    const std::string quoted = vorlia::shellQuote(path);
    if (throughShell("printf %s " + quoted) != path) {
        std::abort();
    }
    // The ".old" suffix joins the quoted path as the script writes it.
    if (throughShell("printf %s " + quoted + ".old") != path + ".old") {
        std::abort();
    }
    return 0;
}
