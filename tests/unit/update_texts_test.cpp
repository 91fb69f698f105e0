#include "update/download_check.hpp"
#include "update/update_texts.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vorlia {
namespace {

TEST(UpdateTexts, ProgressLabelEndsInOneEllipsisCharacter) {
    EXPECT_EQ(updateText::progressLabel("2.1"), "Downloading version 2.1\xe2\x80\xa6");
    EXPECT_EQ(updateText::progressLabel(""), "Downloading version \xe2\x80\xa6");
}

TEST(UpdateTexts, FailureTextPointsToTheSite) {
    EXPECT_EQ(updateText::failureText(updateText::notGenuine, "vorlia.example"),
              "The downloaded file is not genuine.\n\nYou can download the new version from vorlia.example.");
    EXPECT_EQ(updateText::downloadPageURL("vorlia.example"), "https://vorlia.example/?download=1");
}

TEST(UpdateTexts, AlmostDoneNamesTheFileManagerAndHoldsNoBackslash) {
    EXPECT_EQ(updateText::almostDoneTitle, "Almost done");
    EXPECT_EQ(updateText::almostDoneText, "The launcher cannot replace itself in this folder. Move the new "
                                          "\"Vorlia\" (shown in your file manager) over the old one.");
    EXPECT_EQ(updateText::almostDoneText.find('\\'), std::string::npos);
}

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

DownloadResult complete() {
    DownloadResult r;
    r.haveBody = true;
    r.httpResponse = true;
    r.status = 200;
    r.bodyStored = true;
    r.digestHex = kDigest;
    return r;
}

struct VerdictCase {
    const char* name;
    DownloadResult result;
    std::string manifestSha256;
    std::optional<std::string> failure;
};

class DownloadVerdict : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(DownloadVerdict, FollowsTheFailureTable) {
    const std::optional<std::string_view> failure =
        downloadFailure(GetParam().result, GetParam().manifestSha256);
    if (GetParam().failure) {
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(*failure, *GetParam().failure);
    } else {
        EXPECT_FALSE(failure.has_value()) << *failure;
    }
}

DownloadResult with(void (*change)(DownloadResult&)) {
    DownloadResult r = complete();
    change(r);
    return r;
}

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

const std::string kNotFinished = "The download did not finish.";
const std::string kNotGenuine = "The downloaded file is not genuine.";

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadVerdict,
    ::testing::Values(
        VerdictCase{"Genuine", complete(), kDigest, std::nullopt},
        VerdictCase{"UpperCaseManifestDigest", complete(), upper(kDigest), std::nullopt},
        VerdictCase{"NoBody", with([](DownloadResult& r) { r.haveBody = false; }), kDigest, kNotFinished},
        VerdictCase{"NotHttp", with([](DownloadResult& r) { r.httpResponse = false; }), kDigest,
                    kNotFinished},
        VerdictCase{"NotFound", with([](DownloadResult& r) { r.status = 404; }), kDigest, kNotFinished},
        VerdictCase{"PartialContent", with([](DownloadResult& r) { r.status = 206; }), kDigest, kNotFinished},
        VerdictCase{"NoContent", with([](DownloadResult& r) { r.status = 204; }), kDigest, kNotFinished},
        VerdictCase{"NotModified", with([](DownloadResult& r) { r.status = 304; }), kDigest, kNotFinished},
        VerdictCase{"TransferError", with([](DownloadResult& r) { r.error = true; }), kDigest, kNotFinished},
        VerdictCase{"NotStored", with([](DownloadResult& r) { r.bodyStored = false; }), kDigest,
                    kNotFinished},
        // Transport failures win over a digest that would not match anyway.
        VerdictCase{"CutAndWrongDigest", with([](DownloadResult& r) { r.error = true; }), "00", kNotFinished},
        VerdictCase{"OtherDigest", complete(), std::string(64, '0'), kNotGenuine},
        VerdictCase{"TrailingLineFeed", complete(), kDigest + "\n", kNotGenuine},
        VerdictCase{"LeadingSpace", complete(), " " + kDigest, kNotGenuine},
        VerdictCase{"Prefixed", complete(), "sha256:" + kDigest, kNotGenuine},
        VerdictCase{"EmptyManifestDigest", complete(), "", kNotGenuine},
        VerdictCase{"EmptyBodyWithItsDigest", with([](DownloadResult& r) {
                        r.digestHex = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
                    }),
                    "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", std::nullopt}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace vorlia
