#include "magnitudes.h"

#include "frame_gen.h"
#include "support/reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

namespace {

// The six axes of a sample: AX, AY, AZ, GX, GY, GZ.
using axes = std::array<int16_t, 6>;

// The magnitudes of `a` by their definition.
std::pair<int, int> reference_magnitudes(const axes& a)
{
    return {asvm_by_definition(a[0], a[1], a[2]), gsvm_by_definition(a[3], a[4], a[5])};
}

// What magnitudes_of_frame gives for a frame whose nine samples hold
// `samples`, and what the definition gives, sample by sample.
::testing::AssertionResult frame_matches_definition(const std::array<axes, 9>& samples)
{
    gen_frame frame = make_frame(1, 0);
    for (int i = 0; i < 9; ++i) {
        const axes& a = samples[i];
        frame.samples[i] = gen_sample{0, a[0], a[1], a[2], a[3], a[4], a[5]};
    }
    const std::string bytes = frame_bytes(frame);
    const frame_magnitudes m =
        magnitudes_of_frame(reinterpret_cast<const unsigned char*>(bytes.data()) + FRAME_HEADER_SIZE);
    for (int i = 0; i < 9; ++i) {
        const std::pair<int, int> exact = reference_magnitudes(samples[i]);
        if (m.asvm[i] != exact.first || m.gsvm[i] != exact.second) {
            const axes& a = samples[i];
            return ::testing::AssertionFailure()
                   << "(" << a[0] << ", " << a[1] << ", " << a[2] << ", " << a[3] << ", " << a[4] << ", " << a[5]
                   << "): " << m.asvm[i] << ", " << m.gsvm[i] << " instead of " << exact.first << ", " << exact.second;
        }
    }
    return ::testing::AssertionSuccess();
}

struct magnitude_case {
    int16_t x, y, z;
    int expected;
};

// The magnitudes of a frame whose samples hold the cases' values on the
// accelerometer (or the gyroscope) and zeros on the other three axes.
frame_magnitudes frame_of_cases(const magnitude_case (&cases)[9], bool gyroscope)
{
    gen_frame frame = make_frame(1, 0);
    for (int i = 0; i < 9; ++i) {
        const magnitude_case& c = cases[i];
        frame.samples[i] = gyroscope ? gen_sample{0, 0, 0, 0, c.x, c.y, c.z} : gen_sample{0, c.x, c.y, c.z, 0, 0, 0};
    }
    const std::string bytes = frame_bytes(frame);
    return magnitudes_of_frame(reinterpret_cast<const unsigned char*>(bytes.data()) + FRAME_HEADER_SIZE);
}

TEST(FrameMagnitudes, AccelerationInHundredthsOf8192Counts)
{
    const magnitude_case cases[9] = {
        {8192, 0, 0, 100},          {-8192, 0, 0, 100}, {8192, 8192, 0, 141},
        {4096, 4096, 4096, 86},     {100, 200, 300, 4}, {-32768, -32768, -32768, 692},
        {32767, 32767, 32767, 692}, {0, 0, 0, 0},       {0, 0, 8192, 100},
    };
    const frame_magnitudes m = frame_of_cases(cases, false);
    for (int i = 0; i < 9; ++i) {
        const magnitude_case& c = cases[i];
        EXPECT_EQ(m.asvm[i], c.expected) << "(" << c.x << ", " << c.y << ", " << c.z << ")";
        EXPECT_EQ(m.gsvm[i], 0);
    }
}

TEST(FrameMagnitudes, AngularRateInUnitsOf65536Thousandths)
{
    const magnitude_case cases[9] = {
        {6554, 0, 0, 100},       {6553, 0, 0, 99},   {65, 0, 0, 0},
        {66, 0, 0, 1},           {32767, 0, 0, 499}, {-32768, -32768, -32768, 866},
        {1000, -2000, 3000, 57}, {0, 0, -6554, 100}, {0, 0, 0, 0},
    };
    const frame_magnitudes m = frame_of_cases(cases, true);
    for (int i = 0; i < 9; ++i) {
        const magnitude_case& c = cases[i];
        EXPECT_EQ(m.gsvm[i], c.expected) << "(" << c.x << ", " << c.y << ", " << c.z << ")";
        EXPECT_EQ(m.asvm[i], 0);
    }
}

// The bits of a double, so that equality means the very same value.
uint64_t bits_of(double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(FastMagnitudes, GyroscopeQuotientsAndSquaresAreExactForEveryCount)
{
    // The double quotient by 65.536 is g * 1000 * 2^-16 itself, and its
    // square the integer g^2 * 15625 times 2^-26.
    for (int count = -32768; count <= 32767; ++count) {
        const double units = count / 65.536;
        ASSERT_EQ(bits_of(units), bits_of(std::ldexp(count * 1000.0, -16))) << count;
        ASSERT_EQ(bits_of(units * units), bits_of(std::ldexp(static_cast<double>(count * count) * 15625.0, -26)))
            << count;
    }
}

TEST(FastMagnitudes, AccelerationSquaresAreExactForEveryCount)
{
    for (int count = -32768; count <= 32767; ++count) {
        const double scaled = count * 0x1p-13;
        ASSERT_EQ(bits_of(scaled * scaled), bits_of(std::ldexp(static_cast<double>(count * count), -26))) << count;
    }
}

TEST(FastMagnitudes, TheDefinitionsSumsAreTheIntegerSumsScaled)
{
    // No addition of the definition rounds: for every count beside the
    // extremes and beside itself, the double sum in the order X, Y, Z is
    // the integer sum of squares times the scale.
    const auto accel_sum = [](int x, int y, int z) {
        const double a = x * 0x1p-13, b = y * 0x1p-13, c = z * 0x1p-13;
        return a * a + b * b + c * c;
    };
    const auto gyro_sum = [](int x, int y, int z) {
        const double a = x / 65.536, b = y / 65.536, c = z / 65.536;
        return a * a + b * b + c * c;
    };
    for (int c = -32768; c <= 32767; ++c) {
        const int triples[][3] = {{c, -32768, -32768}, {-32768, c, 32767}, {32767, 32767, c}, {c, c, c}, {1, c, -3}};
        for (const auto& t : triples) {
            const uint32_t n = sum_of_squares(t[0], t[1], t[2]);
            ASSERT_EQ(bits_of(accel_sum(t[0], t[1], t[2])), bits_of(std::ldexp(static_cast<double>(n), -26)))
                << t[0] << ", " << t[1] << ", " << t[2];
            ASSERT_EQ(bits_of(gyro_sum(t[0], t[1], t[2])), bits_of(std::ldexp(static_cast<double>(n) * 15625.0, -26)))
                << t[0] << ", " << t[1] << ", " << t[2];
        }
    }
}

TEST(FastMagnitudes, EqualTheDefinitionForEverySumOfSquares)
{
    // By the tests above, the definition's sum is the integer sum times
    // 2^-26 (times 15625 for the gyroscope), so the definition of a sample is
    // a function of its integer sum: the reference below. It never falls as
    // the sum grows, nor does the fast path: both are chains of conversions,
    // exact scalings, correctly rounded roots and products and a
    // truncation, each of which keeps order. Two such step functions agree
    // on every sum from 0 to SUM_OF_SQUARES_MAX when they agree at both ends
    // of every run of sums that the reference maps to one result, and that
    // is checked here for every result. The sweep of every sum, one by one,
    // is the long test magnitude_sweep_test.cpp.
    struct magnitude {
        const char* name;
        int (*reference)(uint32_t);
        int (*fast)(uint32_t);
        int max;
    };
    const magnitude magnitudes[] = {
        {"ASVM", asvm_of_integer_sum, asvm_of_sum, ASVM_MAX},
        {"GSVM", gsvm_of_integer_sum, gsvm_of_sum, GSVM_MAX},
    };
    const uint64_t end = uint64_t{SUM_OF_SQUARES_MAX} + 1;
    for (const magnitude& m : magnitudes) {
        for (int k = 0; k <= m.max; ++k) {
            const uint64_t first = first_sum_reaching(k, m.reference, end);
            const uint64_t next = first_sum_reaching(k + 1, m.reference, end);
            ASSERT_LT(first, next) << m.name << " " << k;
            ASSERT_EQ(m.fast(static_cast<uint32_t>(first)), k) << m.name << " " << first;
            ASSERT_EQ(m.fast(static_cast<uint32_t>(next - 1)), k) << m.name << " " << next - 1;
            ASSERT_EQ(m.reference(static_cast<uint32_t>(next - 1)), k) << m.name << " " << next - 1;
            ASSERT_TRUE(k < m.max ? next < end : next == end) << m.name << " " << k;
        }
    }
    // And sum by sum where most samples lie, near rest.
    for (uint32_t n = 0; n < (1u << 22); ++n) {
        ASSERT_EQ(asvm_of_sum(n), asvm_of_integer_sum(n)) << n;
        ASSERT_EQ(gsvm_of_sum(n), gsvm_of_integer_sum(n)) << n;
    }
}

TEST(FrameMagnitudes, EqualTheDefinitionForEveryValueOfEachAxis)
{
    // Nine counts to a frame, each on its own sample.
    for (int axis = 0; axis < 6; ++axis) {
        for (int first = -32768; first <= 32767; first += 9) {
            std::array<axes, 9> samples = {};
            for (int i = 0; i < 9; ++i) {
                samples[i][axis] = static_cast<int16_t>(std::min(first + i, 32767));
            }
            ASSERT_TRUE(frame_matches_definition(samples));
        }
    }
}

TEST(FrameMagnitudes, EqualTheDefinitionForRandomSamples)
{
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> small(-600, 600);
    for (int f = 0; f < 2000000 / 9; ++f) {
        // Half the frames over the whole range, half near rest, where most
        // values lie.
        std::uniform_int_distribution<int>& d = (f % 2 == 0) ? any : small;
        std::array<axes, 9> samples;
        for (axes& a : samples) {
            for (int16_t& value : a) {
                value = static_cast<int16_t>(d(rng));
            }
        }
        ASSERT_TRUE(frame_matches_definition(samples));
    }
}

}  // namespace
