// The update check end to end: the flow's real libsoup session used from its
// worker threads against a real HTTP server on loopback, what the player
// would see recorded.
#include "app/launcher_app.hpp"
#include "demo/route.hpp"
#include "support/http_server.hpp"
#include "support/main_loop.hpp"
#include "support/recording_update_ui.hpp"
#include "support/signing.hpp"
#include "update/update_flow.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <memory>
#include <string>
#include <vector>

namespace vorlia {
namespace {

using namespace test;
using Strings = std::vector<std::string>;

std::string manifestOffering(const std::string& base, const std::string& version,
                             std::optional<std::string> min = std::nullopt) {
    return manifestText({.version = version,
                         .url = base + "Vorlia-" + version + ".zip",
                         .min = std::move(min),
                         .size = 48700000,
                         .notes = "Faster loading."});
}

HttpServer::Response ok(std::string body, std::chrono::milliseconds delay = 0ms) {
    return HttpServer::Response{200, "application/octet-stream", std::move(body), delay};
}

Config checkConfig(const HttpServer& site) {
    Config config;
    config.siteHost = "127.0.0.1";
    config.updateBaseURL = site.baseURL();
    config.manifestPublicKeys = {devPublicKey()};
    config.launcherVersion = "1.0";
    config.timing.updaterIOTimeout = 1s;
    return config;
}

// A flow against one site, and what it showed.
struct Checker {
    explicit Checker(const Config& config, const LaunchHooks& hooks = {})
        : flow(std::make_unique<UpdateFlow>(updateSettings(config, hooks), ui, [this] { ++quits; })) {}

    // Runs checks to their end; the events they added.
    Strings run(std::initializer_list<bool> userInitiated) {
        const std::size_t before = ui.events.size();
        for (const bool asked : userInitiated) {
            flow->check(asked);
        }
        EXPECT_TRUE(runUntil([&] { return flow->checksInFlight() == 0; }, 30s));
        return Strings(ui.events.begin() + static_cast<std::ptrdiff_t>(before), ui.events.end());
    }

    RecordingUpdateUi ui;
    int quits = 0;
    std::unique_ptr<UpdateFlow> flow;
};

class UpdateCheck : public ::testing::Test {
  protected:
    void publish(const std::string& manifest) {
        site.serve("/download/version.json", ok(manifest));
        site.serve("/download/version.json.sig", ok(signWithDevKey(manifest)));
    }

