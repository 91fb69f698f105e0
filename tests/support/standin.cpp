#include "support/standin.hpp"

#include "app/build_constants.hpp"
#include "app/builtin.hpp"
#include "base/files.hpp"
#include "demo/route.hpp"

#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vorlia::test {

namespace {

// Reads the stand-in's first line (its ports). A program that never gets
// there is a broken build, not a slow machine: the wait is generous.
std::string firstLine(int fd, pid_t pid) {
    std::string line;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < giveUp) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char c = 0;
            const ssize_t n = read(fd, &c, 1);
            if (n <= 0) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        } else if (waitpid(pid, nullptr, WNOHANG) == pid) {
            break;
        }
    }
    throw std::runtime_error("the stand-in hosts did not start: " + line);
}

} // namespace

std::filesystem::path StandIn::program() {
    return VORLIA_STANDIN_PROGRAM;
}

StandIn::StandIn(StandInOptions options)
    : gameHost_(options.gameHost.empty() ? build::gameHost : options.gameHost),
      siteHost_(options.siteHost.empty() ? build::siteHost : options.siteHost) {
    std::filesystem::create_directories(scratch());
    log_ = folder_ / "requests.log";
    certificate_ =
        options.certificate.empty() ? std::filesystem::path(VORLIA_STANDIN_CERT_FILE) : options.certificate;

    std::vector<std::string> args{program().string(), "--game-host", gameHost_,    "--site-host",
                                  siteHost_,          "--log",       log_.string()};
    if (!options.siteDir.empty()) {
        args.insert(args.end(), {"--site-dir", options.siteDir.string()});
    }
    if (!options.gameDir.empty()) {
        args.insert(args.end(), {"--game-dir", options.gameDir.string()});
    }
    if (!options.certificate.empty()) {
        args.insert(args.end(), {"--cert", options.certificate.string(), "--key", options.key.string()});
    }
    for (const auto& fault : options.faults) {
        args.insert(args.end(), {"--fault", fault});
    }
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) {
        throw std::runtime_error("cannot make a pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        std::filesystem::remove_all(folder_);
        throw std::runtime_error("cannot start " + args[0]);
    }
    try {
        const auto ports = nlohmann::json::parse(firstLine(fds[0], pid_));
        httpsPort_ = ports.at("https").get<int>();
        proxyPort_ = ports.at("proxy").get<int>();
    } catch (...) {
        close(fds[0]);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        std::filesystem::remove_all(folder_);
        throw;
    }
    close(fds[0]);
}

StandIn::~StandIn() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

std::string StandIn::proxyURL() const {
    return "http://127.0.0.1:" + std::to_string(proxyPort_);
}

std::string StandIn::certificatePEM() const {
    return vorlia::readFile(certificate_).value_or("");
}

Config StandIn::config() const {
    const auto home = folder_ / ("config-" + std::to_string(++configs_));
    Config c =
        configFor(gameHost_, siteHost_, "1.0.0", Folders{home / "data", home / "cache", home / "state"});
    for (const auto& f : {c.folders.data, c.folders.cache, c.folders.state}) {
        std::filesystem::create_directories(f);
    }
    auto route = demo::makeStandInRoute(proxyURL(), certificatePEM());
    if (!route) {
        throw std::runtime_error(route.error());
    }
    c.route = std::move(*route);
    return c;
}

std::vector<nlohmann::json> StandIn::requests() const {
    std::vector<nlohmann::json> lines;
    std::istringstream text(vorlia::readFile(log_).value_or(""));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty()) {
            lines.push_back(nlohmann::json::parse(line, nullptr, false));
        }
    }
    return lines;
}

} // namespace vorlia::test
