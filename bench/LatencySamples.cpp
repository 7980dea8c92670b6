#include "bench/LatencySamples.hpp"

#include <algorithm>
#include <cmath>

double LatencySamples::Percentile(double fraction) const {
    if (micros_.empty()) return 0.0;
    std::vector<double> sorted = micros_;
    std::sort(sorted.begin(), sorted.end());
    const double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
    const std::size_t index =
        std::min(sorted.size() - 1, static_cast<std::size_t>(std::max(rank, 1.0)) - 1);
    return sorted[index];
}
