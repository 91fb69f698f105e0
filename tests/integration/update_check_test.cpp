// The update check end to end through the real libsoup session on its own
// thread, against a real HTTP server on loopback.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "support/loopback_site.hpp"
#include "update/updater.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vorlia {
namespace {

using namespace test;

// Records the alerts and lets the test answer them.
class RecordingAlerts : public Alerts {
  public:
    struct Shown {
        Alert alert;
        std::function<void(int)> answer;
    };
    void show(const Alert& alert, std::function<void(int)> answer) override {
        shown.push_back(Shown{alert, std::move(answer)});
    }
    void answer(std::size_t which, int button) {
        if (shown.at(which).answer) {
            shown.at(which).answer(button);
        }
    }
    std::vector<Shown> shown;
};

std::string manifestOffering(const std::string& base, const std::string& version,
                             const std::string& min = "") {
    return R"({"notes": "Faster loading.", ")" + std::string(platformEntryKey) + R"(": {"version": ")" +
           version + R"(", )" + (min.empty() ? "" : R"("min": ")" + min + R"(", )") + R"("url": ")" + base +
           R"(Vorlia-)" + version + R"(.zip", "sha256": "00", "size": 48700000}})" + "\n";
}

class UpdateCheck : public ::testing::Test {
  protected:
    UpdateCheck() {
        config.siteHost = "127.0.0.1";
        config.updateBaseURL = site.baseURL();
        config.manifestPublicKey = devPublicKey();
        config.launcherVersion = "1.0";
        config.timing.updaterIOTimeout = 1s;
        updater = std::make_unique<Updater>(updateSettings(config, demo::standInHooks(config)), alerts,
                                            [this] { ++terminations; });
        updater->signalCheckEnded().connect([this](CheckEnd end) { ended.push_back(end); });
    }

    void publish(const std::string& manifest) { site.serveFiles(manifest, signWithDevKey(manifest)); }

    // Runs one check to its end and returns how it ended.
    std::optional<CheckEnd> checkOnce(bool userInitiated) {
        const std::size_t before = ended.size();
        updater->check(userInitiated);
        if (!spinUntil([&] { return ended.size() > before; }, 30s)) {
            return std::nullopt;
        }
        return ended.back();
    }

    LoopbackSite site;
    Config config;
    RecordingAlerts alerts;
    int terminations = 0;
    std::vector<CheckEnd> ended;
    std::unique_ptr<Updater> updater;
};

TEST_F(UpdateCheck, AsksForTheManifestThenTheSignatureWithTheSameTimeStamp) {
    // The manifest is answered late: the signature must not be asked for before.
    const std::string manifest = manifestOffering(site.baseURL(), "1.0");
    site.serve("/download/version.json", LoopbackSite::Reply{200, manifest, 300ms});
    site.serve("/download/version.json.sig", LoopbackSite::Reply{200, signWithDevKey(manifest)});
    const std::int64_t before = g_get_real_time() / G_USEC_PER_SEC;
    ASSERT_EQ(checkOnce(true), CheckEnd::latestVersionNotice);
    const std::int64_t after = g_get_real_time() / G_USEC_PER_SEC;

    const auto& events = site.events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].kind + " " + events[0].path, "request /download/version.json");
    EXPECT_EQ(events[1].kind + " " + events[1].path, "answer /download/version.json");
    EXPECT_EQ(events[2].kind + " " + events[2].path, "request /download/version.json.sig");
    EXPECT_EQ(events[0].query, events[2].query);
    ASSERT_TRUE(events[0].query.starts_with("t="));
    const std::int64_t t = std::stoll(events[0].query.substr(2));
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_EQ(events[0].query, "t=" + std::to_string(t)); // whole seconds, nothing else
}

TEST_F(UpdateCheck, AsksForTheSignatureEvenWhenTheManifestFails) {
    // Nothing at the manifest's path: its 404 page is a body like any other.
    site.serve("/download/version.json.sig", LoopbackSite::Reply{200, signWithDevKey("x")});
    ASSERT_EQ(checkOnce(true), CheckEnd::latestVersionNotice);
    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/download/version.json.sig");
}

