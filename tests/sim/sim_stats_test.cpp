// The latency histogram and its percentiles.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "sim_engine.h"

namespace {

std::unique_ptr<LatencyHistogram> Histogram(std::initializer_list<std::uint64_t> values) {
    auto histogram = std::make_unique<LatencyHistogram>();
    for (const std::uint64_t value : values) {
        AddLatency(*histogram, value);
    }
    return histogram;
}

TEST(LatencyStats, EmptyHistogramGivesZero) {
    const auto histogram = Histogram({});
    EXPECT_EQ(LatencyPercentile(*histogram, 50), 0u);
    EXPECT_EQ(LatencyPercentile(*histogram, 99), 0u);
    EXPECT_EQ(histogram->maxMicros, 0u);
}

TEST(LatencyStats, NearestRankOnSmallValuesIsExact) {
    auto histogram = std::make_unique<LatencyHistogram>();
    for (std::uint64_t value = 100; value >= 1; --value) {  // order must not matter
        AddLatency(*histogram, value);
    }
    struct Case {
        double percent;
        std::uint64_t expected;
    };
    const Case cases[] = {{0, 1}, {1, 1}, {1.5, 2}, {50, 50}, {50.1, 51}, {99, 99}, {100, 100}};
    for (const Case& test : cases) {
        EXPECT_EQ(LatencyPercentile(*histogram, test.percent), test.expected) << test.percent;
    }
    EXPECT_EQ(histogram->total, 100u);
    EXPECT_EQ(histogram->maxMicros, 100u);
}

TEST(LatencyStats, OneSlowSampleShowsOnlyAtTheTop) {
    // 99 fast relays and one stall: p50 and p99 stay fast, the maximum is the stall.
    auto histogram = std::make_unique<LatencyHistogram>();
    for (int count = 0; count < 99; ++count) {
        AddLatency(*histogram, 40);
    }
    AddLatency(*histogram, 250000);
    EXPECT_EQ(LatencyPercentile(*histogram, 50), 40u);
    EXPECT_EQ(LatencyPercentile(*histogram, 99), 40u);
    EXPECT_EQ(LatencyPercentile(*histogram, 99.5), 250000u);
    EXPECT_EQ(histogram->maxMicros, 250000u);
}

TEST(LatencyStats, LargeValuesStayWithinTheirBucketAndUnderTheMaximum) {
    for (const std::uint64_t value :
         {128ull, 129ull, 1000ull, 4095ull, 4096ull, 123456789ull, 1ull << 40, ~0ull}) {
        // With the maximum far above, the median is the top of the sample's bucket: never
        // below the sample and within 1/64 of it.
        if (value != ~0ull) {
            const auto spread = Histogram({value, value, ~0ull});
            const std::uint64_t top = LatencyPercentile(*spread, 50);
            EXPECT_GE(top, value) << value;
            EXPECT_LE(top - value, value / 64) << value;
        }
        // With the sample the maximum, the top of its bucket is clamped to it.
        const auto histogram = Histogram({value, value});
        EXPECT_EQ(LatencyPercentile(*histogram, 50), value) << value;
    }
}

TEST(LatencyStats, BucketsCoverEveryValueInOrder) {
    EXPECT_EQ(LatencyBucket(0), 0);
    EXPECT_EQ(LatencyBucket(127), 127);
    EXPECT_EQ(LatencyBucket(~0ull), LATENCY_BUCKETS - 1);
    for (int bucket = 0; bucket + 1 < LATENCY_BUCKETS; ++bucket) {
        const std::uint64_t top = LatencyBucketTop(bucket);
        ASSERT_EQ(LatencyBucket(top), bucket) << bucket;
        ASSERT_EQ(LatencyBucket(top + 1), bucket + 1) << bucket;
    }
    // Relative width of a bucket above the exact range: at most 1/64.
    for (int bucket = LATENCY_EXACT_BELOW; bucket + 1 < LATENCY_BUCKETS; ++bucket) {
        const double bottom = static_cast<double>(LatencyBucketTop(bucket - 1) + 1);
        const double top = static_cast<double>(LatencyBucketTop(bucket));
        ASSERT_LE((top - bottom) / bottom, 1.0 / 64) << bucket;
    }
}

TEST(LatencyStats, MergeAddsCountsAndKeepsTheLargerMaximum) {
    auto into = Histogram({10, 20});
    const auto from = Histogram({30, 5000});
    MergeLatency(*into, *from);
    EXPECT_EQ(into->total, 4u);
    EXPECT_EQ(into->maxMicros, 5000u);
    EXPECT_EQ(LatencyPercentile(*into, 50), 20u);
    EXPECT_EQ(LatencyPercentile(*into, 75), 30u);
}

TEST(LatencyStats, LossRatio) {
    EXPECT_EQ(LossRatio(0, 0), 0);
    EXPECT_EQ(LossRatio(100, 100), 0);
    EXPECT_EQ(LossRatio(100, 120), 0);  // more than expected is never negative loss
    EXPECT_DOUBLE_EQ(LossRatio(200, 150), 0.25);
    EXPECT_DOUBLE_EQ(LossRatio(8, 0), 1);
}

}  // namespace