    HttpServer site;
    Config config = checkConfig(site);
    Checker checker{config, demo::standInHooks(config)};
};

TEST_F(UpdateCheck, AsksForTheManifestThenTheSignatureWithTheSameTimeStamp) {
    // The manifest is answered late: the signature must not be asked for before.
    const std::string manifest = manifestOffering(site.baseURL(), "1.0");
    site.serve("/download/version.json", ok(manifest, 300ms));
    site.serve("/download/version.json.sig", ok(signWithDevKey(manifest)));
    const std::int64_t before = g_get_real_time() / G_USEC_PER_SEC;
    EXPECT_EQ(checker.run({true}), Strings{"up to date 1.0"});
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
    site.serve("/download/version.json.sig", ok(signWithDevKey("x")));
    EXPECT_EQ(checker.run({true}), Strings{"up to date 1.0"});
    const auto& requests = site.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/download/version.json.sig");
}

TEST_F(UpdateCheck, ANewerSignedVersionIsOfferedWithItsNotesAndSize) {
    publish(manifestOffering(site.baseURL(), "1.1"));
    EXPECT_EQ(checker.run({false}), Strings{"offer 1.1"});
    EXPECT_EQ(checker.run({true}), Strings{"offer 1.1"});
    for (const Offer& offer : checker.ui.offers) {
        EXPECT_EQ(offer.notes, "Faster loading.");
        EXPECT_EQ(offer.size, 48700000);
        EXPECT_FALSE(offer.required);
    }
}

// A launcher built with a new key beside the old one offers what either
// signed, and only what one of its keys signed.
TEST_F(UpdateCheck, AManifestSignedByAnyOfTheBuiltInKeysIsOffered) {
    publish(manifestOffering(site.baseURL(), "1.1"));
    unsigned char pk[crypto_sign_PUBLICKEYBYTES];
    unsigned char sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    const std::string newKey = encodeBase64(pk, sizeof pk);
    const std::pair<std::vector<std::string>, Strings> cases[] = {
        {{newKey, devPublicKey()}, {"offer 1.1"}},
        {{newKey}, {"up to date 1.0"}},
    };
    for (const auto& [keys, shown] : cases) {
        Config trusting = config;
        trusting.manifestPublicKeys = keys;
        Checker other(trusting);
        EXPECT_EQ(other.run({true}), shown) << keys.size() << " keys";
    }
}

struct EndCase {
    const char* name;
    std::function<void(HttpServer&)> publish;
};

TEST_F(UpdateCheck, EverythingElseEndsLikeNotNewer) {
    const auto signedBy = [](std::string manifest, std::optional<std::string> secret = std::nullopt) {
        return [manifest, secret](HttpServer& site) {
            site.serve("/download/version.json", ok(manifest));
            site.serve("/download/version.json.sig", ok(signWithDevKey(manifest, secret)));
        };
    };
    // Each case has a site of its own, made first so that its manifest can name its address.
    HttpServer sites[9];
    const auto newer = [&sites](std::size_t i) { return manifestOffering(sites[i].baseURL(), "2.0"); };
    const EndCase cases[] = {
        {"the same version", signedBy(manifestOffering(sites[0].baseURL(), "1.0.0"))},
        {"an older version", signedBy(manifestOffering(sites[1].baseURL(), "0.9", "0.5"))},
        {"a tampered manifest",
         [signedText = newer(2)](HttpServer& site) {
             std::string tampered = signedText;
             tampered[tampered.find("48700000")] = '9';
             site.serve("/download/version.json", ok(tampered));
             site.serve("/download/version.json.sig", ok(signWithDevKey(signedText)));
         }},
        {"another key", signedBy(newer(3),
                                 [] {
                                     unsigned char pk[crypto_sign_PUBLICKEYBYTES];
                                     unsigned char sk[crypto_sign_SECRETKEYBYTES];
                                     crypto_sign_keypair(pk, sk);
                                     return encodeBase64(sk, sizeof sk);
                                 }())},
        {"an archive on another host",
         signedBy(manifestOffering("https://elsewhere.example/download/", "2.0"))},
        {"no entry for this platform", signedBy(R"({"mac": {"version": "9", "url": ")" + sites[5].baseURL() +
                                                R"(x.zip", "sha256": "00"}})")},
        {"nothing published (404 pages)", [](HttpServer&) {}},
        {"only the signature missing",
         [manifest = newer(7)](HttpServer& site) { site.serve("/download/version.json", ok(manifest)); }},
        {"a stalled server",
         [](HttpServer& site) {
             HttpServer::Response stalled;
             stalled.stall = true;
             site.serve("/download/version.json", stalled);
             site.serve("/download/version.json.sig", stalled);
         }},
    };
    ASSERT_EQ(std::size(cases), std::size(sites));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        HttpServer& caseSite = sites[i];
        cases[i].publish(caseSite);
        Checker caseChecker(checkConfig(caseSite));
        EXPECT_EQ(caseChecker.run({true}), Strings{"up to date 1.0"});
        EXPECT_EQ(caseChecker.run({false}), Strings{});
        EXPECT_EQ(caseSite.requests().size(), 4u);
        EXPECT_EQ(caseChecker.quits, 0);
    }
}

// An endless manifest must not fill memory before its signature is looked at:
// one byte past a mebibyte and even a signed manifest is a failed check.
TEST_F(UpdateCheck, AManifestIsReadUpToAMebibyte) {
    const auto manifestOfLength = [](const std::string& base, std::size_t length) {
        ManifestEntry entry{.version = "2.0", .url = base + "a.zip", .sha256 = std::string(64, '0')};
        const std::size_t bare = manifestText(entry).size();
        entry.notes = std::string(length - bare - std::string(R"("notes": "", )").size(), 'n');
        std::string text = manifestText(entry);
        EXPECT_EQ(text.size(), length);
        return text;
    };
    HttpServer atTheCap;
    HttpServer pastTheCap;
    const std::pair<HttpServer*, std::size_t> cases[] = {{&atTheCap, 1u << 20},
                                                         {&pastTheCap, (1u << 20) + 1}};
    for (const auto& [caseSite, length] : cases) {
        const std::string manifest = manifestOfLength(caseSite->baseURL(), length);
        caseSite->serve("/download/version.json", ok(manifest));
        caseSite->serve("/download/version.json.sig", ok(signWithDevKey(manifest)));
    }
    Checker accepted(checkConfig(atTheCap));
    EXPECT_EQ(accepted.run({true}), Strings{"offer 2.0"});
    Checker refused(checkConfig(pastTheCap));
    EXPECT_EQ(refused.run({true}), Strings{"up to date 1.0"});
    EXPECT_EQ(refused.run({false}), Strings{});
}

// Only the bodies count: an error status around the signed files is not
// looked at, and what they sign is offered.
TEST_F(UpdateCheck, AnErrorStatusWithTheSignedFilesIsNotLookedAt) {
    const std::string manifest = manifestOffering(site.baseURL(), "2.0");
    site.serve("/download/version.json", HttpServer::Response{500, "text/plain", manifest});
    site.serve("/download/version.json.sig",
               HttpServer::Response{503, "text/plain", signWithDevKey(manifest)});
    EXPECT_EQ(checker.run({true}), Strings{"offer 2.0"});
}

