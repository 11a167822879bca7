#include "convert/fast_magnitudes.h"

#include "frame_gen.h"

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

// The magnitudes of `a` by their definition, in double precision, worked out
// here apart from the program's code.
std::pair<int, int> reference_magnitudes(const axes& a)
{
    const double ax = a[0] / 8192.0, ay = a[1] / 8192.0, az = a[2] / 8192.0;
    const double gx = a[3] / 65.536, gy = a[4] / 65.536, gz = a[5] / 65.536;
    return {static_cast<int>(std::sqrt(ax * ax + ay * ay + az * az) * 100.0),
            static_cast<int>(std::sqrt(gx * gx + gy * gy + gz * gz))};
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
                   << "(" << a[0] << ", " << a[1] << ", " << a[2] << ", " << a[3] << ", " << a[4] << ", "
                   << a[5] << "): " << m.asvm[i] << ", " << m.gsvm[i] << " instead of " << exact.first << ", "
                   << exact.second;
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
        {8192, 0, 0, 100},          {-8192, 0, 0, 100},          {8192, 8192, 0, 141},
        {4096, 4096, 4096, 86},     {100, 200, 300, 4},          {-32768, -32768, -32768, 692},
        {32767, 32767, 32767, 692}, {0, 0, 0, 0},                {0, 0, 8192, 100},
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
        {6554, 0, 0, 100},   {6553, 0, 0, 99},    {65, 0, 0, 0},
        {66, 0, 0, 1},       {32767, 0, 0, 499},  {-32768, -32768, -32768, 866},
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

TEST(FastMagnitudes, GyroscopeSquaresAreTheDoubleQuotientSquaredForEveryCount)
{
    for (int count = -32768; count <= 32767; ++count) {
        const double units = count / GYRO_SCALE;
        ASSERT_EQ(bits_of(gyro_square(static_cast<int16_t>(count))), bits_of(units * units))
            << count;
    }
}

TEST(FastMagnitudes, AccelerationSquaresAreExactForEveryCount)
{
    // Each scaled square is the integer square times 2^-26, with nothing
    // rounded away, which is what makes the integer sum the double sum.
    const double unit = 1.0 / ACCEL_SCALE;
    for (int count = -32768; count <= 32767; ++count) {
        const double scaled = count * unit;
        ASSERT_EQ(bits_of(scaled * scaled), bits_of(std::ldexp(static_cast<double>(count * count), -26)))
            << count;
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

TEST(FastMagnitudes, AccelerationEqualsTheDefinitionAroundEveryStepOfTheResult)
{
    // The definition's root of its scaled sum, which is exactly the integer
    // sum times 2^-26: the scaled squares are exact (above), and three
    // multiples of 2^-26 below 2^6 add up without rounding.
    const auto exact = [](uint32_t sum) {
        return static_cast<int>(std::sqrt(std::ldexp(static_cast<double>(sum), -26)) * 100.0);
    };
    for (uint32_t sum = 0; sum < (1u << 20); ++sum) {
        ASSERT_EQ(acceleration_magnitude(sum), exact(sum)) << sum;
    }
    // Where the result steps from k - 1 to k, the sum is near (81.92 k)^2.
    const uint32_t max_sum = 3u * 32768u * 32768u;
    for (int k = 1; k <= 693; ++k) {
        const double step = 81.92 * k;
        const uint32_t centre = static_cast<uint32_t>(step * step);
        for (uint32_t sum = centre - 4096; sum <= centre + 4096 && sum <= max_sum; ++sum) {
            ASSERT_EQ(acceleration_magnitude(sum), exact(sum)) << sum;
        }
    }
    EXPECT_EQ(acceleration_magnitude(max_sum), exact(max_sum));
}

TEST(FastMagnitudes, ThresholdsAreWhereTheDefinitionStepsUp)
{
    // Each threshold reaches its result and the sum just below it does not;
    // the first is zero, and the last lie beyond every sum a sample can have.
    const uint32_t max_accel = 3u * 32768u * 32768u;
    const double max_gyro = gyro_sum(-32768, -32768, -32768);
    EXPECT_EQ(asvm_by_definition(max_accel), ASVM_MAX);
    EXPECT_EQ(gsvm_by_definition(max_gyro), GSVM_MAX);
    EXPECT_EQ(MAGNITUDE_THRESHOLDS.asvm[0], 0u);
    EXPECT_EQ(MAGNITUDE_THRESHOLDS.gsvm[0], 0.0);
    EXPECT_GT(MAGNITUDE_THRESHOLDS.asvm[ASVM_MAX + 1], max_accel);
    EXPECT_GT(MAGNITUDE_THRESHOLDS.gsvm[GSVM_MAX + 1], max_gyro);
    for (int k = 1; k <= ASVM_MAX + 2; ++k) {
        const uint32_t t = MAGNITUDE_THRESHOLDS.asvm[k];
        ASSERT_EQ(asvm_by_definition(t), k) << k;
        ASSERT_EQ(asvm_by_definition(t - 1), k - 1) << k;
    }
    for (int k = 1; k <= GSVM_MAX + 2; ++k) {
        const double t = MAGNITUDE_THRESHOLDS.gsvm[k];
        ASSERT_EQ(gsvm_by_definition(t), k) << k;
        ASSERT_EQ(gsvm_by_definition(std::nextafter(t, 0.0)), k - 1) << k;
    }
}

TEST(FastMagnitudes, EstimatesAreWithinOneOfTheResultForEverySum)
{
    // Both an estimate and the result never fall as the sum grows, so over
    // the sums whose result is k the estimate runs from its value at the
    // threshold of k to its value just below the threshold of k + 1; those
    // two within one of k make every sum's estimate so, and then the
    // correction by the thresholds gives the result itself.
    const uint32_t* a = MAGNITUDE_THRESHOLDS.asvm;
    for (int k = 0; k <= ASVM_MAX; ++k) {
        ASSERT_GE(asvm_estimate(a[k]), k - 1) << k;
        ASSERT_LE(asvm_estimate(a[k + 1] - 1), k + 1) << k;
        ASSERT_EQ(acceleration_magnitude(a[k]), k) << k;
        ASSERT_EQ(acceleration_magnitude(a[k + 1] - 1), k) << k;
    }
    const double* g = MAGNITUDE_THRESHOLDS.gsvm;
    for (int k = 0; k <= GSVM_MAX; ++k) {
        const double below_next = std::nextafter(g[k + 1], 0.0);
        ASSERT_GE(gsvm_estimate(g[k]), k - 1) << k;
        ASSERT_LE(gsvm_estimate(below_next), k + 1) << k;
        ASSERT_EQ(angular_rate_magnitude(g[k]), k) << k;
        ASSERT_EQ(angular_rate_magnitude(below_next), k) << k;
    }
    // Monotonic as claimed, checked on a sweep of sums of each kind.
    int last_a = 0;
    int last_g = 0;
    for (uint32_t sum = 0; sum <= 3u * 32768u * 32768u - 65521u; sum += 65521u) {
        const int e = asvm_estimate(sum);
        const int f = gsvm_estimate(sum / 4096.0);
        ASSERT_GE(e, last_a) << sum;
        ASSERT_GE(f, last_g) << sum;
        last_a = e;
        last_g = f;
    }
}

TEST(FastMagnitudes, GuessesThatAgreeAreTheResultForEverySum)
{
    // Both guesses never fall as the sum grows. If the lower guess just
    // below each threshold is under its k, no smaller sum agrees on k; if
    // the upper guess at each threshold is k or more, no sum at or above it
    // agrees on less. So two guesses that agree are the result.
    const uint32_t* a = MAGNITUDE_THRESHOLDS.asvm;
    for (int k = 1; k <= ASVM_MAX + 1; ++k) {
        ASSERT_LT(lower_guess(asvm_root_estimate(a[k] - 1)), k) << k;
        ASSERT_GE(upper_guess(asvm_root_estimate(a[k])), k) << k;
    }
    const double* g = MAGNITUDE_THRESHOLDS.gsvm;
    for (int k = 1; k <= GSVM_MAX + 1; ++k) {
        ASSERT_LT(lower_guess(gsvm_root_estimate(std::nextafter(g[k], 0.0))), k) << k;
        ASSERT_GE(upper_guess(gsvm_root_estimate(g[k])), k) << k;
    }
    // The margin leaves most sums clear of a step: the guesses agree for
    // nearly every sum near rest.
    int agree = 0;
    for (uint32_t sum = 60000000; sum < 70000000; sum += 1000) {
        const float root = asvm_root_estimate(sum);
        agree += lower_guess(root) == upper_guess(root);
    }
    EXPECT_GT(agree, 9900);
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
