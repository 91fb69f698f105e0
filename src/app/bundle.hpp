// The application folder: the folder that holds the running executable.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vorlia {

// The running executable, resolved through /proc/self/exe.
std::filesystem::path executablePath();

// The folder that holds the executable (the "bundle").
std::filesystem::path applicationFolder();

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path);

} // namespace vorlia
