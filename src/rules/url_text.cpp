#include "rules/url_text.hpp"

#include "base/handle.hpp"
#include "rules/path_segments.hpp"

#include <algorithm>
#include <string>

namespace vorlia {
namespace {

// How a server may read a path: whether it takes "%2f" for a separator,
// and "\\" and "%5c" too, and whether an empty segment ("//") counts as one
// that a ".." takes back (as dot-segment removal does) or is merged away
// first. Each reading lets a ".." climb over different segments, so a path
// has to stay under in every one.
struct Reading {
    bool encodedSlash;
    bool backslash;
    bool keepsEmpty;
};
constexpr Reading readings[] = {{false, false, false}, {true, false, false}, {false, true, false},
                                {true, true, false},   {false, false, true}, {true, false, true},
                                {false, true, true},   {true, true, true}};

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
    std::vector<std::string_view> kept;
    const std::vector<PathSegment> segments = pathSegments(path);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const PathSegment& segment = segments[i];
        if (segment.kind == SegmentKind::parent && !kept.empty()) {
            kept.pop_back();
        } else if (segment.kind == SegmentKind::name ||
                   (segment.kind == SegmentKind::empty && reading.keepsEmpty && i > 0 &&
                    i + 1 < segments.size())) {
            kept.push_back(segment.text);
        }
    }
    const bool endsInFolder = segments.back().kind != SegmentKind::name;
    // Where the path lands: an empty segment left over names no folder.
    std::string out;
    for (const std::string_view segment : kept) {
        if (!segment.empty()) {
            out += '/';
            out += segment;
        }
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
