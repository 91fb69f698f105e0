#include "rules/url_text.hpp"

#include "base/handle.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace vorlia {
namespace {

// How a server may read a path: whether it takes "%2f" for a separator,
// and "\\" and "%5c" too. More separators mean more segments for a ".." to
// take back, so a path has to stay under in every reading.
struct Reading {
    bool encodedSlash;
    bool backslash;
};
constexpr Reading readings[] = {{false, false}, {true, false}, {false, true}, {true, true}};

// The path as a server may see it in one reading: the encoded dot decoded,
// then split into segments with "." dropped and ".." taking one back.
std::string effectivePath(std::string_view url, Reading reading) {
    // Split, not parsed: a parse removes the dot segments before the escapes
    // are decoded here, and "..%2F" would then hide a ".." from this walk.
    const std::string text(url);
    char* scheme = nullptr;
    char* rawPath = nullptr;
    if (!g_uri_split(text.c_str(), G_URI_FLAGS_ENCODED, &scheme, nullptr, nullptr, nullptr, &rawPath, nullptr,
                     nullptr, nullptr)) {
        return {};
    }
    const GText schemeText(scheme);
    const GText pathText(rawPath);
    if (!scheme) {
        return {};
    }
    std::string path;
    const std::string_view raw = rawPath;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size()) {
            const std::string code = {static_cast<char>(g_ascii_tolower(raw[i + 1])),
                                      static_cast<char>(g_ascii_tolower(raw[i + 2]))};
            if (code == "2e") {
                path += '.';
                i += 2;
                continue;
            }
            if ((code == "2f" && reading.encodedSlash) || (code == "5c" && reading.backslash)) {
                path += '/';
                i += 2;
                continue;
            }
        }
        path += raw[i] == '\\' && reading.backslash ? '/' : raw[i];
    }
    std::vector<std::string> segments;
    std::size_t start = 0;
    const bool endsInFolder = path.ends_with('/') || path.ends_with("/.") || path.ends_with("/..");
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string segment = path.substr(start, end - start);
        if (segment == "..") {
            if (!segments.empty()) {
                segments.pop_back();
            }
        } else if (segment != "." && !segment.empty()) {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string out;
    for (const auto& segment : segments) {
        out += '/' + segment;
    }
    return endsInFolder || out.empty() ? out + '/' : out;
}

} // namespace

bool holdsOnlyURLCharacters(std::string_view text) {
    static constexpr std::string_view forbidden = "\"<>\\^`{|}";
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7f || forbidden.find(c) != std::string_view::npos;
    });
}

bool pathStaysUnder(std::string_view url, std::string_view baseURL) {
    return std::all_of(std::begin(readings), std::end(readings), [&](Reading reading) {
        const std::string base = effectivePath(baseURL, reading);
        const std::string path = effectivePath(url, reading);
        return !base.empty() && !path.empty() && path.starts_with(base);
    });
}

bool isArchiveURL(std::string_view url, std::string_view baseURL) {
    if (!holdsOnlyURLCharacters(url)) {
        return false;
    }
    const std::string text(url);
    const Handle<GUri> uri(g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED, nullptr));
    if (!uri) {
        return false;
    }
    const char* scheme = g_uri_get_scheme(uri.get());
    const char* host = g_uri_get_host(uri.get());
    if ((g_strcmp0(scheme, "https") != 0 && g_strcmp0(scheme, "http") != 0) || host == nullptr ||
        *host == '\0') {
        return false;
    }
    return baseURL.empty() || (url.starts_with(baseURL) && pathStaysUnder(url, baseURL));
}

} // namespace vorlia
