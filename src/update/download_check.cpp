#include "update/download_check.hpp"

namespace vorlia {

DownloadVerdict judgeDownload(const DownloadResult& result, std::string_view manifestSha256) {
    if (!result.haveBody || !result.httpResponse || result.status != 200 || result.error ||
        !result.bodyStored) {
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
