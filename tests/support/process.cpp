#include "support/process.hpp"

#include "support/main_loop.hpp"

#include <glib.h>
#include <sys/prctl.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <system_error>

namespace vorlia::test {

std::vector<std::string> environmentWith(const Settings& settings, const std::vector<std::string>& without) {
    char** env = g_get_environ();
    for (const std::string& name : without) {
        env = g_environ_unsetenv(env, name.c_str());
    }
    for (const auto& [name, value] : settings) {
        env = g_environ_setenv(env, name.c_str(), value.c_str(), TRUE);
    }
    const Handle<char*> made(env);
    std::vector<std::string> out;
    for (char** e = made.get(); *e != nullptr; ++e) {
        out.emplace_back(*e);
    }
    return out;
}

Settings privateHome(const std::filesystem::path& folder) {
    Settings home{{"HOME", folder.string()}};
    for (const auto& [name, sub] :
         {std::pair{"XDG_DATA_HOME", "data"}, std::pair{"XDG_CACHE_HOME", "cache"},
          std::pair{"XDG_STATE_HOME", "state"}, std::pair{"XDG_CONFIG_HOME", "config"}}) {
        std::filesystem::create_directories(folder / sub);
        home.emplace_back(name, (folder / sub).string());
    }
    return home;
}

Settings standInRoute(const std::string& proxyURL, const std::filesystem::path& certificate) {
    return {{"VORLIA_STANDIN_PROXY", proxyURL}, {"VORLIA_STANDIN_CERT", certificate.string()}};
}

namespace {

std::vector<char*> nullTerminated(const std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) {
        out.push_back(const_cast<char*>(s.c_str()));
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const Handle<GSubprocessLauncher> launcher(g_subprocess_launcher_new(
        options.output.empty() ? G_SUBPROCESS_FLAGS_NONE : G_SUBPROCESS_FLAGS_STDERR_MERGE));
    if (!options.environment.empty()) {
        g_subprocess_launcher_set_environ(launcher.get(), nullTerminated(options.environment).data());
    }
    if (!options.output.empty()) {
        g_subprocess_launcher_set_stdout_file_path(launcher.get(), options.output.c_str());
    }
    if (options.endsWithThisThread) {
        g_subprocess_launcher_set_child_setup(
            launcher.get(), [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGKILL); }, nullptr, nullptr);
    }
    GError* raw = nullptr;
    process_.reset(g_subprocess_launcher_spawnv(launcher.get(), nullTerminated(argv).data(), &raw));
    const Handle<GError> error(raw);
    if (!process_) {
        failure_ = error ? error->message : "cannot start " + (argv.empty() ? std::string() : argv.front());
        return;
    }
    pid_ = static_cast<pid_t>(std::stol(g_subprocess_get_identifier(process_.get())));
}

Process::~Process() {
    end();
}

bool Process::ended() const {
    return process_ == nullptr || g_subprocess_get_identifier(process_.get()) == nullptr;
}

bool Process::endedCleanly() const {
    return process_ != nullptr && ended() && g_subprocess_get_if_exited(process_.get()) &&
           g_subprocess_get_exit_status(process_.get()) == 0;
}

bool Process::waitForEnd(std::chrono::milliseconds timeout) const {
    return runUntil([this] { return ended(); }, timeout);
}

void Process::signal(int number) const {
    if (!ended()) {
        g_subprocess_send_signal(process_.get(), number);
    }
}

bool Process::end(std::chrono::milliseconds grace) {
    if (ended()) {
        return true;
    }
    signal(SIGTERM);
    signal(SIGCONT);
    if (waitForEnd(grace)) {
        return true;
    }
    g_subprocess_force_exit(process_.get());
    return waitForEnd(5s);
}

Process startDemoLauncher(const DemoLauncherOptions& options) {
    Settings settings = standInRoute(options.proxyURL, options.certificate);
    const Settings home = privateHome(options.home);
    settings.insert(settings.end(), home.begin(), home.end());
    settings.insert(settings.end(), options.extra.begin(), options.extra.end());
    const std::filesystem::path program =
        options.program.empty() ? std::filesystem::path(VORLIA_BINARY_DIR) / "demo/Vorlia.app/vorlia"
                                : options.program;
    ProcessOptions process;
    process.environment = environmentWith(settings, options.without);
    process.output = options.output;
    process.endsWithThisThread = options.endsWithThisThread;
    return Process({program.string()}, process);
}

bool CommandResult::succeeded() const {
    return ran && g_spawn_check_wait_status(waitStatus, nullptr);
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::filesystem::path& folder) {
    CommandResult result;
    const Handle<GSubprocessLauncher> launcher(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE));
    if (!folder.empty()) {
        g_subprocess_launcher_set_cwd(launcher.get(), folder.c_str());
    }
    GError* raw = nullptr;
    const Handle<GSubprocess> process(
        g_subprocess_launcher_spawnv(launcher.get(), nullTerminated(argv).data(), &raw));
    if (!process) {
        const Handle<GError> error(raw);
        result.failure = error ? error->message : "cannot start the command";
        return result;
    }
    // A context of its own: the caller's main loop is not run meanwhile, as
    // with GLib's synchronous spawning.
    const Handle<GMainContext> context(g_main_context_new());
    g_main_context_push_thread_default(context.get());
    struct Wait {
        bool done = false;
        bool late = false;
        GBytes* output = nullptr;
        GError* error = nullptr;
    } wait;
    const Handle<GCancellable> cancellable(g_cancellable_new());
    g_subprocess_communicate_async(
        process.get(), nullptr, cancellable.get(),
        [](GObject* source, GAsyncResult* res, gpointer data) {
            auto* w = static_cast<Wait*>(data);
            g_subprocess_communicate_finish(G_SUBPROCESS(source), res, &w->output, nullptr, &w->error);
            w->done = true;
        },
        &wait);
    const Handle<GSource> timer(g_timeout_source_new(static_cast<guint>(timeout.count())));
    g_source_set_callback(
        timer.get(),
        [](gpointer data) {
            static_cast<Wait*>(data)->late = true;
            return G_SOURCE_REMOVE;
        },
        &wait, nullptr);
    g_source_attach(timer.get(), context.get());
    while (!wait.done && !wait.late) {
        g_main_context_iteration(context.get(), TRUE);
    }
    const bool endedByUs = !wait.done;
    if (endedByUs) {
        // Its output may stay open in a child it left behind: stop reading too.
        g_subprocess_force_exit(process.get());
        g_cancellable_cancel(cancellable.get());
        while (!wait.done) {
            g_main_context_iteration(context.get(), TRUE);
        }
    }
    g_source_destroy(timer.get());
    g_subprocess_wait(process.get(), nullptr, nullptr);
    g_main_context_pop_thread_default(context.get());
    const Handle<GBytes> output(wait.output);
    const Handle<GError> error(wait.error);
    if (endedByUs) {
        result.failure = "ended after " + std::to_string(timeout.count()) + " ms";
        return result;
    }
    if (error) {
        result.failure = error->message;
        return result;
    }
    result.ran = true;
    result.waitStatus = g_subprocess_get_status(process.get());
    if (output) {
        gsize size = 0;
        const auto* bytes = static_cast<const char*>(g_bytes_get_data(output.get(), &size));
        result.output.assign(bytes != nullptr ? bytes : "", size);
    }
    return result;
}

