#pragma once

#include <cstdint>
#include <vector>

namespace kvload {

// Collects the latency of every finished request and reports nearest-rank percentiles.
class LatencyStats {
public:
    void reserve(std::size_t count) { samples_.reserve(count); }
    void record(std::uint64_t nanoseconds) { samples_.push_back(nanoseconds); sorted_ = false; }
    std::size_t count() const { return samples_.size(); }

    // Smallest sample such that at least `percent` % of all samples are at or below it; 0 when empty.
    std::uint64_t percentile(double percent);
    std::uint64_t max();

private:
    void sort();

    std::vector<std::uint64_t> samples_;
    bool sorted_ = true;
};

}  // namespace kvload
