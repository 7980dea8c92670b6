#pragma once

#include <cstddef>
#include <vector>

// Round-trip times in microseconds, and their order statistics.
class LatencySamples {
public:
    void Reserve(std::size_t count) { micros_.reserve(count); }
    void Add(double micros) { micros_.push_back(micros); }
    void Append(const LatencySamples& other) {
        micros_.insert(micros_.end(), other.micros_.begin(), other.micros_.end());
    }
    std::size_t Count() const { return micros_.size(); }

    double Median() const { return Percentile(0.5); }
    // The sample below which the given fraction of all samples lies (nearest rank); 0 when
    // there are none.
    double Percentile(double fraction) const;

private:
    std::vector<double> micros_;
};
