#include "base/files.hpp"

#include "base/handle.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace vorlia {

expected<std::string, std::string> readFile(const std::filesystem::path& path) {
    char* contents = nullptr;
    gsize length = 0;
    GError* raw = nullptr;
    if (!g_file_get_contents(path.c_str(), &contents, &length, &raw)) {
        const Handle<GError> error(raw);
        return unexpected(std::string(error->message));
    }
    const GText owned(contents);
    return std::string(contents, length);
}

expected<void, std::string> writeFileAtomically(const std::filesystem::path& file, std::string_view content,
                                                int mode) {
    GError* raw = nullptr;
    if (!g_file_set_contents_full(file.c_str(), content.data(), static_cast<gssize>(content.size()),
                                  G_FILE_SET_CONTENTS_CONSISTENT, mode, &raw)) {
        const Handle<GError> error(raw);
        return unexpected(std::string(error->message));
    }
    return {};
}

std::string fileError(std::string_view what, const std::filesystem::path& path, int error) {
    return std::string(what) + " \u201c" + path.string() + "\u201d: " + g_strerror(error);
}

expected<void, std::string> makeFolders(const std::filesystem::path& folder) {
    std::filesystem::path made;
    for (const std::filesystem::path& part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), 0700) == 0) {
            if (::chmod(made.c_str(), 0700) != 0) {
                return unexpected(fileError("Could not protect the folder", made, errno));
            }
        } else if (errno != EEXIST) {
            return unexpected(fileError("Could not create the folder", made, errno));
        }
    }
    return {};
}

std::filesystem::path applicationFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

namespace {

bool emptyOwnFolder(int fd);

// Opens a folder the user owns for emptying, not through a link. A folder
// the user made read-only (an unpacked archive may) is first given back to
// its owner: its entries could not be removed otherwise. The mode is changed
// through the opened folder itself, so that no link is ever followed.
int openOwnFolder(int parent, const char* name) {
    const int path = ::openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (path < 0) {
        return -1;
    }
    struct stat st {};
    int fd = -1;
    if (::fstat(path, &st) == 0 && st.st_uid == ::getuid()) {
        const std::string self = "/proc/self/fd/" + std::to_string(path);
        if ((st.st_mode & 0700) != 0700) {
            ::chmod(self.c_str(), 0700);
        }
        fd = ::openat(path, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ::close(path);
    return fd;
}

// Empties the folder open as `fd` (which this takes) of what the user owns.
// Each step goes through the open folder, never through a path, so that a
// folder swapped for a link meanwhile is not followed.
bool emptyOwnFolder(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    bool empty = true;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue; // gone meanwhile
        }
        if (st.st_uid != ::getuid()) {
            empty = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int child = openOwnFolder(fd, name.c_str());
            if (child < 0 || !emptyOwnFolder(child) || ::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) {
                empty = false;
            }
        } else if (::unlinkat(fd, name.c_str(), 0) != 0) {
            empty = false;
        }
    }
    ::closedir(dir);
    return empty;
}

} // namespace

bool removeOwnTree(const std::filesystem::path& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    if (st.st_uid != ::getuid() || !S_ISDIR(st.st_mode)) {
        return false;
    }
    const int fd = openOwnFolder(AT_FDCWD, folder.c_str());
    if (fd < 0) {
        return false;
    }
    return emptyOwnFolder(fd) && ::rmdir(folder.c_str()) == 0;
}

} // namespace vorlia
