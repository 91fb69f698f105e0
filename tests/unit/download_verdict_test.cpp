// The verdict on a finished download: complete and genuine, cut short, or not
// the archive the manifest names.
#include "update/download_check.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

namespace vorlia {
namespace {

const std::string kDigest = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

DownloadResult complete() {
    DownloadResult r;
    r.haveBody = true;
    r.httpResponse = true;
    r.status = 200;
    r.bodyStored = true;
    r.digestHex = kDigest;
    r.received = 1000;
    return r;
}

struct VerdictCase {
    const char* name;
    DownloadResult result;
    std::string manifestSha256;
    DownloadVerdict verdict;
    std::optional<std::int64_t> manifestSize = std::nullopt;
};

class DownloadJudgement : public ::testing::TestWithParam<VerdictCase> {};

TEST(DownloadBound, WellAboveTheSizeAndFixedWithoutOne) {
    constexpr std::uint64_t mib = 1 << 20;
    const std::pair<std::optional<std::int64_t>, std::uint64_t> cases[] = {
        {1, 64 * mib + 1},
        {48'700'000, 48'700'000 + 64 * mib},
        {64 * mib, 128 * mib},
        {100 * mib, 200 * mib},
        {INT64_MAX, 2 * static_cast<std::uint64_t>(INT64_MAX)},
        {std::nullopt, std::uint64_t{4} << 30},
        {0, std::uint64_t{4} << 30},
        {-1, std::uint64_t{4} << 30},
    };
    for (const auto& [size, bound] : cases) {
        EXPECT_EQ(downloadBound(size), bound) << size.value_or(-999);
    }
}

TEST_P(DownloadJudgement, FollowsTheFailureTable) {
    EXPECT_EQ(judgeDownload(GetParam().result, GetParam().manifestSha256, GetParam().manifestSize),
              GetParam().verdict);
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

constexpr auto kGenuine = DownloadVerdict::genuine;
constexpr auto kNotFinished = DownloadVerdict::didNotFinish;
constexpr auto kNotGenuine = DownloadVerdict::notGenuine;

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadJudgement,
    ::testing::Values(
        VerdictCase{"Genuine", complete(), kDigest, kGenuine},
        VerdictCase{"UpperCaseManifestDigest", complete(), upper(kDigest), kGenuine},
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
        // A failed write stopped the reading: it is what the player is told.
        VerdictCase{"NotWritten", with([](DownloadResult& r) { r.writeError = "Could not write: full"; }),
                    kDigest, DownloadVerdict::notWritten},
        VerdictCase{"NotWrittenAndCut", with([](DownloadResult& r) {
                        r.writeError = "Could not write: full";
                        r.error = true;
                        r.bodyStored = false;
                    }),
                    kDigest, DownloadVerdict::notWritten},
        VerdictCase{"TrailingLineFeed", complete(), kDigest + "\n", kNotGenuine},
        VerdictCase{"LeadingSpace", complete(), " " + kDigest, kNotGenuine},
        VerdictCase{"Prefixed", complete(), "sha256:" + kDigest, kNotGenuine},
        VerdictCase{"EmptyManifestDigest", complete(), "", kNotGenuine},
        VerdictCase{"EmptyBodyWithItsDigest", with([](DownloadResult& r) {
                        r.digestHex = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
                    }),
                    "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855", kGenuine},
        // The length is never compared with `size`: only a body beyond its
        // bound (whose reading was stopped) did not finish.
        VerdictCase{"TheAnnouncedSize", complete(), kDigest, kGenuine, 1000},
        VerdictCase{"ShorterThanTheSize", complete(), kDigest, kGenuine, 1001},
        VerdictCase{"LongerThanTheSize", complete(), kDigest, kGenuine, 999},
        VerdictCase{"ARoundedSize", complete(), kDigest, kGenuine, 48'000'000},
        VerdictCase{"ShorterThanTheSizeAndAnotherDigest", complete(), "00", kNotGenuine, 1001},
        VerdictCase{"AtTheBound", with([](DownloadResult& r) { r.received = (64 << 20) + 1000; }), kDigest,
                    kGenuine, 1000},
        VerdictCase{"PastTheBound", with([](DownloadResult& r) { r.received = (64 << 20) + 1001; }), kDigest,
                    kNotFinished, 1000},
        VerdictCase{"PastTheBoundWithoutASize",
                    with([](DownloadResult& r) { r.received = (std::uint64_t{4} << 30) + 1; }), kDigest,
                    kNotFinished},
        VerdictCase{"ZeroSizeIsNoSize", complete(), kDigest, kGenuine, 0},
        VerdictCase{"NegativeSizeIsNoSize", complete(), kDigest, kGenuine, -5}),
    [](const auto& info) { return info.param.name; });

// The one place a verdict becomes what the player is told.
TEST(AcceptedDownload, OnlyAGenuineArchiveGoesOn) {
    const struct {
        DownloadVerdict verdict;
        std::optional<UpdateFailure> failure;
    } cases[] = {
        {DownloadVerdict::genuine, std::nullopt},
        {DownloadVerdict::didNotFinish, UpdateFailure{FailureReason::downloadDidNotFinish, {}}},
        {DownloadVerdict::notGenuine, UpdateFailure{FailureReason::notGenuine, {}}},
        {DownloadVerdict::notWritten, UpdateFailure{FailureReason::systemError, "Could not write: full"}},
    };
    for (const auto& c : cases) {
        // Only a refused write tells the system's words.
        const auto accepted = acceptedDownload(c.verdict, "Could not write: full");
        EXPECT_EQ(accepted ? std::nullopt : std::optional<UpdateFailure>(accepted.error()), c.failure)
            << static_cast<int>(c.verdict);
    }
}

} // namespace
} // namespace vorlia
