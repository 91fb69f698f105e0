// The archive fuzzers' input and their lexical model of where an entry goes.
//
// Input: records of one kind byte ('d' a folder, 'l' a link, anything else a
// file), the name, NUL, the link's target (a file's content), NUL.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlia::fuzz {

inline std::vector<std::string_view> segments(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Where libarchive writes an entry, relative to the folder (its clean-up of
// the name: empty and "." segments dropped), or nothing when it refuses the
// name ("..", given the launcher's secure flags).
inline std::optional<std::vector<std::string>> writtenAt(std::string_view name) {
    std::vector<std::string> place;
    for (const std::string_view part : segments(name)) {
        if (part == "..") {
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            place.emplace_back(part);
        }
    }
    return place;
}

// Whether `target`, followed lexically from the folder `from`, stays inside.
inline bool staysInsideLexically(std::vector<std::string> from, std::string_view target) {
    if (target.starts_with('/')) {
        return false;
    }
    for (const std::string_view part : segments(target)) {
        if (part == "..") {
            if (from.empty()) {
                return false;
            }
            from.pop_back();
        } else if (!part.empty() && part != ".") {
            from.emplace_back(part);
        }
    }
    return true;
}

struct Entry {
    char kind;
    std::string name;
    std::string target;
};

inline std::vector<Entry> parse(std::string_view data) {
    std::vector<Entry> entries;
    while (!data.empty() && entries.size() < 8) {
        Entry e{data.front(), {}, {}};
        data.remove_prefix(1);
        const auto nameEnd = data.find('\0');
        e.name = data.substr(0, nameEnd);
        data = nameEnd == std::string_view::npos ? std::string_view{} : data.substr(nameEnd + 1);
        const auto targetEnd = data.find('\0');
        e.target = data.substr(0, targetEnd);
        data = targetEnd == std::string_view::npos ? std::string_view{} : data.substr(targetEnd + 1);
        entries.push_back(std::move(e));
    }
    return entries;
}

} // namespace vorlia::fuzz
