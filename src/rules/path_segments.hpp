// One reading of '/'-separated paths, shared by every rule that decides where
// a path leads: archive names and the links among them, the path of an
// update's URL, and the stand-in's files.
#pragma once

#include <string_view>
#include <vector>

namespace vorlia {

enum class SegmentKind {
    name,
    empty,   // between two slashes, or before a leading or after a trailing one
    current, // "."
    parent,  // ".."
};

struct PathSegment {
    std::string_view text;
    SegmentKind kind = SegmentKind::name;
};

// Every segment of a path, in order, empty ones included: "/a//b/" gives
// "", "a", "", "b", "". The texts point into `path`.
std::vector<PathSegment> pathSegments(std::string_view path);

// Whether a relative path is made of names only: not empty, and no empty, "."
// or ".." segment anywhere, so that it names the same place however a writer
// tidies it up (libarchive writes "a/l/." as "a/l", "a//b" as "a/b").
// `mayEndInSlash` lets a folder's name end in one "/".
bool isPlainRelativePath(std::string_view path, bool mayEndInSlash = false);

} // namespace vorlia
