#include "base/files.hpp"

#include "base/handle.hpp"

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

std::filesystem::path applicationFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

} // namespace vorlia
