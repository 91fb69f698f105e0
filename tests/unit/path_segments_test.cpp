// One reading of '/'-separated paths for every rule that decides where a path leads.
#include "rules/path_segments.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorlia {
namespace {

std::string kinds(std::string_view path) {
    std::string out;
    for (const PathSegment& s : pathSegments(path)) {
        out += s.kind == SegmentKind::name      ? "n(" + std::string(s.text) + ")"
               : s.kind == SegmentKind::empty   ? std::string("e")
               : s.kind == SegmentKind::current ? std::string(".")
                                                : std::string("..");
        out += ' ';
    }
    return out;
}

TEST(PathSegments, EverySegmentInOrderEmptyOnesIncluded) {
    EXPECT_EQ(kinds("/a//b/"), "e n(a) e n(b) e ");
    EXPECT_EQ(kinds(""), "e ");
    EXPECT_EQ(kinds("a/./../.../.b"), "n(a) . .. n(...) n(.b) ");
}

TEST(PlainRelativePath, NamesOnlySoThatNoWriterCanTidyItElsewhere) {
    const struct {
        const char* path;
        bool folder;
        bool plain;
    } cases[] = {
        {"Vorlia.app/lib/libgame.so", false, true},
        {".hidden/...", false, true},
        {"Vorlia.app/", true, true},
        {"Vorlia.app/", false, false},
        {"Vorlia.app//", true, false},
        {"Vorlia.app/l/.", false, false},
        {"Vorlia.app/l/.", true, false},
        {"Vorlia.app/./l", false, false},
        {"./Vorlia.app", false, false},
        {"Vorlia.app//l", false, false},
        {"Vorlia.app/..", true, false},
        {"../x", false, false},
        {"/etc/passwd", false, false},
        {"/", true, false},
        {"", true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isPlainRelativePath(c.path, c.folder), c.plain)
            << '"' << c.path << "\" folder " << c.folder;
    }
}

} // namespace
} // namespace vorlia
