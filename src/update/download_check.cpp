#include "update/download_check.hpp"

#include "update/update_texts.hpp"

namespace vorlia {

std::optional<std::string_view> downloadFailure(const DownloadResult& result,
                                                std::string_view manifestSha256) {
    if (!result.haveBody || !result.httpResponse || result.status != 200 || result.error ||
        !result.bodyStored) {
        return updateText::downloadDidNotFinish;
    }
    // Only ASCII letters matter: no other character lowers to a hex digit.
    std::string expected(manifestSha256);
    for (char& c : expected) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (result.digestHex != expected) {
        return updateText::notGenuine;
    }
    return std::nullopt;
}

} // namespace vorlia
