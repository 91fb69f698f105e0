// The stand-in game and site hosts, started for one test.
//
//   vorlia::test::StandInOptions options;
//   options.siteDir = folder;                    // optional; see below
//   options.faults = {"/download/a.zip=cut"};    // optional
//   vorlia::test::StandIn hosts(options);
//   vorlia::Config config = hosts.config();      // routed to the stand-in, fresh folders
//   ... run the launcher's code with config ...
//   auto log = hosts.requests();                 // one JSON object per request served
//
// The program runs until the StandIn is destroyed (SIGTERM, then waited for).
// Site files are served byte for byte from siteDir ("/download/version.json"
// is siteDir/download/version.json); without one the site has no downloads.
// Faults map a request path to a status ("404"), "206" (half the body),
// "cut" (the connection closes mid-body) or "stall" (no more bytes).
#pragma once

#include "app/config.hpp"
#include "support/temp_folder.hpp"

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vorlia::test {

struct StandInOptions {
    std::filesystem::path siteDir;     // empty: no site files
    std::filesystem::path gameDir;     // empty: the built-in game pages
    std::vector<std::string> faults;   // "PATH=KIND"
    std::string gameHost;              // empty: the build's
    std::string siteHost;              // empty: the build's
    std::filesystem::path certificate; // with key: for other host names; empty: the build's
    std::filesystem::path key;
};

class StandIn {
  public:
    explicit StandIn(StandInOptions options = {});
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    int httpsPort() const { return httpsPort_; }
    int proxyPort() const { return proxyPort_; }
    std::string proxyURL() const;
    std::filesystem::path certificateFile() const { return certificate_; }
    std::string certificatePEM() const;
    std::string gameHost() const { return gameHost_; }
    std::string siteHost() const { return siteHost_; }

    // A configuration routed to these hosts: their host names, the built-in
    // token key and manifest key, launcher version "1.0.0", and fresh data,
    // cache and state folders of its own.
    Config config() const;

    // The requests served so far, oldest first, one JSON object each (keys
    // "listener", "method", "host", "path", "query", "status", and "token" on
    // gated paths: "accepted", "refused" or "missing").
    std::vector<nlohmann::json> requests() const;

    // A folder removed with the StandIn, for the test's own files.
    std::filesystem::path scratch() const { return folder_ / "scratch"; }

    // The stand-in program built with the tests.
    static std::filesystem::path program();

  private:
    TempFolder temp_; // removed once the program has ended
    std::filesystem::path folder_ = temp_.path();
    std::filesystem::path log_;
    std::filesystem::path certificate_;
    std::string gameHost_;
    std::string siteHost_;
    pid_t pid_ = -1;
    int httpsPort_ = 0;
    int proxyPort_ = 0;
    mutable int configs_ = 0;
};

} // namespace vorlia::test
