#include "rules/url_text.hpp"

#include "base/handle.hpp"
#include "rules/path_segments.hpp"

#include <algorithm>
#include <string>

namespace vorlia {
namespace {

// The path as a server may see it: the encoded dot and separators decoded,
// then split into segments with "." dropped and ".." taking one back.
std::string effectivePath(std::string_view url) {
    const std::string text(url);
    const Handle<GUri> uri(g_uri_parse(text.c_str(), G_URI_FLAGS_ENCODED, nullptr));
    if (!uri) {
        return {};
    }
    std::string path;
    const std::string_view raw = g_uri_get_path(uri.get());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size()) {
            const std::string code = {static_cast<char>(g_ascii_tolower(raw[i + 1])),
                                      static_cast<char>(g_ascii_tolower(raw[i + 2]))};
            if (code == "2e") {
                path += '.';
                i += 2;
                continue;
            }
            if (code == "2f" || code == "5c") {
                path += '/';
                i += 2;
                continue;
            }
        }
        path += raw[i] == '\\' ? '/' : raw[i];
    }
    std::vector<std::string_view> kept;
    const std::vector<PathSegment> segments = pathSegments(path);
    for (const PathSegment& segment : segments) {
        if (segment.kind == SegmentKind::parent && !kept.empty()) {
            kept.pop_back();
        } else if (segment.kind == SegmentKind::name) {
            kept.push_back(segment.text);
        }
    }
    const bool endsInFolder = segments.back().kind != SegmentKind::name;
    std::string out;
    for (const std::string_view segment : kept) {
        out += '/';
        out += segment;
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
    const std::string base = effectivePath(baseURL);
    const std::string path = effectivePath(url);
    return !base.empty() && !path.empty() && path.starts_with(base);
}

} // namespace vorlia
