// Starts the launcher and Chromium in app mode against the stand-in game host
// and reports, for each run, from the process start (taken here on the wall
// clock, in milliseconds since the epoch):
//   - the first frame: the first moment one of its windows is on screen and
//     shows more than one colour, and the first moment the page itself shows
//     in it (first_frame.hpp);
//   - the load event: stamped by the page itself on the same clock
//     (performance.timeOrigin + performance.now()) and sent to the stand-in,
//     so that how long that report takes to arrive does not count;
//   - the proportional set size of every process the run started, once the
//     page has settled, and how many WebKit or Chromium processes that this
//     run did not start were alive then (they share pages with the run's own
//     and so lower its figure).
// Each contestant starts twice on one profile: cold (fresh) and warm (the
// same profile again, right after).
//
// This process makes itself a child subreaper, so helpers that detach from
// their parent (Chromium's crash handler, for one) stay in the tree it
// measures and stops. It starts nothing else, which makes "every descendant"
// exactly "every process the run started".

#include "first_frame.hpp"
#include "support/median.hpp"
#include "support/process.hpp"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace test = vorlia::test;
using namespace std::chrono_literals;

volatile std::sig_atomic_t interrupted = 0;

struct Options {
    fs::path requests; // the stand-in's request log
    fs::path work;     // profiles are made and removed under it
    std::string launcher;
    std::string chromium;
    std::string chromiumVersion;
    std::string commit;
    std::string proxy;
    std::string certificate;
    std::string spki;
    std::string startURL;
    std::string windowSize = "1280,800";
    int pairs = 7;
    int warmups = 1;
    double settleSeconds = 3;
    double timeoutSeconds = 60;
    fs::path json;
    fs::path frames; // where the first pair's first frames are saved, when given
};

