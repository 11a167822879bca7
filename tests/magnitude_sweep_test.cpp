// Every sum of three squared counts, from 0 to 3 * 2^30, one by one: the
// fast path's magnitudes against the definition's root and truncation of
// the exact scaled sum (that the definition's sum is the integer sum
// scaled is shown in magnitudes_test.cpp). The sums are taken in the runs
// that the reference maps to one result, found by bisection, so that the
// sweep itself computes only the fast path: about 6.4 billion roots, a
// long test of its own.
#include "convert/fast_magnitudes.h"

#include "support/reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

// The least sum in [0, SUM_OF_SQUARES_MAX + 1] whose result by `result`, a
// function that never falls as the sum grows, is `k` or more.
template <typename Result>
uint64_t first_sum_reaching(int k, Result result)
{
    uint64_t low = 0;
    uint64_t high = uint64_t{SUM_OF_SQUARES_MAX} + 1;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (result(static_cast<uint32_t>(middle)) >= k) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

// How many sums in [first, next) the fast path `fast` does not map to `k`.
template <typename Fast>
uint64_t misses(uint64_t first, uint64_t next, int k, Fast fast)
{
    uint64_t missed = 0;
    for (uint64_t n = first; n < next; ++n) {
        missed += fast(static_cast<uint32_t>(n)) != k;
    }
    return missed;
}

TEST(MagnitudeSweep, EveryAccelerationSumEqualsTheDefinition)
{
    const auto reference = [](uint32_t n) { return asvm_of_scaled_sum(std::ldexp(static_cast<double>(n), -26)); };
    uint64_t swept = 0;
    for (int k = 0; k <= ASVM_MAX; ++k) {
        const uint64_t first = first_sum_reaching(k, reference);
        const uint64_t next = first_sum_reaching(k + 1, reference);
        ASSERT_EQ(first, swept) << k;
        ASSERT_EQ(misses(first, next, k, asvm_of_sum), 0u) << "ASVM " << k << ", sums " << first << " to " << next;
        swept = next;
    }
    EXPECT_EQ(swept, uint64_t{SUM_OF_SQUARES_MAX} + 1);
}

TEST(MagnitudeSweep, EveryAngularRateSumEqualsTheDefinition)
{
    const auto reference = [](uint32_t n) {
        return gsvm_of_scaled_sum(std::ldexp(static_cast<double>(n) * 15625.0, -26));
    };
    uint64_t swept = 0;
    for (int k = 0; k <= GSVM_MAX; ++k) {
        const uint64_t first = first_sum_reaching(k, reference);
        const uint64_t next = first_sum_reaching(k + 1, reference);
        ASSERT_EQ(first, swept) << k;
        ASSERT_EQ(misses(first, next, k, gsvm_of_sum), 0u) << "GSVM " << k << ", sums " << first << " to " << next;
        swept = next;
    }
    EXPECT_EQ(swept, uint64_t{SUM_OF_SQUARES_MAX} + 1);
}

}  // namespace
