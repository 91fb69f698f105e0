// Starts the launcher and Chromium in app mode in turns against the stand-in
// game host and reports, for each run, the time from process start to the
// start page's load event (stamped by the stand-in when the page reports it)
// and the proportional set size of every process the run started, once the
// page has settled.
//
// This process makes itself a child subreaper, so helpers that detach from
// their parent (Chromium's crash handler, for one) stay in the tree it
// measures and stops. It starts nothing else, which makes "every descendant"
// exactly "every process the run started".

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

volatile std::sig_atomic_t interrupted = 0;

struct Options {
    fs::path requests; // the stand-in's request log
    fs::path work;     // fresh profiles are made and removed under it
    std::string launcher;
    std::string chromium;
    std::string proxy;
    std::string certificate;
    std::string spki;
    std::string startURL;
    std::string windowSize = "1280,800";
    int pairs = 5;
    int warmups = 1;
    double settleSeconds = 3;
    double timeoutSeconds = 60;
    fs::path json;
};

struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

struct Run {
    std::string label;
    std::string browser;
    bool ok = false;
    std::string failure;
    double pageMs = 0; // the start page served
    double loadMs = 0;
    double pssMiB = 0;
    int processes = 0;
    std::map<std::string, double> pssByName; // MiB
};

double wallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lastLines(const std::string& text, int count) {
    std::size_t from = text.size();
    for (int seen = 0; from > 0 && seen <= count;) {
        if (text[--from] == '\n') {
            ++seen;
        }
    }
    return text.substr(from == 0 ? 0 : from + 1);
}

// --- the process tree --------------------------------------------------------

std::optional<pid_t> parentOf(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces and parentheses; the fields after it do not.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(rest >> state >> parent)) {
        return std::nullopt;
    }
    return static_cast<pid_t>(parent);
}

// Every living descendant of this process.
std::vector<pid_t> descendants() {
    std::multimap<pid_t, pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc", fs::directory_options::skip_permission_denied)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        if (const auto parent = parentOf(pid)) {
            children.emplace(*parent, pid);
        }
    }
    std::vector<pid_t> found;
    std::vector<pid_t> queue{getpid()};
    while (!queue.empty()) {
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

// Proportional set size in KiB, or nothing for a process that is gone or a zombie.
std::optional<long> pssKiB(pid_t pid) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Pss:", 0) == 0) {
            return std::stol(line.substr(4));
        }
    }
    return std::nullopt;
}

std::string commandName(pid_t pid) {
    std::string name = readFile("/proc/" + std::to_string(pid) + "/comm");
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) {
        name.pop_back();
    }
    return name;
}

void reapAll() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Asks the whole tree to stop, then makes sure of it.
void stopTree() {
    for (pid_t pid : descendants()) {
        kill(pid, SIGTERM);
    }
    const auto giveUp = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < giveUp) {
        reapAll();
        if (descendants().empty()) {
            return;
        }
        std::this_thread::sleep_for(50ms);
    }
    for (int round = 0; round < 20; ++round) {
        const auto left = descendants();
        if (left.empty()) {
            return;
        }
        for (pid_t pid : left) {
            kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(50ms);
        reapAll();
    }
    std::cerr << "startup-memory: some processes outlived SIGKILL\n";
}

// --- the stand-in's request log ----------------------------------------------

// The first line at or after offset for method and path with its time no earlier than since.
std::optional<nlohmann::json> logged(const fs::path& log, std::uintmax_t offset, const std::string& method,
                                     const std::string& path, double since) {
    std::ifstream in(log, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    for (std::string line; std::getline(in, line);) {
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_object() && entry.value("path", "") == path && entry.value("method", "") == method &&
            entry.value("time", 0.0) >= since) {
            return entry;
        }
    }
    return std::nullopt;
}

// --- one run -------------------------------------------------------------------

