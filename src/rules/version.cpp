#include "rules/version.hpp"

#include <algorithm>
#include <charconv>

namespace vorlia {
namespace {

std::int64_t pieceValue(std::string_view piece) {
    std::string_view digits = piece;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    // from_chars takes a leading minus but not a plus; keeping the minus lets
    // the most negative value parse.
    const std::string_view text = piece.front() == '-' ? piece : digits;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return 0;
    }
    return value;
}

} // namespace

std::vector<std::int64_t> versionNumbers(std::string_view text) {
    std::vector<std::int64_t> numbers;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        if (dot > start) {
            numbers.push_back(pieceValue(text.substr(start, dot - start)));
        }
        start = dot + 1;
    }
    return numbers;
}

bool isNewer(std::string_view a, std::string_view b) {
    const std::vector<std::int64_t> x = versionNumbers(a);
    const std::vector<std::int64_t> y = versionNumbers(b);
    for (std::size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
        const std::int64_t p = i < x.size() ? x[i] : 0;
        const std::int64_t q = i < y.size() ? y[i] : 0;
        if (p != q) {
            return p > q;
        }
    }
    return false;
}

} // namespace vorlia
