// Version order over arbitrary texts: never crashes, and behaves as an order
// (irreflexive, asymmetric, transitive, blind to trailing zeros), with each
// piece read exactly as a signed 64-bit decimal or 0.
#include "rules/version.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

// An independent reading of one piece: optional sign, digits, no overflow.
std::int64_t referencePiece(const std::string& piece) {
    std::size_t i = 0;
    bool negative = false;
    if (i < piece.size() && (piece[i] == '+' || piece[i] == '-')) {
        negative = piece[i] == '-';
        ++i;
    }
    if (i == piece.size()) {
        return 0;
    }
    // Accumulate toward the sign so that the most negative value fits.
    std::int64_t value = 0;
    for (; i < piece.size(); ++i) {
        const char c = piece[i];
        if (c < '0' || c > '9') {
            return 0;
        }
        const int digit = c - '0';
        if (negative) {
            if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10) {
                return 0;
            }
            value = value * 10 - digit;
        } else {
            if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) {
                return 0;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

std::vector<std::int64_t> reference(const std::string& text) {
    std::vector<std::int64_t> numbers;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t dot = text.find('.', start);
        const std::size_t end = dot == std::string::npos ? text.size() : dot;
        if (end > start) {
            numbers.push_back(referencePiece(text.substr(start, end - start)));
        }
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return numbers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> v;
    std::size_t start = 0;
    for (int k = 0; k < 2; ++k) {
        const std::size_t nl = input.find('\n', start);
        if (nl == std::string::npos) {
            break;
        }
        v.push_back(input.substr(start, nl - start));
        start = nl + 1;
    }
    v.push_back(input.substr(start));
    while (v.size() < 3) {
        v.push_back(v.back() + ".0");
    }
    const std::string& a = v[0];
    const std::string& b = v[1];
    const std::string& c = v[2];

    if (vorlia::versionNumbers(a) != reference(a)) {
        std::abort();
    }
    if (vorlia::isNewer(a, a) || vorlia::isNewer(a, a + ".0") || vorlia::isNewer(a + ".0", a)) {
        std::abort();
    }
    if (vorlia::isNewer(a, b) && vorlia::isNewer(b, a)) {
        std::abort();
    }
    if (vorlia::isNewer(a, b) && vorlia::isNewer(b, c) && !vorlia::isNewer(a, c)) {
        std::abort();
    }
    return 0;
}
