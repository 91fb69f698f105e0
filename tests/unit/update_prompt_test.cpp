// The offer and the up-to-date notice in words, and what a check leads to.
#include "update/check_outcome.hpp"
#include "update/gtk/update_texts.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vorlia {
namespace {

UpdateInfo entry(std::optional<std::int64_t> size, std::optional<std::string> min = std::nullopt,
                 std::string version = "2.1") {
    return UpdateInfo{std::move(version), std::move(min), "https://vorlia.example/download/V.zip", "ab",
                      size};
}

struct PromptCase {
    const char* name;
    std::optional<std::int64_t> size;
    std::optional<std::string> notes;
    bool required;
    std::string detail;
    std::string secondButton;
};

TEST(UpdatePrompt, TextsAndButtons) {
    const PromptCase cases[] = {
        {"48.7 MB", 48700000, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 48 MB).", "Later"},
        {"decimal megabytes", 1048576, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 1 MB).", "Later"},
        {"just under a megabyte", 999999, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 1 MB).", "Later"},
        {"zero", 0, std::nullopt, false, "Update now? The launcher restarts by itself (about 1 MB).",
         "Later"},
        {"negative", -48700000, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 1 MB).", "Later"},
        {"absent", std::nullopt, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 1 MB).", "Later"},
        {"largest", 9223372036854775807, std::nullopt, false,
         "Update now? The launcher restarts by itself (about 9223372036854 MB).", "Later"},
        {"notes", 3000000, std::string("Faster loading."), false,
         "Faster loading.\n\nUpdate now? The launcher restarts by itself (about 3 MB).", "Later"},
        {"empty notes", 3000000, std::string(), false,
         "\n\nUpdate now? The launcher restarts by itself (about 3 MB).", "Later"},
        {"required: no size estimate", 48700000, std::nullopt, true,
         "This update is required to keep playing.", "Quit"},
        {"required with notes", std::nullopt, std::string("Server move.\nPlease update."), true,
         "Server move.\nPlease update.\n\nThis update is required to keep playing.", "Quit"},
    };
    for (const auto& c : cases) {
        const Alert alert = updateText::offer(Offer{"2.1", c.notes, c.size, c.required});
        EXPECT_EQ(alert.message, "New version 2.1 available") << c.name;
        EXPECT_EQ(alert.detail, c.detail) << c.name;
        EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Update now", c.secondButton})) << c.name;
    }
}

TEST(UpdatePrompt, NamesTheVersionExactlyAsTheManifestDoes) {
    EXPECT_EQ(updateText::offer(Offer{"2.0.10-rc1", std::nullopt, 1, false}).message,
              "New version 2.0.10-rc1 available");
}

TEST(LatestVersionNotice, NamesTheRunningVersionWithTheSingleDefaultButton) {
    const Alert notice = updateText::upToDate("1.0");
    EXPECT_EQ(notice.message, "Vorlia");
    EXPECT_EQ(notice.detail, "You have the latest version (1.0).");
    EXPECT_TRUE(notice.buttons.empty());
}

struct OutcomeCase {
    const char* name;
    std::optional<UpdateManifest> manifest;
    std::string running;
    bool userInitiated;
    CheckEnd end;
    bool required;
};

TEST(CheckOutcome, NewerLeadsToThePromptAnythingElseToTheNoticeOnlyWhenAsked) {
    const auto manifest = [](std::string version, std::optional<std::string> min) {
        return std::optional<UpdateManifest>(
            UpdateManifest{entry(5, std::move(min), std::move(version)), "n"});
    };
    const OutcomeCase cases[] = {
        {"newer, automatic", manifest("1.10", std::nullopt), "1.9", false, CheckEnd::prompt, false},
        {"newer, asked", manifest("1.10", std::nullopt), "1.9", true, CheckEnd::prompt, false},
        {"min equal to running", manifest("2.0", "1.9"), "1.9", false, CheckEnd::prompt, false},
        {"min above running", manifest("2.0", "1.9.1"), "1.9", false, CheckEnd::prompt, true},
        {"min absent, very old", manifest("2.0", std::nullopt), "0.1", false, CheckEnd::prompt, false},
        {"min not a number reads as 0", manifest("2.0", "v9"), "1.0", false, CheckEnd::prompt, false},
        {"equal, asked", manifest("1.0.0", std::nullopt), "1.0", true, CheckEnd::latestVersionNotice, false},
        {"equal, automatic", manifest("1.0.0", std::nullopt), "1.0", false, CheckEnd::silent, false},
        {"beta of the same, asked", manifest("2.0-beta", std::nullopt), "2.0", true,
         CheckEnd::latestVersionNotice, false},
        {"older, asked", manifest("1.2", "9.0"), "1.3", true, CheckEnd::latestVersionNotice, false},
        {"no manifest, asked", std::nullopt, "1.0", true, CheckEnd::latestVersionNotice, false},
        {"no manifest, automatic", std::nullopt, "1.0", false, CheckEnd::silent, false},
        {"no entry, asked", UpdateManifest{std::nullopt, "n"}, "1.0", true, CheckEnd::latestVersionNotice,
         false},
    };
    for (const auto& c : cases) {
        const CheckOutcome outcome = checkOutcome(c.manifest, c.running, c.userInitiated);
        EXPECT_EQ(outcome.end, c.end) << c.name;
        ASSERT_EQ(outcome.prompt.has_value(), c.end == CheckEnd::prompt) << c.name;
        if (outcome.prompt) {
            EXPECT_EQ(outcome.prompt->required, c.required) << c.name;
            EXPECT_EQ(outcome.prompt->info, *c.manifest->platform) << c.name;
            EXPECT_EQ(outcome.prompt->notes, c.manifest->notes) << c.name;
        }
    }
}

} // namespace
} // namespace vorlia