TEST_F(UpdateCheck, ANewerSignedVersionLeadsToThePrompt) {
    publish(manifestOffering(site.baseURL(), "1.1"));
    for (const bool userInitiated : {false, true}) {
        alerts.shown.clear();
        ASSERT_EQ(checkOnce(userInitiated), CheckEnd::prompt);
        ASSERT_EQ(alerts.shown.size(), 1u);
        const Alert& prompt = alerts.shown[0].alert;
        EXPECT_EQ(prompt.message, "New version 1.1 available");
        EXPECT_EQ(prompt.detail,
                  "Faster loading.\n\nUpdate now? The launcher restarts by itself (about 48 MB).");
        EXPECT_EQ(prompt.buttons, (std::vector<std::string>{"Update now", "Later"}));
    }
}

struct EndCase {
    const char* name;
    std::function<void(LoopbackSite&, const Config&)> publish;
};

TEST_F(UpdateCheck, EverythingElseEndsLikeNotNewer) {
    const auto signedBy = [](std::string manifest, std::optional<std::string> secret = std::nullopt) {
        return [manifest, secret](LoopbackSite& site, const Config&) {
            site.serveFiles(manifest, signWithDevKey(manifest, secret));
        };
    };
    const std::string base = site.baseURL();
    const std::string newer = manifestOffering(base, "2.0");
    const EndCase cases[] = {
        {"the same version", signedBy(manifestOffering(base, "1.0.0"))},
        {"an older version", signedBy(manifestOffering(base, "0.9", "0.5"))},
        {"a tampered manifest",
         [newer](LoopbackSite& site, const Config&) {
             std::string tampered = newer;
             tampered[tampered.find("48700000")] = '9';
             site.serveFiles(tampered, signWithDevKey(newer));
         }},
        {"another key", signedBy(newer,
                                 [] {
                                     unsigned char pk[crypto_sign_PUBLICKEYBYTES];
                                     unsigned char sk[crypto_sign_SECRETKEYBYTES];
                                     crypto_sign_keypair(pk, sk);
                                     return encodeBase64(sk, sizeof sk);
                                 }())},
        {"an archive on another host",
         signedBy(manifestOffering("https://elsewhere.example/download/", "2.0"))},
        {"no entry for this platform",
         signedBy(R"({"mac": {"version": "9", "url": ")" + base + R"(x.zip", "sha256": "00"}})")},
        {"nothing published (404 pages)", [](LoopbackSite&, const Config&) {}},
        {"only the signature missing",
         [newer](LoopbackSite& site, const Config&) {
             site.serve("/download/version.json", LoopbackSite::Reply{200, newer});
         }},
        {"a server error with the right files",
         [newer](LoopbackSite& site, const Config&) {
             site.serve("/download/version.json", LoopbackSite::Reply{500, newer});
             site.serve("/download/version.json.sig", LoopbackSite::Reply{503, signWithDevKey(newer)});
         }},
        {"a stalled server",
         [](LoopbackSite& site, const Config&) {
             site.serve("/download/version.json", LoopbackSite::Reply{200, "", 0ms, true});
             site.serve("/download/version.json.sig", LoopbackSite::Reply{200, "", 0ms, true});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackSite caseSite;
        Config caseConfig = config;
        caseConfig.updateBaseURL = caseSite.baseURL();
        c.publish(caseSite, caseConfig);
        RecordingAlerts caseAlerts;
        Updater caseUpdater(updateSettings(caseConfig, {}), caseAlerts, [this] { ++terminations; });
        std::vector<CheckEnd> caseEnded;
        caseUpdater.signalCheckEnded().connect([&](CheckEnd end) { caseEnded.push_back(end); });

        caseUpdater.check(true);
        ASSERT_TRUE(spinUntil([&] { return caseEnded.size() == 1; }, 30s));
        EXPECT_EQ(caseEnded[0], CheckEnd::latestVersionNotice);
        ASSERT_EQ(caseAlerts.shown.size(), 1u);
        EXPECT_EQ(caseAlerts.shown[0].alert.message, "Vorlia");
        EXPECT_EQ(caseAlerts.shown[0].alert.detail, "You have the latest version (1.0).");

        caseUpdater.check(false);
        ASSERT_TRUE(spinUntil([&] { return caseEnded.size() == 2; }, 30s));
        EXPECT_EQ(caseEnded[1], CheckEnd::silent);
        EXPECT_EQ(caseAlerts.shown.size(), 1u);
        EXPECT_EQ(caseSite.requests().size(), 4u);
    }
    EXPECT_EQ(terminations, 0);
}

TEST_F(UpdateCheck, AnUnreachableSiteEndsLikeNotNewer) {
    Config unreachable = config;
    {
        LoopbackSite gone; // a port that was just free again
        unreachable.updateBaseURL = gone.baseURL();
    }
    Updater other(updateSettings(unreachable, {}), alerts, [] {});
    std::vector<CheckEnd> ends;
    other.signalCheckEnded().connect([&](CheckEnd end) { ends.push_back(end); });
    other.check(true);
    other.check(false);
    ASSERT_TRUE(spinUntil([&] { return ends.size() == 2; }));
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(std::count(ends.begin(), ends.end(), CheckEnd::silent), 1);
}

TEST_F(UpdateCheck, URLsThatCannotBeFormedEndSilentlyEvenWhenAsked) {
    Config broken = config;
    broken.updateBaseURL = "https://vorlia example/download/";
    Updater other(updateSettings(broken, {}), alerts, [] {});
    std::vector<CheckEnd> ends;
    other.signalCheckEnded().connect([&](CheckEnd end) { ends.push_back(end); });
    other.check(true);
    ASSERT_TRUE(spinUntil([&] { return ends.size() == 1; }));
    EXPECT_EQ(ends[0], CheckEnd::silent);
    EXPECT_TRUE(alerts.shown.empty());
}

TEST_F(UpdateCheck, TwoChecksAtOnceEachRunToTheirOwnEnd) {
    const std::string manifest = manifestOffering(site.baseURL(), "1.0");
    site.serve("/download/version.json", LoopbackSite::Reply{200, manifest, 200ms});
    site.serve("/download/version.json.sig", LoopbackSite::Reply{200, signWithDevKey(manifest), 200ms});
    updater->check(false);
    updater->check(true);
    updater->check(true);
    ASSERT_TRUE(spinUntil([&] { return ended.size() == 3; }));
    EXPECT_EQ(std::count(ended.begin(), ended.end(), CheckEnd::silent), 1);
    EXPECT_EQ(std::count(ended.begin(), ended.end(), CheckEnd::latestVersionNotice), 2);
    EXPECT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(site.requests().size(), 6u);
}

TEST_F(UpdateCheck, LaterChangesNothingAndTheNextCheckOffersTheSameVersion) {
    publish(manifestOffering(site.baseURL(), "1.1"));
    ASSERT_EQ(checkOnce(true), CheckEnd::prompt);
    alerts.answer(0, 1); // "Later"
    ASSERT_EQ(checkOnce(true), CheckEnd::prompt);
    EXPECT_EQ(alerts.shown[1].alert.message, "New version 1.1 available");
    alerts.answer(1, Alerts::dismissed);
    spinFor(100ms);
    EXPECT_EQ(terminations, 0);
}

TEST_F(UpdateCheck, DecliningARequiredUpdateEndsTheApplication) {
    publish(manifestOffering(site.baseURL(), "2.0", "1.5"));
    ASSERT_EQ(checkOnce(false), CheckEnd::prompt);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].alert.detail, "Faster loading.\n\nThis update is required to keep playing.");
    EXPECT_EQ(alerts.shown[0].alert.buttons, (std::vector<std::string>{"Update now", "Quit"}));
    alerts.answer(0, 1); // "Quit"
    EXPECT_EQ(terminations, 1);
}

TEST_F(UpdateCheck, AcceptingDoesNotEndTheApplication) {
    // The space makes an archive address the download cannot use, so that it
    // ends at once without a window (the download has real-window tests).
    publish(manifestOffering(site.baseURL(), "2.0 beta", "1.5"));
    ASSERT_EQ(checkOnce(true), CheckEnd::prompt);
    alerts.answer(0, 0); // "Update now"
    spinFor(100ms);
    EXPECT_EQ(terminations, 0);
}

TEST_F(UpdateCheck, AnUpdaterMayGoAwayWhileChecksAreInFlight) {
    site.serve("/download/version.json", LoopbackSite::Reply{200, "", 0ms, true});
    updater->check(true);
    updater->check(false);
    ASSERT_TRUE(spinUntil([&] { return site.requests().size() == 2; }));
    updater.reset();
    spinFor(300ms);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(ended.empty());
}

} // namespace
} // namespace vorlia
