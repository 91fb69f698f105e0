// The median of the benchmarks' figures: the middle one, or for an even
// count the mean of the two in the middle; 0 for none.
#pragma once

#include <algorithm>
#include <vector>

namespace vorlia::test {

inline double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace vorlia::test
