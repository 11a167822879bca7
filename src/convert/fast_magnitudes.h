// The magnitudes of a sample with less work than the plain definition of
// sample_magnitudes, yet equal to it bit for bit for every sample.
//
// Acceleration: each axis times 2^-13 and squared is an integer times 2^-26,
// and the sum of three such squares stays below 2^32, so the double sum is
// exactly the integer sum of squares times 2^-26. Its square root is the
// root of the integer sum times 2^-13 (scaling by a power of two commutes
// with rounding), and 2^-13 times 100 is itself exact.
//
// Angular rate: the quotient and square of each axis come from a table
// computed with the same double operations, added in the same order.
//
// Neither needs a double square root: each result grows with its sum, so it
// is found among the thresholds where the results step up, starting from a
// single-precision guess that is never more than one away.
#ifndef QUENDIX_CONVERT_FAST_MAGNITUDES_H
#define QUENDIX_CONVERT_FAST_MAGNITUDES_H

#include "convert/frame_layout.h"

#include <cmath>
#include <cstdint>

// (g / GYRO_SCALE) squared for every gyroscope count g, indexed by the
// count's 16 bits.
struct gyro_square_table {
    double squares[65536];
};

// The table itself, read-only data of the program.
extern const gyro_square_table GYRO_SQUARES;

// (g / GYRO_SCALE) squared, from the table.
inline double gyro_square(int16_t g)
{
    return GYRO_SQUARES.squares[static_cast<uint16_t>(g)];
}

// The sum of the squares of three accelerometer counts, exact: each square
// is at most 2^30, the sum below 2^32.
inline uint32_t acceleration_sum(int ax, int ay, int az)
{
    return static_cast<uint32_t>(ax * ax) + static_cast<uint32_t>(ay * ay) +
           static_cast<uint32_t>(az * az);
}

// The sum of the squares of three gyroscope counts in units, added in the
// order X, Y, Z.
inline double gyro_sum(int16_t gx, int16_t gy, int16_t gz)
{
    return gyro_square(gx) + gyro_square(gy) + gyro_square(gz);
}

// The largest ASVM and GSVM any sample can have: all three axes at -32768.
constexpr int ASVM_MAX = 692;
constexpr int GSVM_MAX = 866;

// Where each result begins: asvm[k] is the least acceleration_sum whose
// ASVM is k or more, gsvm[k] the least gyro_sum whose GSVM is k or more.
// Both results grow with their sums, so a sum's result is the highest k
// whose threshold it reaches. Each array runs two past the largest result,
// so an estimate one too high still finds the threshold above it.
struct magnitude_thresholds {
    uint32_t asvm[ASVM_MAX + 3];
    double gsvm[GSVM_MAX + 3];
};

// The thresholds, worked out from the double-precision definition when the
// program starts.
extern const magnitude_thresholds MAGNITUDE_THRESHOLDS;

// The ASVM of an acceleration_sum as the definition computes it: the root
// of the sum scaled to units, times 100, truncated. The sum in units is
// exactly the integer sum times 2^-26.
int asvm_by_definition(uint32_t sum_of_squares);

// The GSVM of a gyro_sum as the definition computes it: its root, truncated.
int gsvm_by_definition(double sum_of_squares);

// The ASVM of `sum_of_squares` before truncation, in single precision:
// within a ten-thousandth of the exact value, and never smaller for a
// larger sum.
inline float asvm_root_estimate(uint32_t sum_of_squares)
{
    // 100 / 8192 is exact in single precision.
    return std::sqrt(static_cast<float>(sum_of_squares)) * 0.01220703125f;
}

// The GSVM of `sum_of_squares` before truncation, with the same promises as
// asvm_root_estimate.
inline float gsvm_root_estimate(double sum_of_squares)
{
    return std::sqrt(static_cast<float>(sum_of_squares));
}

// A guess of the ASVM of `sum_of_squares`: never more than one away from the
// result, and never smaller for a larger sum.
inline int asvm_estimate(uint32_t sum_of_squares)
{
    return static_cast<int>(asvm_root_estimate(sum_of_squares));
}

// A guess of the GSVM of `sum_of_squares`, with the same promises as
// asvm_estimate.
inline int gsvm_estimate(double sum_of_squares)
{
    return static_cast<int>(gsvm_root_estimate(sum_of_squares));
}

// How far a root estimate may be from an integer and still be truncated
// without looking at the thresholds: far more than its error.
constexpr float ESTIMATE_MARGIN = 1.0f / 1024;

// The truncations of a root estimate lowered and raised by the margin. When
// the two agree, that value is the result itself; when they differ, the
// estimate is too near a step of the result and the thresholds decide.
inline int lower_guess(float root_estimate)
{
    return static_cast<int>(root_estimate - ESTIMATE_MARGIN);
}

// See lower_guess.
inline int upper_guess(float root_estimate)
{
    return static_cast<int>(root_estimate + ESTIMATE_MARGIN);
}

// The result from an estimate at most one away from it: one up when the sum
// reaches the next threshold, one down when it falls short of its own.
inline int asvm_from_estimate(uint32_t sum_of_squares, int estimate)
{
    const uint32_t* t = MAGNITUDE_THRESHOLDS.asvm + estimate;
    return estimate + (sum_of_squares >= t[1]) - (sum_of_squares < t[0]);
}

// As asvm_from_estimate, for the angular rate.
inline int gsvm_from_estimate(double sum_of_squares, int estimate)
{
    const double* t = MAGNITUDE_THRESHOLDS.gsvm + estimate;
    return estimate + (sum_of_squares >= t[1]) - (sum_of_squares < t[0]);
}

// ASVM from acceleration_sum.
inline int acceleration_magnitude(uint32_t sum_of_squares)
{
    return asvm_from_estimate(sum_of_squares, asvm_estimate(sum_of_squares));
}

// GSVM from gyro_sum.
inline int angular_rate_magnitude(double sum_of_squares)
{
    return gsvm_from_estimate(sum_of_squares, gsvm_estimate(sum_of_squares));
}

// The magnitudes of `s`, the same as sample_magnitudes(s).
inline magnitudes fast_magnitudes(const sample& s)
{
    magnitudes m;
    m.asvm = acceleration_magnitude(acceleration_sum(s.ax, s.ay, s.az));
    m.gsvm = angular_rate_magnitude(gyro_sum(s.gx, s.gy, s.gz));
    return m;
}

#endif
