// The update check through the demo route: the real libsoup session on its own
// thread, over HTTPS through the stand-in's proxy to the stand-in site host.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "support/loopback_site.hpp"
#include "support/standin.hpp"
#include "update/updater.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace vorlia {
namespace {

using namespace test;

class NoticeCounter : public Alerts {
  public:
    void show(const Alert& alert, std::function<void(int)>) override { shown.push_back(alert); }
    std::vector<Alert> shown;
};

class SiteFolder {
  public:
    SiteFolder() {
        char* made = g_dir_make_tmp("vorlia-site-XXXXXX", nullptr);
        path_ = made;
        g_free(made);
        std::filesystem::create_directories(path_ / "download");
    }
    ~SiteFolder() { std::filesystem::remove_all(path_); }
    void publish(const std::string& manifest, const std::string& signature) {
        std::ofstream(path_ / "download" / "version.json", std::ios::binary) << manifest;
        std::ofstream(path_ / "download" / "version.json.sig", std::ios::binary) << signature;
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string offering(const Config& config, const std::string& version) {
    return "{\"" + std::string(platformEntryKey) + "\": {\"version\": \"" + version + "\", \"url\": \"" +
           config.updateBaseURL + "Vorlia-" + version + ".zip\", \"sha256\": \"00\", \"size\": 2500000}}\n";
}

struct Outcome {
    CheckEnd end;
    std::vector<Alert> shown;
    std::vector<nlohmann::json> requests;
};

// One check through a fresh stand-in that serves the site folder.
Outcome checkAgainst(const SiteFolder& site, std::vector<std::string> faults, bool userInitiated) {
    testing::StandInOptions options;
    options.siteDir = site.path();
    options.faults = std::move(faults);
    testing::StandIn hosts(options);
    Config config = hosts.config();
    config.timing.updaterIOTimeout = 1s;
    NoticeCounter alerts;
    std::optional<CheckEnd> end;
    {
        Updater updater(updateSettings(config, demo::standInHooks(config)), alerts,
                        [] { ADD_FAILURE() << "terminated"; });
        updater.signalCheckEnded().connect([&](CheckEnd e) { end = e; });
        updater.check(userInitiated);
        EXPECT_TRUE(spinUntil([&] { return end.has_value(); }, 30s));
    }
    std::vector<nlohmann::json> served; // without the proxy's CONNECT lines
    for (const auto& r : hosts.requests()) {
        if (r.value("listener", "") == "https") {
            served.push_back(r);
        }
    }
    return Outcome{end.value_or(CheckEnd::silent), alerts.shown, served};
}

TEST(UpdateCheckThroughStandIn, FindsANewerSignedVersionWithBothRequestsInOrder) {
    SiteFolder site;
    const Config probe = testing::StandIn().config();
    const std::string manifest = offering(probe, "1.2");
    site.publish(manifest, signWithDevKey(manifest));

    const Outcome outcome = checkAgainst(site, {}, false);
    EXPECT_EQ(outcome.end, CheckEnd::prompt);
    ASSERT_EQ(outcome.shown.size(), 1u);
    EXPECT_EQ(outcome.shown[0].message, "New version 1.2 available");
    EXPECT_EQ(outcome.shown[0].detail, "Update now? The launcher restarts by itself (about 2 MB).");

    ASSERT_EQ(outcome.requests.size(), 2u) << nlohmann::json(outcome.requests).dump();
    EXPECT_EQ(outcome.requests[0]["path"], "/download/version.json");
    EXPECT_EQ(outcome.requests[1]["path"], "/download/version.json.sig");
    EXPECT_EQ(outcome.requests[0]["host"], probe.siteHost);
    EXPECT_EQ(outcome.requests[0]["method"], "GET");
    EXPECT_EQ(outcome.requests[0]["query"], outcome.requests[1]["query"]);
    EXPECT_TRUE(outcome.requests[0]["query"].get<std::string>().starts_with("t="));
}

TEST(UpdateCheckThroughStandIn, FailuresOfTheSiteEndLikeNotNewer) {
    SiteFolder site;
    const Config probe = testing::StandIn().config();
    const std::string manifest = offering(probe, "1.2");
    site.publish(manifest, signWithDevKey(manifest));
    const std::vector<std::string> faultSets[] = {
        {"/download/version.json=404", "/download/version.json.sig=404"},
        {"/download/version.json.sig=404"},
        {"/download/version.json=500"},
        {"/download/version.json=cut"},
        {"/download/version.json.sig=206"},
        {"/download/version.json=stall", "/download/version.json.sig=stall"},
    };
    for (const auto& faults : faultSets) {
        SCOPED_TRACE(faults.front());
        const Outcome asked = checkAgainst(site, faults, true);
        EXPECT_EQ(asked.end, CheckEnd::latestVersionNotice);
        ASSERT_EQ(asked.shown.size(), 1u);
        EXPECT_EQ(asked.shown[0].detail, "You have the latest version (1.0.0).");
        EXPECT_EQ(checkAgainst(site, faults, false).end, CheckEnd::silent);
    }
}

} // namespace
} // namespace vorlia
