#include "LatencyStats.h"

#include <gtest/gtest.h>

namespace kvload {
namespace {

TEST(LatencyStatsTest, NearestRankPercentiles)
{
    struct Case {
        std::uint64_t samples;
        double percent;
        std::uint64_t expected;
    };
    const Case table[] = {
        {100, 50, 50}, {100, 90, 90}, {100, 99, 99}, {100, 100, 100}, {100, 0, 1},
        {10, 90, 9},   {10, 99, 10},  {10, 50, 5},   {1, 50, 1},      {1, 99, 1},
        {1000, 99.9, 999}, {3, 50, 2},
    };
    for (const Case& c : table) {
        SCOPED_TRACE("samples 1.." + std::to_string(c.samples) + ", p" + std::to_string(c.percent));
        LatencyStats stats;
        // Recorded in reverse so the percentiles must sort them.
        for (std::uint64_t v = c.samples; v >= 1; --v) stats.record(v);
        EXPECT_EQ(c.expected, stats.percentile(c.percent));
        EXPECT_EQ(c.samples, stats.max());
    }
}

TEST(LatencyStatsTest, EmptyGivesZeroAndLaterSamplesCount)
{
    LatencyStats stats;
    EXPECT_EQ(0u, stats.percentile(50));
    EXPECT_EQ(0u, stats.max());
    stats.record(7);
    stats.record(3);
    EXPECT_EQ(7u, stats.max());
    stats.record(11);  // after a query the samples must be sorted again
    EXPECT_EQ(11u, stats.max());
    EXPECT_EQ(7u, stats.percentile(50));
}

}  // namespace
}  // namespace kvload
