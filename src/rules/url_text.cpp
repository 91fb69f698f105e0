#include "rules/url_text.hpp"

#include <algorithm>

namespace vorlia {

bool holdsOnlyURLCharacters(std::string_view text) {
    static constexpr std::string_view forbidden = "\"<>\\^`{|}";
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte >= 0x7f || forbidden.find(c) != std::string_view::npos;
    });
}

} // namespace vorlia
