// Median, min and max of the rounds of a benchmark.
#pragma once

#include <algorithm>
#include <vector>

namespace nuvbench {

struct Stat {
    double median, min, max;
};

inline Stat Summary(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

}  // namespace nuvbench
