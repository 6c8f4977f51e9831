// Median, min and max of the rounds of a benchmark, and its targets: every
// target is judged through Target(), which prints nothing itself but keeps
// count of the misses, and main returns ExitStatus(), non-zero when a target
// was missed, so that a miss never goes unnoticed.
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

inline int& MissedTargets() {
    static int missed = 0;
    return missed;
}

// The word to print beside a target: "met", or "NOT met" (counted as a miss).
inline char const* Target(bool met) {
    if (!met) ++MissedTargets();
    return met ? "met" : "NOT met";
}

// The exit status of a benchmark: 0 when every target was met and the run
// itself went through (`ran`), 1 otherwise.
inline int ExitStatus(bool ran = true) { return ran && MissedTargets() == 0 ? 0 : 1; }

}  // namespace nuvbench
