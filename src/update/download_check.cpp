#include "update/download_check.hpp"

namespace vorlia {

std::optional<std::uint64_t> boundSize(std::optional<std::int64_t> manifestSize) {
    // Zero and negative sizes only ever fed the prompt's estimate; published
    // manifests may carry them, so they bind nothing.
    if (!manifestSize || *manifestSize <= 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(*manifestSize);
}

DownloadVerdict judgeDownload(const DownloadResult& result, std::string_view manifestSha256,
                              std::optional<std::int64_t> manifestSize) {
    if (!result.haveBody || !result.httpResponse || result.status != 200 || result.error ||
        !result.bodyStored) {
        return DownloadVerdict::didNotFinish;
    }
    if (const auto size = boundSize(manifestSize); size && result.received != *size) {
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

} // namespace vorlia