std::vector<std::string> withEnvironment(const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        const bool replaced =
            std::any_of(settings.begin(), settings.end(), [&](const auto& s) { return s.first == name; });
        if (!replaced) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : settings) {
        env.push_back(name + "=" + value);
    }
    return env;
}

// A fresh home: nothing cached, no saved window, no earlier profile.
std::vector<std::pair<std::string, std::string>> freshHome(const fs::path& profile) {
    return {
        {"HOME", (profile / "home").string()},
        {"XDG_CONFIG_HOME", (profile / "config").string()},
        {"XDG_DATA_HOME", (profile / "data").string()},
        {"XDG_CACHE_HOME", (profile / "cache").string()},
        {"XDG_STATE_HOME", (profile / "state").string()},
    };
}

Command launcherCommand(const Options& o, const fs::path& profile) {
    auto settings = freshHome(profile);
    settings.emplace_back("VORLIA_STANDIN_PROXY", o.proxy);
    settings.emplace_back("VORLIA_STANDIN_CERT", o.certificate);
    return {{o.launcher}, withEnvironment(settings)};
}

Command chromiumCommand(const Options& o, const fs::path& profile) {
    std::vector<std::string> argv{o.chromium};
    if (geteuid() == 0) {
        argv.emplace_back("--no-sandbox"); // Chromium refuses to start as root otherwise
    }
    const std::vector<std::string> flags{
        "--user-data-dir=" + (profile / "chromium").string(),
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--disable-quic",
        "--proxy-server=" + o.proxy,
        // No name is looked up: everything goes to the stand-in's proxy on loopback.
        "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        "--ignore-certificate-errors-spki-list=" + o.spki,
        "--window-size=" + o.windowSize,
        "--app=" + o.startURL,
    };
    argv.insert(argv.end(), flags.begin(), flags.end());
    return {argv, withEnvironment(freshHome(profile))};
}

pid_t start(const Command& command, const fs::path& output) {
    std::vector<char*> argv;
    for (const auto& a : command.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> env;
    for (const auto& e : command.env) {
        env.push_back(const_cast<char*>(e.c_str()));
    }
    env.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        execve(argv[0], argv.data(), env.data());
        _exit(127);
    }
    return pid;
}

bool waitFor(const std::function<bool()>& done, double seconds, pid_t pid, std::string& failure) {
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < giveUp) {
        if (interrupted != 0) {
            failure = "interrupted";
            return false;
        }
        if (done()) {
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            failure = "the program exited early";
            return false;
        }
        std::this_thread::sleep_for(25ms);
    }
    failure = "timed out";
    return false;
}

Run runOnce(const Options& o, const std::string& browser, const std::string& label, int number) {
    Run run;
    run.label = label;
    run.browser = browser;
    const fs::path profile = o.work / ("run-" + std::to_string(number) + "-" + browser);
    fs::remove_all(profile);
    for (const char* sub : {"home", "config", "data", "cache", "state"}) {
        fs::create_directories(profile / sub);
    }
    const Command command = browser == "launcher" ? launcherCommand(o, profile) : chromiumCommand(o, profile);
    std::error_code ignored;
    const std::uintmax_t offset = fs::exists(o.requests) ? fs::file_size(o.requests, ignored) : 0;

    const double started = wallClock();
    const fs::path output = o.work / ("run-" + std::to_string(number) + "-" + browser + ".log");
    const pid_t pid = start(command, output);
    if (pid < 0) {
        run.failure = std::string("cannot start: ") + std::strerror(errno);
        return run;
    }

    std::optional<nlohmann::json> loaded;
    if (waitFor(
            [&] {
                return (loaded = logged(o.requests, offset, "POST", "/act_web_tiyan/loaded", started))
                    .has_value();
            },
            o.timeoutSeconds, pid, run.failure)) {
        run.loadMs = (loaded->value("time", 0.0) - started) * 1000.0;
        // Splits the wait into starting up and loading the page.
        if (const auto page = logged(o.requests, offset, "GET", "/act_web_tiyan/index.html", started)) {
            run.pageMs = (page->value("time", 0.0) - started) * 1000.0;
        }
        // Settled: the page has finished its own checks (or given up on them), then a quiet moment.
        std::string notYet;
        waitFor(
            [&] { return logged(o.requests, offset, "POST", "/act_web_tiyan/report", started).has_value(); },
            20, pid, notYet);
        std::this_thread::sleep_for(std::chrono::duration<double>(o.settleSeconds));
        long total = 0;
        for (pid_t p : descendants()) {
            if (const auto kib = pssKiB(p)) {
                total += *kib;
                run.pssByName[commandName(p)] += static_cast<double>(*kib) / 1024.0;
                ++run.processes;
            }
        }
        run.pssMiB = static_cast<double>(total) / 1024.0;
        run.ok = run.processes > 0 && interrupted == 0;
        if (interrupted != 0) {
            run.failure = "interrupted";
        }
    }
    stopTree();
    if (!run.ok && interrupted == 0) {
        // What the program said last is usually why it never showed the page.
        std::cerr << "--- last output of " << browser << ":\n" << lastLines(readFile(output), 15) << "---\n";
    }
    fs::remove_all(profile, ignored);
    fs::remove(output, ignored);
    return run;
}

