#include "LatencyStats.h"

#include <algorithm>
#include <cmath>

namespace kvload {

void LatencyStats::sort()
{
    if (!sorted_) std::sort(samples_.begin(), samples_.end());
    sorted_ = true;
}

std::uint64_t LatencyStats::percentile(double percent)
{
    if (samples_.empty()) return 0;
    sort();
    const double clamped = std::min(100.0, std::max(0.0, percent));
    // The small allowance keeps products such as 90 % of 10 from rounding up past an exact rank.
    const double exact_rank = clamped * static_cast<double>(samples_.size()) / 100.0;
    std::size_t rank = static_cast<std::size_t>(std::ceil(exact_rank - 1e-9));
    if (rank == 0) rank = 1;
    return samples_[rank - 1];
}

std::uint64_t LatencyStats::max()
{
    return percentile(100.0);
}

}  // namespace kvload
