// Robust figures of a set of timings, the one statistics header of the
// host (and of whatever else times code here): the median, the median
// absolute deviation (the noise one stalled call cannot inflate, unlike the
// range or the standard deviation), percentiles (a low figure one lucky or
// miscounted call cannot make), the Mann-Whitney U test with which --compare
// tells a change from noise, and Holm's correction of several such tests.
// Each takes its samples by value and leaves the caller's order alone; an
// empty set gives 0.
// Debian's Boost.Math (1.74) has the order statistics, but its median
// absolute deviation returns the element at the median distance instead of
// the distance, and it needs an include directory of its own for mingw;
// these few lines are simpler than working around both.
#ifndef CIRCUIT_COMMON_STATS_H
#define CIRCUIT_COMMON_STATS_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
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

// Fewest figures per sample for which the U test is asked at all.
constexpr size_t kMinTestedCalls = 9;

// The two-sided p-value of a Mann-Whitney U test of `a` against `b`: how
// likely two samples of one distribution differ as much as these do. The
// normal approximation with the correction for ties and for continuity
// (exact enough above a few dozen figures, which is what a run saves). NaN
// when either sample has fewer than kMinTestedCalls figures.
inline double mannWhitneyP(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() < kMinTestedCalls || b.size() < kMinTestedCalls) return NAN;
    std::vector<std::pair<double, int>> all;
    for (double v : a) all.push_back({v, 0});
    for (double v : b) all.push_back({v, 1});
    std::sort(all.begin(), all.end());
    const double n1 = static_cast<double>(a.size()), n2 = static_cast<double>(b.size()), n = n1 + n2;
    double rankSumA = 0, ties = 0;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        while (j < all.size() && all[j].first == all[i].first) ++j;
        const double rank = (static_cast<double>(i + j) + 1) / 2, t = static_cast<double>(j - i);
        for (size_t k = i; k < j; ++k)
            if (all[k].second == 0) rankSumA += rank;
        ties += t * t * t - t;
        i = j;
    }
    const double u = rankSumA - n1 * (n1 + 1) / 2, mean = n1 * n2 / 2;
    const double variance = n1 * n2 / 12 * ((n + 1) - ties / (n * (n - 1)));
    if (!(variance > 0)) return 1;
    const double z = std::max(0.0, std::fabs(u - mean) - 0.5) / std::sqrt(variance);
    return std::erfc(z / std::sqrt(2.0));
}

// Holm's step-down correction of m p-values tested together: the k-th
// smallest is multiplied by m - k + 1 (k from 1), never below the one
// before it, at most 1. A corrected p below a level rejects at that level
// with the chance of any false "change" among the m held to the level.
// NaN (untested) stays NaN and does not count in m.
inline std::vector<double> holm(std::vector<double> p) {
    std::vector<size_t> order;
    for (size_t i = 0; i < p.size(); ++i)
        if (!std::isnan(p[i])) order.push_back(i);
    std::sort(order.begin(), order.end(), [&](size_t x, size_t y) { return p[x] < p[y]; });
    double previous = 0;
    for (size_t k = 0; k < order.size(); ++k) {
        const double scaled = std::min(1.0, p[order[k]] * static_cast<double>(order.size() - k));
        previous = std::max(previous, scaled);
        p[order[k]] = previous;
    }
    return p;
}

} // namespace stats

#endif // CIRCUIT_COMMON_STATS_H