// --- figures -------------------------------------------------------------------

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

void printRun(const Run& r) {
    std::printf("%-9s %-9s ", r.label.c_str(), r.browser.c_str());
    if (!r.ok) {
        std::printf("FAILED: %s\n", r.failure.c_str());
    } else {
        std::string parts;
        for (const auto& [name, mib] : r.pssByName) {
            parts += (parts.empty() ? "" : ", ") + name + " " + fixed(mib, 1);
        }
        std::printf("page served %5.0f ms, load event %5.0f ms   memory %6.1f MiB in %2d processes (%s)\n",
                    r.pageMs, r.loadMs, r.pssMiB, r.processes, parts.c_str());
    }
    std::fflush(stdout);
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    const std::map<std::string, std::function<void(const std::string&)>> setters{
        {"--requests", [&](const std::string& v) { o.requests = v; }},
        {"--work", [&](const std::string& v) { o.work = v; }},
        {"--launcher", [&](const std::string& v) { o.launcher = v; }},
        {"--chromium", [&](const std::string& v) { o.chromium = v; }},
        {"--proxy", [&](const std::string& v) { o.proxy = v; }},
        {"--cert", [&](const std::string& v) { o.certificate = v; }},
        {"--spki", [&](const std::string& v) { o.spki = v; }},
        {"--start-url", [&](const std::string& v) { o.startURL = v; }},
        {"--window-size", [&](const std::string& v) { o.windowSize = v; }},
        {"--pairs", [&](const std::string& v) { o.pairs = std::stoi(v); }},
        {"--warmups", [&](const std::string& v) { o.warmups = std::stoi(v); }},
        {"--settle", [&](const std::string& v) { o.settleSeconds = std::stod(v); }},
        {"--timeout", [&](const std::string& v) { o.timeoutSeconds = std::stod(v); }},
        {"--json", [&](const std::string& v) { o.json = v; }},
    };
    try {
        for (int i = 1; i < argc; i += 2) {
            const auto setter = setters.find(argv[i]);
            if (setter == setters.end() || i + 1 >= argc) {
                std::cerr << "startup-memory: unknown or incomplete option " << argv[i] << "\n";
                return std::nullopt;
            }
            setter->second(argv[i + 1]);
        }
    } catch (const std::exception&) {
        std::cerr << "startup-memory: bad number in the options\n";
        return std::nullopt;
    }
    if (o.requests.empty() || o.work.empty() || o.launcher.empty() || o.chromium.empty() || o.proxy.empty() ||
        o.certificate.empty() || o.spki.empty() || o.startURL.empty() || o.pairs < 1 || o.pairs > 50 ||
        o.warmups < 0 || o.warmups > 5 || o.settleSeconds < 0 || o.settleSeconds > 60 ||
        o.timeoutSeconds <= 0 || o.timeoutSeconds > 300) {
        std::cerr << "startup-memory: missing or out-of-range options\n";
        return std::nullopt;
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const auto options = parse(argc, argv);
    if (!options) {
        return 2;
    }
    const Options& o = *options;
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::cerr << "startup-memory: cannot become a subreaper: " << std::strerror(errno) << "\n";
        return 1;
    }
    struct sigaction onStop {};
    onStop.sa_handler = [](int) { interrupted = 1; };
    sigaction(SIGINT, &onStop, nullptr);
    sigaction(SIGTERM, &onStop, nullptr);
    fs::create_directories(o.work);

    // A B A B: each pair shares the machine's state as closely as turns allow.
    const std::vector<std::string> browsers{"launcher", "chromium"};
    int number = 0;
    for (int w = 1; w <= o.warmups && interrupted == 0; ++w) {
        for (const auto& browser : browsers) {
            printRun(runOnce(o, browser, "warm-up", ++number));
        }
    }
    std::vector<std::pair<Run, Run>> pairs;
    for (int p = 1; p <= o.pairs && interrupted == 0; ++p) {
        const std::string label = "pair " + std::to_string(p);
        Run a = runOnce(o, browsers[0], label, ++number);
        printRun(a);
        if (interrupted != 0) {
            break;
        }
        Run b = runOnce(o, browsers[1], label, ++number);
        printRun(b);
        pairs.emplace_back(std::move(a), std::move(b));
    }
    stopTree();
    if (interrupted != 0) {
        std::cerr << "startup-memory: interrupted\n";
        return 130;
    }

    std::vector<double> loadA, loadB, memA, memB, loadRatio, memRatio;
    for (const auto& [a, b] : pairs) {
        if (!a.ok || !b.ok) {
            continue;
        }
        loadA.push_back(a.loadMs);
        loadB.push_back(b.loadMs);
        memA.push_back(a.pssMiB);
        memB.push_back(b.pssMiB);
        loadRatio.push_back(a.loadMs / b.loadMs);
        memRatio.push_back(a.pssMiB / b.pssMiB);
    }
    if (loadRatio.empty()) {
        std::cerr << "startup-memory: no pair completed\n";
        return 1;
    }
    std::printf("\n%-22s %12s %12s\n", "", "launcher", "chromium");
    std::printf("%-22s %12.0f %12.0f\n", "median load (ms)", median(loadA), median(loadB));
    std::printf("%-22s %12.1f %12.1f\n", "median memory (MiB)", median(memA), median(memB));
    std::printf("\nlauncher/chromium, pair by pair\n");
    for (size_t i = 0; i < loadRatio.size(); ++i) {
        std::printf("  pair %zu: load %.2f   memory %.2f\n", i + 1, loadRatio[i], memRatio[i]);
    }
    std::printf("  median: load %.2f   memory %.2f\n", median(loadRatio), median(memRatio));

    if (!o.json.empty()) {
        nlohmann::json out = {
            {"pairs", loadRatio.size()},
            {"launcher", {{"loadMs", median(loadA)}, {"memoryMiB", median(memA)}}},
            {"chromium", {{"loadMs", median(loadB)}, {"memoryMiB", median(memB)}}},
            {"ratio", {{"load", loadRatio}, {"memory", memRatio}}},
            {"medianRatio", {{"load", median(loadRatio)}, {"memory", median(memRatio)}}},
        };
        std::ofstream(o.json) << out.dump(2) << "\n";
    }
    const bool complete = static_cast<int>(loadRatio.size()) == o.pairs;
    if (!complete) {
        std::cerr << "startup-memory: " << (o.pairs - static_cast<int>(loadRatio.size()))
                  << " pair(s) did not complete\n";
    }
    return complete ? 0 : 1;
}
