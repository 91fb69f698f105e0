#include "app/bundle.hpp"

#include <fstream>
#include <sstream>

namespace vorlia {

std::filesystem::path executablePath() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::filesystem::path applicationFolder() {
    return executablePath().parent_path();
}

std::optional<std::string> readWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(out).str();
}

} // namespace vorlia
