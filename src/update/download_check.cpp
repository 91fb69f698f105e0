#include "update/download_check.hpp"

#include <algorithm>

namespace vorlia {

std::uint64_t downloadBound(std::optional<std::int64_t> manifestSize) {
    constexpr std::uint64_t mib = 1 << 20;
    constexpr std::uint64_t withoutSize = std::uint64_t{4} << 30;
    // Zero and negative sizes only ever fed the prompt's estimate; published
    // manifests may carry them, so they count as none.
    if (!manifestSize || *manifestSize <= 0) {
        return withoutSize;
    }
    const auto size = static_cast<std::uint64_t>(*manifestSize); // below 2^63: no sum below overflows
    return std::max(2 * size, size + 64 * mib);
}

DownloadVerdict judgeDownload(const DownloadResult& result, std::string_view manifestSha256,
                              std::optional<std::int64_t> manifestSize) {
    if (!result.writeError.empty()) {
        return DownloadVerdict::notWritten;
    }
    if (!result.haveBody || !result.httpResponse || result.status != 200 || result.error ||
        !result.bodyStored) {
        return DownloadVerdict::didNotFinish;
    }
    if (result.received > downloadBound(manifestSize)) {
        return DownloadVerdict::didNotFinish;
    }
    // Only ASCII letters matter: no other character lowers to a hex digit.
    std::string expected(manifestSha256);
    for (char& c : expected) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return result.digestHex == expected ? DownloadVerdict::genuine : DownloadVerdict::notGenuine;
}

expected<void, UpdateFailure> acceptedDownload(DownloadVerdict verdict, std::string_view writeError) {
    switch (verdict) {
    case DownloadVerdict::genuine:
        return {};
    case DownloadVerdict::didNotFinish:
        return unexpected(UpdateFailure{FailureReason::downloadDidNotFinish, {}});
    case DownloadVerdict::notGenuine:
        return unexpected(UpdateFailure{FailureReason::notGenuine, {}});
    case DownloadVerdict::notWritten:
        return unexpected(UpdateFailure{FailureReason::systemError, std::string(writeError)});
    }
    return unexpected(UpdateFailure{FailureReason::downloadDidNotFinish, {}});
}

} // namespace vorlia
