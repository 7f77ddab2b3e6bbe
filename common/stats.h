// Robust figures of a set of timings, for the host and circuit_bench: the
// median, the median absolute deviation (the noise one stalled call cannot
// inflate, unlike the range or the standard deviation) and a low percentile
// (a best figure one lucky or miscounted call cannot make). Each takes its
// samples by value and leaves the caller's order alone; an empty set gives 0.
// Debian's Boost.Math (1.74) has the same functions, but its median absolute
// deviation returns the element at the median distance instead of the
// distance, and it needs an include directory of its own for mingw; these
// few lines are simpler than working around both.
#ifndef CIRCUIT_COMMON_STATS_H
#define CIRCUIT_COMMON_STATS_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace stats {

// The p-th percentile (0 to 100), interpolated between the two nearest order
// statistics (p = 50 is the median of an even count: the mean of the middle two).
inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    const double rank = std::min(100.0, std::max(0.0, p)) / 100.0 * static_cast<double>(v.size() - 1);
    const size_t low = static_cast<size_t>(std::floor(rank));
    std::nth_element(v.begin(), v.begin() + low, v.end());
    const double a = v[low];
    if (low + 1 >= v.size()) return a;
    const double b = *std::min_element(v.begin() + low + 1, v.end());
    return a + (b - a) * (rank - static_cast<double>(low));
}

inline double median(std::vector<double> v) { return percentile(std::move(v), 50); }

// The median of the distances from the median (not scaled to a normal
// distribution's standard deviation).
inline double medianAbsoluteDeviation(std::vector<double> v) {
    const double m = median(v);
    for (double& x : v) x = std::fabs(x - m);
    return median(std::move(v));
}

} // namespace stats

#endif // CIRCUIT_COMMON_STATS_H
