#include "place/application_place.hpp"

#include "rules/install_place.hpp"
#include "rules/install_rules.hpp"

#include <glib.h>

#include <cstdint>
#include <grp.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorlia {
namespace fs = std::filesystem;

namespace {

bool isRegularFile(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The player's primary group when it is a private one, as user private
// groups make it: named after the player, with no other member.
std::optional<std::uint32_t> playersOwnGroup() {
    const gid_t gid = ::getgid();
    struct group entry {};
    struct group* found = nullptr;
    std::vector<char> buffer(16 * 1024);
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        g_strcmp0(found->gr_name, g_get_user_name()) != 0) {
        return std::nullopt;
    }
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (g_strcmp0(*member, g_get_user_name()) != 0) {
            return std::nullopt;
        }
    }
    return gid;
}

} // namespace

bool isApplicationFolder(const fs::path& folder) {
    struct stat st {};
    if (pathExtension(folder.filename().string()) != "app" || ::stat(folder.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        return false;
    }
    const fs::path executable = folder / "vorlia";
    struct stat exe {};
    return isRegularFile(executable) && ::stat(executable.c_str(), &exe) == 0 &&
           (exe.st_mode & S_IXUSR) != 0 && isRegularFile(folder / "Info.json");
}

bool folderIsWritable(const fs::path& folder) {
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

bool isSafePlaceFor(const fs::path& applicationFolder) {
    if (!applicationFolder.is_absolute() || applicationFolder.lexically_normal() != applicationFolder) {
        return false;
    }
    std::vector<FolderFacts> facts;
    for (fs::path folder = applicationFolder;; folder = folder.parent_path()) {
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0) {
            return false;
        }
        facts.push_back({st.st_uid, st.st_mode, st.st_gid});
        if (folder == folder.root_path()) {
            break;
        }
    }
    return isSafePlace(facts, ::getuid(), playersOwnGroup());
}

} // namespace vorlia