CommandResult runCommand(const std::string& line, std::chrono::milliseconds timeout,
                         const std::filesystem::path& folder) {
    char** raw = nullptr;
    GError* rawError = nullptr;
    if (!g_shell_parse_argv(line.c_str(), nullptr, &raw, &rawError)) {
        const Handle<GError> error(rawError);
        CommandResult result;
        result.failure = error->message;
        return result;
    }
    const Handle<char*> argv(raw);
    return runCommand(std::vector<std::string>(argv.get(), argv.get() + g_strv_length(argv.get())), timeout,
                      folder);
}

std::string commandOutput(const std::string& line, std::chrono::milliseconds timeout) {
    return runCommand(line, timeout).output;
}

std::optional<ProcessEntry> parseStat(std::string_view stat) {
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    ProcessEntry entry;
    std::istringstream head(std::string(stat.substr(0, open)));
    std::istringstream rest(std::string(stat.substr(close + 1)));
    long pid = 0;
    long parent = 0;
    if (!(head >> pid) || !(rest >> entry.state >> parent) || pid <= 0) {
        return std::nullopt;
    }
    entry.pid = static_cast<pid_t>(pid);
    entry.parent = static_cast<pid_t>(parent);
    entry.name = std::string(stat.substr(open + 1, close - open - 1));
    return entry;
}

std::map<pid_t, ProcessEntry> processTable() {
    std::map<pid_t, ProcessEntry> table;
    std::error_code ignored;
    for (const auto& dir : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = dir.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(dir.path() / "stat", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (const auto entry = parseStat(text.str())) {
            table.emplace(entry->pid, *entry);
        }
    }
    return table;
}

std::vector<pid_t> descendantsOf(pid_t pid, const std::map<pid_t, ProcessEntry>& table) {
    std::multimap<pid_t, pid_t> children;
    for (const auto& [child, entry] : table) {
        children.emplace(entry.parent, child);
    }
    std::vector<pid_t> found;
    for (std::vector<pid_t> queue{pid}; !queue.empty();) {
        const pid_t next = queue.back();
        queue.pop_back();
        const auto [from, to] = children.equal_range(next);
        for (auto it = from; it != to; ++it) {
            found.push_back(it->second);
            queue.push_back(it->second);
        }
    }
    return found;
}

} // namespace vorlia::test
