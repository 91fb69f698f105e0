#include "base/files.hpp"

#include "base/handle.hpp"

#include <sys/stat.h>

#include <cerrno>

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

} // namespace vorlia
