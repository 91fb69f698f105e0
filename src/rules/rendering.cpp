#include "rules/rendering.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace vorlia {

bool isSoftwareRasterizer(std::string_view glRenderer) {
    std::string lower(glRenderer);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    constexpr std::array<std::string_view, 6> names = {
        "llvmpipe", "softpipe", "swrast", "software rasterizer", "swiftshader", "lavapipe"};
    return std::any_of(names.begin(), names.end(),
                       [&lower](std::string_view name) { return lower.find(name) != std::string::npos; });
}

} // namespace vorlia
