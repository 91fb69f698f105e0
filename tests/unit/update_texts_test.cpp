// The words of the update's failure, progress and hand-over screens.
#include "update/gtk/update_texts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlia {
namespace {

TEST(UpdateTexts, ProgressLabelEndsInOneEllipsisCharacter) {
    EXPECT_EQ(updateText::progressTitle, "Updating");
    EXPECT_EQ(updateText::progressLabel("2.1"), "Downloading version 2.1\xe2\x80\xa6");
    EXPECT_EQ(updateText::progressLabel(""), "Downloading version \xe2\x80\xa6");
}

// Every reason the flow can report, as the failure dialog words it: a system
// error in the system's own words, each of the others in its fixed sentence.
TEST(UpdateTexts, EachFailureReasonInTheFailureDialog) {
    struct Case {
        UpdateFailure failure;
        std::string message;
    };
    const std::string systemWords =
        "Failed to create file \xe2\x80\x9c/tmp/w/swap.sh.Q2XZ61\xe2\x80\x9d: No space left";
    const Case cases[] = {
        {{FailureReason::downloadDidNotFinish, {}}, "The download did not finish."},
        {{FailureReason::notGenuine, {}}, "The downloaded file is not genuine."},
        {{FailureReason::couldNotBeUnpacked, {}}, "The update could not be unpacked."},
        {{FailureReason::systemError, systemWords}, systemWords},
        // A detail belongs to a system error alone.
        {{FailureReason::notGenuine, "ignored"}, "The downloaded file is not genuine."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(updateText::failureMessage(c.failure), c.message);
        const Alert alert = updateText::failure(c.failure, "vorlia.example");
        EXPECT_EQ(alert.message, "Update failed");
        EXPECT_EQ(alert.detail, c.message + "\n\nYou can download the new version from vorlia.example.");
        EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Open website", "OK"}));
    }
    EXPECT_EQ(updateText::downloadPageURL("vorlia.example"), "https://vorlia.example/?download=1");
}

TEST(UpdateTexts, AlmostDoneNamesTheFileManagerWithTheSingleDefaultButton) {
    const Alert alert = updateText::almostDone();
    EXPECT_EQ(alert.message, "Almost done");
    EXPECT_EQ(alert.detail, "The launcher cannot replace itself in this folder. Move the new "
                            "\"Vorlia\" (shown in your file manager) over the old one.");
    EXPECT_EQ(alert.detail.find('\\'), std::string::npos);
    EXPECT_TRUE(alert.buttons.empty());
}

} // namespace
} // namespace vorlia
