// The update check through the demo route: the flow's real libsoup session,
// from its worker threads, over HTTPS through the stand-in's proxy to the
// stand-in site host.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "support/main_loop.hpp"
#include "support/recording_update_ui.hpp"
#include "support/signing.hpp"
#include "support/standin.hpp"
#include "support/temp_folder.hpp"
#include "update/update_flow.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

namespace vorlia {
namespace {

using namespace test;

class SiteFolder {
  public:
    SiteFolder() { std::filesystem::create_directories(folder_ / "download"); }
    void publish(const std::string& manifest, const std::string& signature) {
        std::ofstream(folder_ / "download" / "version.json", std::ios::binary) << manifest;
        std::ofstream(folder_ / "download" / "version.json.sig", std::ios::binary) << signature;
    }
    const std::filesystem::path& path() const { return folder_.path(); }

  private:
    TempFolder folder_;
};

std::string offering(const Config& config, const std::string& version) {
    return manifestText(
        {.version = version, .url = config.updateBaseURL + "Vorlia-" + version + ".zip", .size = 2500000});
}

struct Outcome {
    std::vector<std::string> shown; // as the recording screen words it
    std::vector<Offer> offers;
    std::vector<nlohmann::json> requests;
};

// One check through a fresh stand-in that serves the site folder.
Outcome checkAgainst(const SiteFolder& site, std::vector<std::string> faults, bool userInitiated) {
    test::StandInOptions options;
    options.siteDir = site.path();
    options.faults = std::move(faults);
    test::StandIn hosts(options);
    Config config = hosts.config();
    config.timing.updaterIOTimeout = 1s;
    RecordingUpdateUi ui;
    {
        UpdateFlow flow(updateSettings(config, demo::standInHooks(config)), ui,
                        [] { ADD_FAILURE() << "quit"; });
        flow.check(userInitiated);
        EXPECT_TRUE(runUntil([&] { return flow.checksInFlight() == 0; }, 30s));
    }
    std::vector<nlohmann::json> served; // without the proxy's CONNECT lines
    for (const auto& r : hosts.requests()) {
        if (r.value("listener", "") == "https") {
            served.push_back(r);
        }
    }
    return Outcome{ui.events, ui.offers, served};
}

TEST(UpdateCheckThroughStandIn, FindsANewerSignedVersionWithBothRequestsInOrder) {
    SiteFolder site;
    const Config probe = test::StandIn().config();
    const std::string manifest = offering(probe, "1.2");
    site.publish(manifest, signWithDevKey(manifest));

    const Outcome outcome = checkAgainst(site, {}, false);
    EXPECT_EQ(outcome.shown, std::vector<std::string>{"offer 1.2"});
    ASSERT_EQ(outcome.offers.size(), 1u);
    EXPECT_EQ(outcome.offers[0].size, 2500000);
    EXPECT_EQ(outcome.offers[0].notes, std::nullopt);

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
    const Config probe = test::StandIn().config();
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
        EXPECT_EQ(checkAgainst(site, faults, true).shown, std::vector<std::string>{"up to date 1.0.0"});
        EXPECT_EQ(checkAgainst(site, faults, false).shown, std::vector<std::string>{});
    }
}

} // namespace
} // namespace vorlia
