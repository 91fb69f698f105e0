// The process kit of the tests and the benchmarks, on GLib's GSubprocess:
//
//   Process            a program started with an environment of its own, ended with its owner
//   startDemoLauncher  the demo launcher with the stand-in route and a private home
//   runCommand         a command's output and status, bounded in time
//   processTable       who is whose child, read from /proc
//
// GLib and the base layer only, so that the benchmarks link it without the
// toolkit or the test framework.
#pragma once

#include "base/handle.hpp"

#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorlia::test {

using namespace std::chrono_literals;

using Settings = std::vector<std::pair<std::string, std::string>>;

// This process's environment with `settings` set and the names in `without` left out.
std::vector<std::string> environmentWith(const Settings& settings,
                                         const std::vector<std::string>& without = {});

// HOME as `folder` and the XDG folders within it (all made), so that nothing
// of the user's own is read or touched; the layout of scripts/lib's private_home.
Settings privateHome(const std::filesystem::path& folder);

// What routes the demo launcher to the stand-in hosts.
Settings standInRoute(const std::string& proxyURL, const std::filesystem::path& certificate);

struct ProcessOptions {
    std::vector<std::string> environment; // empty: this process's own
    std::filesystem::path output;         // its output and errors, to this file; empty: this process's
    bool endsWithThisThread = false;      // killed when the thread that started it ends first
};

class Process {
  public:
    explicit Process(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    // Ends it if it still runs: SIGTERM, SIGKILL after ten seconds.
    ~Process();
    Process(Process&&) noexcept = default;
    Process& operator=(Process&&) = delete; // it would drop a running one unended

    bool started() const { return process_ != nullptr; }
    const std::string& failure() const { return failure_; } // why it did not start
    pid_t pid() const { return pid_; }                      // kept after the end, for the record
    // True once it has ended and GLib has reaped it; GLib's worker thread
    // reaps it, so this needs no main loop.
    bool ended() const;
    bool endedCleanly() const; // ended with status 0
    // Spins the default main context until it has ended.
    bool waitForEnd(std::chrono::milliseconds timeout = 20s) const;
    void signal(int number) const; // nothing once it has ended: its number may be another's by then
    // SIGTERM, then SIGKILL once `grace` has passed; false if even that did not end it within 5 s.
    bool end(std::chrono::milliseconds grace = 10s);

  private:
    Handle<GSubprocess> process_;
    pid_t pid_ = 0;
    std::string failure_;
};

struct DemoLauncherOptions {
    std::string proxyURL;              // the stand-in's proxy
    std::filesystem::path certificate; // and its certificate
    std::filesystem::path home;        // made private (privateHome)
    Settings extra;                    // more settings, set last
    std::vector<std::string> without;  // names of this process's environment left out
    std::filesystem::path program;     // empty: the demo launcher of this build
    std::filesystem::path output;      // as in ProcessOptions
    bool endsWithThisThread = false;   // as in ProcessOptions
};

// The demo executable as the run command starts it.
Process startDemoLauncher(const DemoLauncherOptions& options);

struct CommandResult {
    bool ran = false;    // it started and ended within its time
    int waitStatus = 0;  // as waitpid gives it
    std::string output;  // what it wrote to its standard output
    std::string failure; // why it did not run, or was ended
    bool succeeded() const;
};

// Runs a command (searched in PATH; its errors go to this process's) in
// `folder` (empty: this process's), without spinning the default main
// context, and ends it once `timeout` has passed: a window that never comes
// must fail a test, not hang it.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = 15s,
                         const std::filesystem::path& folder = {});
// The same for a command line split as the shell splits it.
CommandResult runCommand(const std::string& line, std::chrono::milliseconds timeout = 15s,
                         const std::filesystem::path& folder = {});
// Only the output; empty when it did not run.
std::string commandOutput(const std::string& line, std::chrono::milliseconds timeout = 15s);

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    char state = 0;   // 'R', 'S', 'Z' ...
    std::string name; // the command name, at most 15 bytes, any of them spaces or parentheses
};

// One /proc/PID/stat line. The name may hold spaces and parentheses, the
// fields after it never: they start after its last ')'.
std::optional<ProcessEntry> parseStat(std::string_view stat);

// Every process now, by number; one that ends meanwhile is left out.
std::map<pid_t, ProcessEntry> processTable();

// Every process in `table` below `pid`, however deep.
std::vector<pid_t> descendantsOf(pid_t pid, const std::map<pid_t, ProcessEntry>& table);

} // namespace vorlia::test
