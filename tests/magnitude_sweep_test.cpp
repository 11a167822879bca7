// Every sum of three squared counts, from 0 to 3 * 2^30, one by one: the
// fast path's magnitudes against the definition's root and truncation of
// the exact scaled sum (that the definition's sum is the integer sum
// scaled is shown in magnitudes_test.cpp). The sums are taken in the runs
// that the reference maps to one result, found by bisection, so that the
// sweep itself computes only the fast path: about 6.4 billion roots, a
// long test of its own.
#include "magnitudes.h"

#include "support/reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

namespace {

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

// Checks `fast` against `reference` for every sum, run by run of the
// results 0 to `max`.
template <typename Fast>
void sweep(const char* name, int (*reference)(uint32_t), Fast fast, int max)
{
    const uint64_t end = uint64_t{SUM_OF_SQUARES_MAX} + 1;
    uint64_t swept = 0;
    for (int k = 0; k <= max; ++k) {
        const uint64_t first = first_sum_reaching(k, reference, end);
        const uint64_t next = first_sum_reaching(k + 1, reference, end);
        ASSERT_EQ(first, swept) << name << " " << k;
        ASSERT_EQ(misses(first, next, k, fast), 0u) << name << " " << k << ", sums " << first << " to " << next;
        swept = next;
    }
    EXPECT_EQ(swept, end) << name;
}

TEST(MagnitudeSweep, EveryAccelerationSumEqualsTheDefinition)
{
    sweep(
        "ASVM", asvm_of_integer_sum, [](uint32_t n) { return asvm_of_sum(n); }, ASVM_MAX);
}

TEST(MagnitudeSweep, EveryAngularRateSumEqualsTheDefinition)
{
    sweep(
        "GSVM", gsvm_of_integer_sum, [](uint32_t n) { return gsvm_of_sum(n); }, GSVM_MAX);
}

}  // namespace
