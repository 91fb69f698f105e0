// Whatever an update archive's names and links say, what the launcher writes
// stays inside the work folder: the entries zipped with libarchive, unpacked
// by the launcher's own unpackArchive into a scratch work folder beside
// update.zip, then every link written there resolved by the kernel (openat2
// with RESOLVE_BENEATH) and by a walk that follows links and takes a missing
// folder as one that a later entry may make. Nothing outside the work folder
// may change. Input as in archive_records.hpp.
#include "archive_records.hpp"
#include "support/zip_writer.hpp"
#include "update/install_steps.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using namespace vorlia::fuzz;

namespace {

void require(bool property, const char* what) {
    if (!property) {
        std::fprintf(stderr, "property broken: %s\n", what);
        std::abort();
    }
}

// The scratch folders, made once in $TMPDIR: fence/a/b/work, with a file in
// each folder above the work folder that nothing may touch. libFuzzer ends
// most runs without exit handlers, so scripts/fuzz.sh gives each fuzzer a
// temporary folder of its own and removes it.
struct Scratch {
    fs::path fence;
    fs::path work;
    std::set<std::string> outside;
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "vrl-fuzz-XXXXXX").string();
        require(mkdtemp(pattern.data()) != nullptr, "a scratch folder");
        fence = pattern;
        work = fence / "a" / "b" / "work";
        fs::create_directories(work);
        for (const fs::path& folder : {fence, fence / "a", fence / "a" / "b"}) {
            std::ofstream(folder / "x") << "outside";
        }
        outside = listing();
        std::atexit([] { fs::remove_all(scratch().fence); });
    }
    // Everything under the fence but the work folder's inside.
    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (auto it = fs::recursive_directory_iterator(fence); it != fs::recursive_directory_iterator();
             ++it) {
            names.insert(it->path().string() + ":" +
                         std::to_string(static_cast<int>(it->symlink_status().type())));
            if (it->path() == work) {
                it.disable_recursion_pending();
            }
        }
        return names;
    }
    static const Scratch& scratch() {
        static const Scratch s;
        return s;
    }
};

std::optional<std::string> linkText(const fs::path& link) {
    std::string text(PATH_MAX, '\0');
    const ssize_t n = ::readlink(link.c_str(), text.data(), text.size());
    if (n < 0) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

enum class Walk { goesOn, leaves, ends };

// The kernel's resolution, as a walk over what is on disk: a link is followed,
// a missing name is taken as a folder some later entry could make, a file or
// too many links end the walk (ENOTDIR, ELOOP).
Walk walkOnDisk(const fs::path& work, std::vector<std::string>& at, std::string_view target, int& links) {
    if (target.starts_with('/')) {
        return Walk::leaves;
    }
    for (const std::string_view part : segments(target)) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (at.empty()) {
                return Walk::leaves;
            }
            at.pop_back();
            continue;
        }
        fs::path here = work;
        for (const auto& s : at) {
            here /= s;
        }
        here /= part;
        struct stat st {};
        if (::lstat(here.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            at.emplace_back(part);
        } else if (!S_ISLNK(st.st_mode)) {
            return Walk::ends;
        } else {
            const auto text = linkText(here);
            if (--links < 0 || !text) {
                return Walk::ends;
            }
            if (const Walk w = walkOnDisk(work, at, *text, links); w != Walk::goesOn) {
                return w;
            }
        }
    }
    return Walk::goesOn;
}

std::vector<std::string> linksUnder(const fs::path& work) {
    std::vector<std::string> links;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(work, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_symlink(error)) {
            links.push_back(it->path().string().substr(work.string().size() + 1));
        }
    }
    return links;
}

void unpackAndResolve(const std::vector<Entry>& entries) {
    const Scratch& s = Scratch::scratch();
    std::error_code error;
    fs::remove_all(s.work, error);
    fs::create_directory(s.work);
    std::vector<vorlia::test::ZipEntry> zipped;
    for (const Entry& e : entries) {
        const mode_t type = e.kind == 'd' ? AE_IFDIR : e.kind == 'l' ? AE_IFLNK : AE_IFREG;
        zipped.push_back({e.name, type, type == AE_IFDIR ? 0755u : 0644u, e.target});
    }
    vorlia::test::writeZip(s.work / vorlia::archiveFileName, zipped);
    vorlia::unpackArchive(s.work / vorlia::archiveFileName, s.work);

    struct stat st {};
    require(::lstat(s.work.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "the work folder is still a folder");
    const int workFd = ::open(s.work.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    require(workFd >= 0, "the work folder opens");
    for (const std::string& link : linksUnder(s.work)) {
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH;
        const int fd = static_cast<int>(::syscall(SYS_openat2, workFd, link.c_str(), &how, sizeof how));
        const int why = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        require(fd >= 0 || why != EXDEV, "the kernel resolves every link beneath the work folder");
        std::vector<std::string> at;
        for (const std::string_view part : segments(link)) {
            at.emplace_back(part);
        }
        at.pop_back();
        const auto text = linkText(s.work / link);
        require(text.has_value(), "a listed link reads");
        int links = 40;
        require(walkOnDisk(s.work, at, *text, links) != Walk::leaves,
                "every link, followed on disk, stays inside");
    }
    ::close(workFd);
    require(s.listing() == s.outside, "nothing outside the work folder changed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096) {
        return 0;
    }
    unpackAndResolve(parse(std::string_view(reinterpret_cast<const char*>(data), size)));
    return 0;
}