struct Run {
    std::string browser; // "launcher" or "chromium"
    std::string start;   // "cold" or "warm"
    std::string label;   // "warm-up", "pair 3"
    bool ok = false;
    std::string failure;
    double startedAt = 0; // ms since the epoch
    double loadAvg = 0;   // the machine's one-minute load average at the start
    double firstFrameMs = 0;
    double pagePaintedMs = 0;
    double pageMs = 0; // the start page served, by the stand-in's clock
    double loadMs = 0;
    double pssMiB = 0;
    int processes = 0;
    int foreign = 0; // WebKit or Chromium processes this run did not start, alive at the measurement
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

double loadAverage() {
    double one = 0;
    std::istringstream(readFile("/proc/loadavg")) >> one;
    return one;
}

// --- the process tree --------------------------------------------------------

// Every living descendant of this process.
std::vector<pid_t> descendants(const std::map<pid_t, test::ProcessEntry>& table) {
    return test::descendantsOf(getpid(), table);
}

std::vector<pid_t> descendants() {
    return descendants(test::processTable());
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

// WebKit's helper processes, and Chromium's (whose every process carries the
// browser's program name, or its crash handler's).
bool isBrowserProcess(const test::ProcessEntry& entry) {
    if (entry.state == 'Z') {
        return false; // a zombie holds no memory
    }
    const std::string& name = entry.name;
    if (name.rfind("WebKit", 0) == 0 || name == "chromium" || name == "chrome" ||
        name.rfind("chrome_crashpad", 0) == 0) {
        return true;
    }
    const std::string commandLine = readFile("/proc/" + std::to_string(entry.pid) + "/cmdline");
    const std::string program = commandLine.substr(0, commandLine.find('\0'));
    return program.find("/chromium/") != std::string::npos;
}

int foreignBrowserProcesses(const std::map<pid_t, test::ProcessEntry>& table,
                            const std::vector<pid_t>& ours) {
    const std::set<pid_t> mine(ours.begin(), ours.end());
    int count = 0;
    for (const auto& [pid, entry] : table) {
        if (pid != getpid() && mine.count(pid) == 0 && isBrowserProcess(entry)) {
            ++count;
        }
    }
    return count;
}

// Reaps the orphans this subreaper adopted once they end; the program it
// started itself is GLib's to reap (`started`).
void reapOrphans(pid_t started) {
    for (const auto& [pid, entry] : test::processTable()) {
        if (entry.parent == getpid() && entry.state == 'Z' && pid != started) {
            waitpid(pid, nullptr, WNOHANG);
        }
    }
}

bool treeGone(std::chrono::steady_clock::duration within, pid_t started) {
    const auto giveUp = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < giveUp) {
        reapOrphans(started);
        if (descendants().empty()) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// Asks the program to quit as a user's session would, so that it leaves its
// profile in order for the warm start; then the rest of the tree; then makes
// sure of it.
void stopTree(const test::Process* program) {
    const pid_t started = program != nullptr ? program->pid() : 0;
    if (program != nullptr && !program->ended()) {
        program->signal(SIGTERM);
        if (treeGone(10s, started)) {
            return;
        }
    }
    for (pid_t pid : descendants()) {
        kill(pid, SIGTERM);
    }
    if (treeGone(5s, started)) {
        return;
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
        reapOrphans(started);
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

// --- the programs --------------------------------------------------------------

std::vector<std::string> chromiumArguments(const Options& o, const fs::path& profile) {
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
    return argv;
}

// A contestant in a home of the run's own (nothing cached, no saved window,
// no earlier profile until the warm start finds the cold start's), its
// output to `output`; it dies with this process.
test::Process start(const Options& o, const std::string& browser, const fs::path& profile,
                    const fs::path& output) {
    if (browser == "launcher") {
        test::DemoLauncherOptions launcher;
        launcher.proxyURL = o.proxy;
        launcher.certificate = o.certificate;
        launcher.home = profile;
        launcher.program = o.launcher;
        launcher.output = output;
        launcher.endsWithThisThread = true;
        return test::startDemoLauncher(launcher);
    }
    test::ProcessOptions chromium;
    chromium.environment = test::environmentWith(test::privateHome(profile));
    chromium.output = output;
    chromium.endsWithThisThread = true;
    return test::Process(chromiumArguments(o, profile), chromium);
}

// --- one run -------------------------------------------------------------------

class Bench {
  public:
    Bench(const Options& options, FirstFrameWatch& screen) : o_(options), screen_(screen) {}

    // Both starts of one contestant: a fresh profile, then the same profile again.
    std::pair<Run, Run> coldAndWarm(const std::string& browser, const std::string& label, int number) {
        const fs::path profile = o_.work / ("profile-" + std::to_string(number) + "-" + browser);
        std::error_code ignored;
        fs::remove_all(profile, ignored);
        Run cold = runOnce(browser, "cold", label, profile);
        printRun(cold);
        Run warm;
        if (cold.ok && interrupted == 0) {
            warm = runOnce(browser, "warm", label, profile);
        } else {
            warm.browser = browser;
            warm.start = "warm";
            warm.label = label;
            warm.failure = interrupted != 0 ? "interrupted" : "the cold start failed";
        }
        printRun(warm);
        fs::remove_all(profile, ignored);
        return {std::move(cold), std::move(warm)};
    }

    static void printRun(const Run& r) {
        std::printf("%-9s %-8s %-4s ", r.label.c_str(), r.browser.c_str(), r.start.c_str());
        if (!r.ok) {
            std::printf("FAILED: %s\n", r.failure.c_str());
        } else {
            std::string parts;
            for (const auto& [name, mib] : r.pssByName) {
                parts += (parts.empty() ? "" : ", ") + name + " " + fixed(mib, 1);
            }
            const std::string shared =
                r.foreign > 0 ? "   memory not exclusive: " + std::to_string(r.foreign) + " foreign processes"
                              : "";
            std::printf(
                "first frame %5.0f ms, page served %5.0f ms, load event %5.0f ms, page painted %5.0f ms   "
                "memory %6.1f MiB in %2d processes (%s)   load average %.1f%s\n",
                r.firstFrameMs, r.pageMs, r.loadMs, r.pagePaintedMs, r.pssMiB, r.processes, parts.c_str(),
                r.loadAvg, shared.c_str());
        }
        std::fflush(stdout);
    }

    static std::string fixed(double value, int digits) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", digits, value);
        return text;
    }

  private:
    const Options& o_;
    FirstFrameWatch& screen_;
    int outputs_ = 0;

    // Polls done() until it holds, watching the screen meanwhile. False, with
    // the reason in failure, when the program ends first or time runs out.
    bool waitFor(const std::function<bool()>& done, double seconds, const test::Process& program,
                 std::string& failure) {
        const auto giveUp = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                std::chrono::duration<double>(seconds));
        while (true) {
            // Checked first: the interrupt may have ended the X server too.
            if (interrupted != 0) {
                failure = "interrupted";
                return false;
            }
            screen_.poll();
            if (done()) {
                return true;
            }
            if (program.ended()) {
                failure = "the program exited early";
                return false;
            }
            if (std::chrono::steady_clock::now() >= giveUp) {
                failure = "timed out after " + fixed(seconds, 0) + " s";
                return false;
            }
            // Woken as soon as the display reports drawing, so the first frame is stamped promptly.
            pollfd display{screen_.fileDescriptor(), POLLIN, 0};
            ::poll(&display, 1, 25);
        }
    }

    Run runOnce(const std::string& browser, const std::string& startKind, const std::string& label,
                const fs::path& profile) {
        Run run;
        run.browser = browser;
        run.start = startKind;
        run.label = label;
        if (interrupted != 0) {
            run.failure = "interrupted";
            return run;
        }
        if (!screen_.expectNewProgram(10)) {
            run.failure = "a window of an earlier run was still on screen after 10 s";
            return run;
        }
        std::error_code ignored;
        const std::uintmax_t offset = fs::exists(o_.requests) ? fs::file_size(o_.requests, ignored) : 0;
        const fs::path output = o_.work / ("output-" + std::to_string(++outputs_) + ".log");

        run.loadAvg = loadAverage();
        const double started = wallClock();
        run.startedAt = started * 1000.0;
        const test::Process program = start(o_, browser, profile, output);
        if (!program.started()) {
            run.failure = "cannot start: " + program.failure();
            return run;
        }
        measure(run, program, offset, started);
        stopTree(&program);
        if (!run.ok && interrupted == 0) {
            // What the program said last is usually why it never showed the page.
            std::cerr << "--- last output of " << browser << " (" << startKind << "):\n"
                      << lastLines(readFile(output), 15) << "---\n";
        }
        fs::remove(output, ignored);
        return run;
    }

    void measure(Run& run, const test::Process& program, std::uintmax_t offset, double started) {
        std::optional<nlohmann::json> loaded;
        if (!waitFor(
                [&] {
                    return (loaded = logged(o_.requests, offset, "POST", "/act_web_tiyan/loaded", started))
                        .has_value();
                },
                o_.timeoutSeconds, program, run.failure)) {
            run.failure = "no load event: " + run.failure;
            return;
        }
        const auto body = nlohmann::json::parse(loaded->value("body", ""), nullptr, false);
        const auto at = body.is_object() ? body.find("loadEventAt") : body.end();
        if (!body.is_object() || at == body.end() || !at->is_number()) {
            run.failure = "the page's load report carries no time of its own: " + loaded->dump();
            return;
        }
        run.loadMs = at->get<double>() - run.startedAt;
        if (const auto page = logged(o_.requests, offset, "GET", "/act_web_tiyan/index.html", started)) {
            run.pageMs = (page->value("time", 0.0) - started) * 1000.0;
        }
        // Settled: the page has finished its own checks (or given up on them), then a quiet moment.
        std::string notYet;
        waitFor(
            [&] { return logged(o_.requests, offset, "POST", "/act_web_tiyan/report", started).has_value(); },
            20, program, notYet);
        std::string stillRunning;
        if (!waitFor([] { return false; }, o_.settleSeconds, program, stillRunning) &&
            stillRunning.rfind("timed out", 0) != 0) {
            run.failure = "while settling: " + stillRunning;
            return;
        }
        const auto seen = screen_.poll();
        if (!seen.frame || !seen.page) {
            run.failure = !seen.frame ? "no frame on screen by the time the page had settled"
                                      : "the page never showed on screen";
            return;
        }
        run.firstFrameMs = *seen.frame * 1000.0 - run.startedAt;
        run.pagePaintedMs = *seen.page * 1000.0 - run.startedAt;
        const auto table = test::processTable();
        const auto ours = descendants(table);
        run.foreign = foreignBrowserProcesses(table, ours);
        long total = 0;
        for (pid_t p : ours) {
            if (const auto kib = pssKiB(p)) {
                total += *kib;
                run.pssByName[table.at(p).name] += static_cast<double>(*kib) / 1024.0;
                ++run.processes;
            }
        }
        run.pssMiB = static_cast<double>(total) / 1024.0;
        run.ok = run.processes > 0;
        if (!run.ok) {
            run.failure = "no process left to measure";
        }
        if (run.ok && !o_.frames.empty() && run.label == "pair 1") {
            fs::create_directories(o_.frames);
            const std::string name = run.label + " " + run.browser + " " + run.start;
            std::string file;
            std::transform(name.begin(), name.end(), std::back_inserter(file),
                           [](char c) { return c == ' ' ? '-' : c; });
            screen_.savePictures((o_.frames / file).string());
        }
    }
};

// --- figures -------------------------------------------------------------------

struct Pair {
    std::map<std::string, Run> runs; // by "launcher cold", "chromium warm", ...
};

struct Metric {
    const char* key;   // in the JSON
    const char* label; // in the table
    int digits;
    double (*value)(const Run&);
    bool (*counts)(const Run&) = nullptr; // only the pairs in which both runs pass this count, when given
};

const std::vector<Metric>& metrics() {
    static const std::vector<Metric> all{
        {"firstFrameMs", "first frame (ms)", 0, [](const Run& r) { return r.firstFrameMs; }},
        {"loadMs", "load event (ms)", 0, [](const Run& r) { return r.loadMs; }},
        {"pagePaintedMs", "page painted (ms)", 0, [](const Run& r) { return r.pagePaintedMs; }},
        {"memoryMiB", "memory (MiB)", 1, [](const Run& r) { return r.pssMiB; }},
        // Foreign WebKit processes share the launcher's library pages and lower its figure.
        {"exclusiveMemoryMiB", "memory, exclusive (MiB)", 1, [](const Run& r) { return r.pssMiB; },
         [](const Run& r) { return r.foreign == 0; }},
    };
    return all;
}

// One start kind's figures over the pairs in which both contestants completed it.
struct Summary {
    int pairs = 0;
    std::map<std::string, std::vector<double>> launcher, chromium, ratio; // by metric key
};

Summary summarize(const std::vector<Pair>& pairs, const std::string& startKind) {
    Summary s;
    for (const auto& m : metrics()) {
        s.launcher[m.key];
        s.chromium[m.key];
        s.ratio[m.key];
    }
    for (const auto& pair : pairs) {
        const Run& a = pair.runs.at("launcher " + startKind);
        const Run& b = pair.runs.at("chromium " + startKind);
        if (!a.ok || !b.ok) {
            continue;
        }
        ++s.pairs;
        for (const auto& m : metrics()) {
            if (m.counts != nullptr && !(m.counts(a) && m.counts(b))) {
                continue;
            }
            s.launcher[m.key].push_back(m.value(a));
            s.chromium[m.key].push_back(m.value(b));
            s.ratio[m.key].push_back(m.value(a) / m.value(b));
        }
    }
    return s;
}

// Figures in the JSON carry no more digits than they can mean.
double rounded(double value, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(value * scale) / scale;
}

nlohmann::json runJson(const Run& r) {
    nlohmann::json j = {
        {"browser", r.browser},
        {"start", r.start},
        {"label", r.label},
        {"ok", r.ok},
        {"startedAt", rounded(r.startedAt, 1)},
        {"loadAverage", r.loadAvg},
    };
    if (!r.ok) {
        j["failure"] = r.failure;
        return j;
    }
    j["firstFrameMs"] = rounded(r.firstFrameMs, 1);
    j["pageServedMs"] = rounded(r.pageMs, 1);
    j["loadMs"] = rounded(r.loadMs, 1);
    j["pagePaintedMs"] = rounded(r.pagePaintedMs, 1);
    j["memoryMiB"] = rounded(r.pssMiB, 2);
    j["processes"] = r.processes;
    for (const auto& [name, mib] : r.pssByName) {
        j["memoryByProcess"][name] = rounded(mib, 2);
    }
    j["foreignProcesses"] = r.foreign;
    j["memoryExclusive"] = r.foreign == 0;
    return j;
}

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    const std::map<std::string, std::function<void(const std::string&)>> setters{
        {"--requests", [&](const std::string& v) { o.requests = v; }},
        {"--work", [&](const std::string& v) { o.work = v; }},
        {"--launcher", [&](const std::string& v) { o.launcher = v; }},
        {"--chromium", [&](const std::string& v) { o.chromium = v; }},
        {"--chromium-version", [&](const std::string& v) { o.chromiumVersion = v; }},
        {"--commit", [&](const std::string& v) { o.commit = v; }},
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
        {"--save-frames", [&](const std::string& v) { o.frames = v; }},
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

void printSummaries(const std::map<std::string, Summary>& summaries) {
    std::printf("\nmedians over the pairs both completed; the ratio is the median of the pairs' ratios\n");
    std::printf("%-29s %10s %10s %18s\n", "", "launcher", "chromium", "launcher/chromium");
    for (const char* kind : {"cold", "warm"}) {
        const Summary& s = summaries.at(kind);
        for (const auto& m : metrics()) {
            const auto counted = s.ratio.at(m.key).size();
            const auto figure = [&](const std::vector<double>& values, int digits) {
                return counted == 0 ? std::string("-") : Bench::fixed(test::median(values), digits);
            };
            const std::string which =
                counted == static_cast<size_t>(s.pairs)
                    ? ""
                    : "   (" + std::to_string(counted) + " of " + std::to_string(s.pairs) + " pairs)";
            std::printf("%-29s %10s %10s %18s%s\n", (std::string(kind) + " " + m.label).c_str(),
                        figure(s.launcher.at(m.key), m.digits).c_str(),
                        figure(s.chromium.at(m.key), m.digits).c_str(), figure(s.ratio.at(m.key), 2).c_str(),
                        which.c_str());
        }
    }
    std::printf("\nlauncher/chromium, pair by pair (first frame, load event, page painted, memory)\n");
    const Summary& cold = summaries.at("cold");
    const Summary& warm = summaries.at("warm");
    for (size_t i = 0; i < std::max(cold.ratio.at("loadMs").size(), warm.ratio.at("loadMs").size()); ++i) {
        std::string line = "  " + std::to_string(i + 1) + ":";
        for (const auto& [kind, s] : {std::pair{"cold", &cold}, std::pair{"warm", &warm}}) {
            if (i < s->ratio.at("loadMs").size()) {
                line += std::string("  ") + kind + " " + Bench::fixed(s->ratio.at("firstFrameMs")[i], 2) +
                        " " + Bench::fixed(s->ratio.at("loadMs")[i], 2) + " " +
                        Bench::fixed(s->ratio.at("pagePaintedMs")[i], 2) + " " +
                        Bench::fixed(s->ratio.at("memoryMiB")[i], 2);
            }
        }
        std::printf("%s\n", line.c_str());
    }
    std::printf("median: load %.2f memory %.2f\n", test::median(cold.ratio.at("loadMs")),
                test::median(cold.ratio.at("memoryMiB")));
    std::printf("median warm: load %.2f memory %.2f\n", test::median(warm.ratio.at("loadMs")),
                test::median(warm.ratio.at("memoryMiB")));
    std::printf("median first frame: cold %.2f warm %.2f\n", test::median(cold.ratio.at("firstFrameMs")),
                test::median(warm.ratio.at("firstFrameMs")));
    std::printf("median page painted: cold %.2f warm %.2f\n", test::median(cold.ratio.at("pagePaintedMs")),
                test::median(warm.ratio.at("pagePaintedMs")));
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
    std::string why;
    const auto screen = FirstFrameWatch::open(why);
    if (!screen) {
        std::cerr << "startup-memory: " << why << "\n";
        return 1;
    }
    struct sigaction onStop {};
    onStop.sa_handler = [](int) { interrupted = 1; };
    sigaction(SIGINT, &onStop, nullptr);
    sigaction(SIGTERM, &onStop, nullptr);
    // Whatever reads the output may go first on an interrupt; the tree must still be stopped.
    signal(SIGPIPE, SIG_IGN);
    fs::create_directories(o.work);

    const std::string date = utcNow();
    const double loadAtStart = loadAverage();
    Bench bench(o, *screen);
    std::vector<Run> all;
    int number = 0;
    for (int w = 1; w <= o.warmups && interrupted == 0; ++w) {
        for (const char* browser : {"launcher", "chromium"}) {
            auto [cold, warm] = bench.coldAndWarm(browser, "warm-up", ++number);
            all.push_back(std::move(cold));
            all.push_back(std::move(warm));
        }
    }
    // Each pair shares the machine's state as closely as turns allow; who goes
    // first alternates, so neither always meets what the other left behind.
    std::vector<Pair> pairs;
    for (int p = 1; p <= o.pairs && interrupted == 0; ++p) {
        Pair pair;
        const std::vector<std::string> order = p % 2 == 1 ? std::vector<std::string>{"launcher", "chromium"}
                                                          : std::vector<std::string>{"chromium", "launcher"};
        for (const auto& browser : order) {
            auto [cold, warm] = bench.coldAndWarm(browser, "pair " + std::to_string(p), ++number);
            pair.runs[browser + " cold"] = cold;
            pair.runs[browser + " warm"] = warm;
            all.push_back(std::move(cold));
            all.push_back(std::move(warm));
        }
        if (interrupted == 0) {
            pairs.push_back(std::move(pair));
        }
    }
    stopTree(nullptr);
    if (interrupted != 0) {
        screen->abandon();
        std::cerr << "startup-memory: interrupted\n";
        return 130;
    }

    const std::map<std::string, Summary> summaries{{"cold", summarize(pairs, "cold")},
                                                   {"warm", summarize(pairs, "warm")}};
    int foreignMost = 0;
    int notExclusive = 0;
    int measured = 0;
    for (const Run& r : all) {
        if (r.ok && r.label != "warm-up") {
            ++measured;
            foreignMost = std::max(foreignMost, r.foreign);
            notExclusive += r.foreign > 0 ? 1 : 0;
        }
    }
    const std::string memoryNote =
        notExclusive == 0
            ? "memory exclusive: no foreign WebKit or Chromium process in any run"
            : "memory not exclusive: " + std::to_string(foreignMost) + " foreign processes (at most; in " +
                  std::to_string(notExclusive) + " of " + std::to_string(measured) + " runs)";
    const bool anyPair = summaries.at("cold").pairs > 0 || summaries.at("warm").pairs > 0;
    if (anyPair) {
        printSummaries(summaries);
    }
    std::printf("%s\n", memoryNote.c_str());

    if (!o.json.empty()) {
        nlohmann::json runs = nlohmann::json::array();
        for (const Run& r : all) {
            runs.push_back(runJson(r));
        }
        nlohmann::json medians;
        for (const auto& [kind, s] : summaries) {
            nlohmann::json figures = {{"pairs", s.pairs}};
            for (const auto& m : metrics()) {
                figures["launcher"][m.key] = rounded(test::median(s.launcher.at(m.key)), 2);
                figures["chromium"][m.key] = rounded(test::median(s.chromium.at(m.key)), 2);
                figures["ratio"][m.key] = rounded(test::median(s.ratio.at(m.key)), 3);
                figures["pairsCounted"][m.key] = s.ratio.at(m.key).size();
                for (double ratio : s.ratio.at(m.key)) {
                    figures["pairRatios"][m.key].push_back(rounded(ratio, 3));
                }
            }
            medians[kind] = figures;
        }
        const nlohmann::json out = {
            {"date", date},
            {"chromium", o.chromiumVersion},
            {"commit", o.commit},
            {"pairsRequested", o.pairs},
            {"warmups", o.warmups},
            {"windowSize", o.windowSize},
            {"loadAverage", {{"start", loadAtStart}, {"end", loadAverage()}}},
            {"memoryExclusive", notExclusive == 0},
            {"foreignProcessesAtMost", foreignMost},
            {"memoryNote", memoryNote},
            {"cold", medians["cold"]},
            {"warm", medians["warm"]},
            {"runs", runs},
        };
        std::ofstream(o.json) << out.dump(2) << "\n";
    }
    if (!anyPair) {
        std::cerr << "startup-memory: no pair completed\n";
        return 1;
    }
    const int incomplete = o.pairs - std::min(summaries.at("cold").pairs, summaries.at("warm").pairs);
    if (incomplete > 0) {
        std::cerr << "startup-memory: " << incomplete << " pair(s) did not complete\n";
    }
    return incomplete == 0 ? 0 : 1;
}
