// Statistics of a run's figures: the order statistics of common/stats.h and
// the Mann-Whitney U test with which --compare tells a change from noise.
#ifndef CIRCUIT_HOST_STATS_H
#define CIRCUIT_HOST_STATS_H

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "../common/stats.h"

namespace host {

using stats::median;
using stats::medianAbsoluteDeviation;
using stats::percentile;

// Fewest calls per run for which the U test is asked at all.
constexpr size_t kMinTestedCalls = 9;

// The two-sided p-value of a Mann-Whitney U test of `a` against `b`: how
// likely two samples of one distribution differ as much as these do. The
// normal approximation with the correction for ties and for continuity
// (exact enough above a few dozen calls, which is what a run saves). NaN
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

} // namespace host

#endif // CIRCUIT_HOST_STATS_H
