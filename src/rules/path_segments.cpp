#include "rules/path_segments.hpp"

#include <algorithm>

namespace vorlia {

std::vector<PathSegment> pathSegments(std::string_view path) {
    std::vector<PathSegment> segments;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view text = path.substr(start, end - start);
        const SegmentKind kind = text.empty()   ? SegmentKind::empty
                                 : text == "."  ? SegmentKind::current
                                 : text == ".." ? SegmentKind::parent
                                                : SegmentKind::name;
        segments.push_back({text, kind});
        if (end == path.size()) {
            return segments;
        }
        start = end + 1;
    }
}

bool isPlainRelativePath(std::string_view path, bool mayEndInSlash) {
    if (mayEndInSlash && path.size() > 1 && path.ends_with('/')) {
        path.remove_suffix(1);
    }
    const std::vector<PathSegment> segments = pathSegments(path);
    return std::all_of(segments.begin(), segments.end(),
                       [](const PathSegment& s) { return s.kind == SegmentKind::name; });
}

} // namespace vorlia
