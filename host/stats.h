// Order statistics of a run's figures: the median of a sample.
#ifndef CIRCUIT_HOST_STATS_H
#define CIRCUIT_HOST_STATS_H

#include <algorithm>
#include <vector>

namespace host {

// The middle value, or the mean of the two middle values; 0 for none.
inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace host

#endif // CIRCUIT_HOST_STATS_H
