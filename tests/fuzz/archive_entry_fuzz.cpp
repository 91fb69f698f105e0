// What the archive rules admit stays inside the folder the archive is
// unpacked into, by a model fast enough for long runs (archive_unpack_fuzz.cpp
// does the same with the real libarchive and kernel):
//   - libarchive's own clean-up of a name ("./" and empty segments dropped, a
//     trailing "/." too) puts an admitted entry exactly where its name says;
//   - the entries are taken in order, as the unpacking takes them, up to the
//     first one refused (by the rules, or by libarchive for a name that runs
//     through a link written before);
//   - every admitted link, resolved as the kernel resolves it (each name that
//     is a link written before is followed, a missing name is a folder some
//     later entry may make), never climbs above the folder.
#include "archive_records.hpp"
#include "rules/install_rules.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace vorlia::fuzz;

namespace {

using Place = std::vector<std::string>;

// Where the kernel's walk of `target` from the folder `at` leads; false when
// it climbs out. A loop of links ends the walk as the kernel ends it (ELOOP).
bool staysInside(const std::map<Place, std::string>& links, Place& at, std::string_view target, int& budget) {
    if (target.starts_with('/')) {
        return false;
    }
    for (const std::string_view part : segments(target)) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (at.empty()) {
                return false;
            }
            at.pop_back();
            continue;
        }
        at.emplace_back(part);
        const auto link = links.find(at);
        if (link != links.end()) {
            at.pop_back();
            if (--budget < 0) {
                return true;
            }
            if (!staysInside(links, at, link->second, budget)) {
                return false;
            }
        }
    }
    return true;
}

[[noreturn]] void fail(const char* what, const Entry& e) {
    std::fprintf(stderr, "%s: %c %s -> %s\n", what, e.kind, e.name.c_str(), e.target.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::map<Place, std::string> links;
    for (const Entry& e : parse(std::string_view(reinterpret_cast<const char*>(data), size))) {
        const bool admitted = vorlia::isPlainArchiveName(e.name, e.kind == 'd') &&
                              (e.kind != 'l' || vorlia::linkStaysInside(e.name, e.target));
        if (!admitted) {
            break;
        }
        const auto at = writtenAt(e.name);
        if (!at || at->empty()) {
            fail("an admitted name is written as the folder itself or refused by libarchive", e);
        }
        Place said;
        for (const std::string_view part : segments(e.name)) {
            if (!part.empty()) {
                said.emplace_back(part);
            }
        }
        if (*at != said) {
            fail("an admitted name is written somewhere other than it says", e);
        }
        // libarchive refuses to write through a link, and the unpacking stops.
        for (Place prefix(at->begin(), at->end() - 1); !prefix.empty(); prefix.pop_back()) {
            if (links.contains(prefix)) {
                return 0;
            }
        }
        if (e.kind != 'l') {
            links.erase(*at);
            continue;
        }
        links[*at] = e.target;
        // Every admitted link, this one and those that may now lead through it.
        for (const auto& [place, target] : links) {
            Place from(place.begin(), place.end() - 1);
            int budget = 40;
            if (!staysInside(links, from, target, budget)) {
                fail("an admitted link leads out of the folder", e);
            }
        }
    }
    return 0;
}
