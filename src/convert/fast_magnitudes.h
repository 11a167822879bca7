// The magnitudes of a frame's samples with less work than their plain
// double-precision definition, yet equal to it bit for bit for every sample.
//
// The definition: GSVM divides each gyroscope axis by 65.536, squares the
// quotients, adds them in the order X, Y, Z and truncates the square root;
// ASVM multiplies each accelerometer axis by 2^-13, squares and adds the
// products the same way, and truncates 100 times the square root.
//
// Acceleration: each axis times 2^-13 and squared is an integer times 2^-26,
// and the sum of three such squares stays below 2^32, so the double sum is
// exactly the integer sum of squares times 2^-26.
//
// Angular rate: the quotient and square of each axis come from a table
// computed with the same double operations, added in the same order.
//
// Neither needs a double square root. Each result grows with its sum, so
// the sums where the results step up (the thresholds) are worked out from
// the definition once, at start-up. A single-precision root of each sum,
// lowered and raised by a margin far above its error, truncates to the
// result whenever both agree; otherwise the sum is near a step, and its
// result is found among the thresholds next to the single-precision guess,
// which is never more than one away.
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

// The ASVM of an acceleration_sum by the definition: the root of the sum
// scaled to units (exactly the integer sum times 2^-26), times 100,
// truncated.
int asvm_by_definition(uint32_t sum_of_squares);

// The GSVM of a gyro_sum by the definition: its root, truncated.
int gsvm_by_definition(double sum_of_squares);

// The largest ASVM and GSVM any sample can have: all three axes at -32768.
constexpr int ASVM_MAX = 692;
constexpr int GSVM_MAX = 866;

// Where each result begins: asvm[k] is the least acceleration_sum whose
// ASVM is k or more, gsvm[k] the least gyro_sum whose GSVM is k or more.
// A sum's result is the highest k whose threshold it reaches. Each array
// runs two past the largest result, so an estimate one too high still
// finds the threshold above it.
struct magnitude_thresholds {
    uint32_t asvm[ASVM_MAX + 3];
    double gsvm[GSVM_MAX + 3];
};

// The thresholds, worked out from asvm_by_definition and gsvm_by_definition
// when the program starts.
extern const magnitude_thresholds MAGNITUDE_THRESHOLDS;

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

// The truncation of a root estimate lowered by the margin. Where it agrees
// with upper_guess, that value is the result itself; where the two differ,
// the estimate is too near a step of the result and the thresholds decide.
inline int lower_guess(float root_estimate)
{
    return static_cast<int>(root_estimate - ESTIMATE_MARGIN);
}

// The truncation of a root estimate raised by the margin.
inline int upper_guess(float root_estimate)
{
    return static_cast<int>(root_estimate + ESTIMATE_MARGIN);
}

// The ASVM of `sum_of_squares`, from the thresholds next to its estimate:
// one up when the sum reaches the next threshold, one down when it falls
// short of its own.
inline int acceleration_magnitude(uint32_t sum_of_squares)
{
    const int estimate = asvm_estimate(sum_of_squares);
    const uint32_t* t = MAGNITUDE_THRESHOLDS.asvm + estimate;
    return estimate + (sum_of_squares >= t[1]) - (sum_of_squares < t[0]);
}

// The GSVM of `sum_of_squares`, found as acceleration_magnitude finds the
// ASVM.
inline int angular_rate_magnitude(double sum_of_squares)
{
    const int estimate = gsvm_estimate(sum_of_squares);
    const double* t = MAGNITUDE_THRESHOLDS.gsvm + estimate;
    return estimate + (sum_of_squares >= t[1]) - (sum_of_squares < t[0]);
}

// The magnitudes of the nine samples of a frame.
struct frame_magnitudes {
    int asvm[SAMPLES_PER_FRAME];
    int gsvm[SAMPLES_PER_FRAME];
};

// The magnitudes of the nine samples at `samples` (the frame past its
// header), computed side by side: the sums, then their root estimates in
// loops the compiler turns into packed single-precision instructions.
// Nearly always every estimate is clear of a step of its result and
// truncates to it; otherwise the whole frame takes the thresholds. Inline,
// since it is most of the work of every frame.
inline frame_magnitudes magnitudes_of_frame(const unsigned char* samples)
{
    uint32_t accel[SAMPLES_PER_FRAME];
    double gyro[SAMPLES_PER_FRAME];
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        const unsigned char* p = samples + SAMPLE_SIZE * i;
        accel[i] = acceleration_sum(load_i16(p + 2), load_i16(p + 4), load_i16(p + 6));
        gyro[i] = gyro_sum(load_i16(p + 8), load_i16(p + 10), load_i16(p + 12));
    }
    float accel_root[SAMPLES_PER_FRAME];
    float gyro_root[SAMPLES_PER_FRAME];
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        accel_root[i] = asvm_root_estimate(accel[i]);
    }
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        gyro_root[i] = gsvm_root_estimate(gyro[i]);
    }
    frame_magnitudes m;
    int near_step = 0;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        m.asvm[i] = upper_guess(accel_root[i]);
        near_step |= m.asvm[i] ^ lower_guess(accel_root[i]);
    }
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        m.gsvm[i] = upper_guess(gyro_root[i]);
        near_step |= m.gsvm[i] ^ lower_guess(gyro_root[i]);
    }
    if (near_step != 0) {
        for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
            m.asvm[i] = acceleration_magnitude(accel[i]);
            m.gsvm[i] = angular_rate_magnitude(gyro[i]);
        }
    }
    return m;
}

#endif