TEST_F(UpdateCheck, AnUnreachableSiteEndsLikeNotNewer) {
    Config unreachable = config;
    {
        HttpServer gone; // a port that was just free again
        unreachable.updateBaseURL = gone.baseURL();
    }
    Checker other(unreachable);
    EXPECT_EQ(other.run({true, false}), Strings{"up to date 1.0"});
}

TEST_F(UpdateCheck, URLsThatCannotBeFormedEndSilentlyEvenWhenAsked) {
    Config broken = config;
    broken.updateBaseURL = "https://vorlia example/download/";
    Checker other(broken);
    EXPECT_EQ(other.run({true}), Strings{});
    runFor(100ms);
    EXPECT_TRUE(other.ui.events.empty());
}

TEST_F(UpdateCheck, TwoChecksAtOnceEachRunToTheirOwnEnd) {
    const std::string manifest = manifestOffering(site.baseURL(), "1.0");
    site.serve("/download/version.json", ok(manifest, 200ms));
    site.serve("/download/version.json.sig", ok(signWithDevKey(manifest), 200ms));
    EXPECT_EQ(checker.run({false, true, true}), (Strings{"up to date 1.0", "up to date 1.0"}));
    EXPECT_EQ(site.requests().size(), 6u);
}

TEST_F(UpdateCheck, LaterChangesNothingAndTheNextCheckOffersTheSameVersion) {
    publish(manifestOffering(site.baseURL(), "1.1"));
    EXPECT_EQ(checker.run({true}), Strings{"offer 1.1"});
    checker.ui.answerLast(OfferReply::declined); // "Later"
    EXPECT_EQ(checker.run({true}), Strings{"offer 1.1"});
    checker.ui.answerLast(OfferReply::dismissed);
    runFor(100ms);
    EXPECT_EQ(checker.ui.events, (Strings{"offer 1.1", "offer 1.1"}));
    EXPECT_EQ(checker.quits, 0);
    EXPECT_EQ(checker.flow->stage(), UpdateFlow::Stage::idle);
}

TEST_F(UpdateCheck, DecliningARequiredUpdateEndsTheApplication) {
    publish(manifestOffering(site.baseURL(), "2.0", "1.5"));
    for (const OfferReply reply : {OfferReply::declined, OfferReply::dismissed}) {
        checker.quits = 0;
        EXPECT_EQ(checker.run({false}), Strings{"offer 2.0, required"});
        EXPECT_EQ(checker.ui.offers.back().notes, "Faster loading.");
        checker.ui.answerLast(reply); // "Quit", or closed
        EXPECT_EQ(checker.quits, 1);
    }
}

TEST_F(UpdateCheck, AcceptingARequiredUpdateDoesNotEndTheApplication) {
    // The site has no archive, so the download ends at once in a failure
    // (the download has tests of its own).
    publish(manifestOffering(site.baseURL(), "2.0", "1.5"));
    EXPECT_EQ(checker.run({true}), Strings{"offer 2.0, required"});
    checker.ui.answerLast(OfferReply::updateNow);
    ASSERT_TRUE(runUntil([&] { return checker.ui.events.size() == 3; }, 30s)) << checker.ui.events.size();
    EXPECT_EQ(checker.ui.events[1], "download 2.0");
    EXPECT_TRUE(checker.ui.events[2].starts_with("failure: ")) << checker.ui.events[2];
    EXPECT_EQ(checker.quits, 0);
}

// An address the download could not use is refused with the manifest, not
// offered for an "Update now" that would then do nothing.
TEST_F(UpdateCheck, AnArchiveAddressTheDownloadCannotUseIsNeverOffered) {
    publish(manifestOffering(site.baseURL(), "2.0 beta", "1.5"));
    EXPECT_EQ(checker.run({true}), Strings{"up to date 1.0"});
}

TEST_F(UpdateCheck, AFlowMayGoAwayWhileChecksAreInFlightOrOffersOpen) {
    publish(manifestOffering(site.baseURL(), "2.0", "1.5"));
    EXPECT_EQ(checker.run({true}), Strings{"offer 2.0, required"});
    HttpServer::Response stalled;
    stalled.stall = true;
    site.serve("/download/version.json", stalled);
    checker.flow->check(true);
    checker.flow->check(false);
    ASSERT_TRUE(runUntil([&] { return site.requests().size() == 4; }));
    checker.flow.reset();
    runFor(300ms);
    // Neither the checks' ends nor the answer to the open offer reach anything.
    checker.ui.answerLast(OfferReply::declined);
    EXPECT_EQ(checker.ui.events, Strings{"offer 2.0, required"});
    EXPECT_EQ(checker.quits, 0);
}

} // namespace
} // namespace vorlia
