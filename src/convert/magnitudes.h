// The magnitudes of a sample from the integer sums of its squared counts,
// equal bit for bit to their double-precision definition for every sample.
//
// The definition: ASVM multiplies each accelerometer count by 2^-13, squares
// the products, adds them in the order X, Y, Z and truncates 100 times the
// square root of the sum; GSVM divides each gyroscope count by 65.536,
// squares the quotients, adds them the same way and truncates the root.
//
// Why the definition's sums are integers in disguise:
// - An accelerometer count a times 2^-13 is exact, and so is its square,
//   a^2 * 2^-26.
// - For a gyroscope count g, the real number g / 65.536 is g * 1000 * 2^-16,
//   which is itself a double (g * 1000 needs at most 26 bits). The double
//   nearest 65.536 is off by less than one part in 2^53, which moves the
//   true quotient by less than that, and for every 16-bit count the rounded
//   quotient lands on g * 1000 * 2^-16 itself (the tests check all 65536).
//   Its square, g^2 * 10^6 * 2^-32 = g^2 * 15625 * 2^-26, needs at most
//   30 + 14 bits and is exact as well.
// - Each partial sum is then an integer times 2^-26 with at most
//   32 + 14 = 46 significant bits, fewer than a double's 53, so no addition
//   rounds. The accelerometer sum is exactly Na * 2^-26 and the gyroscope
//   sum exactly Ng * 15625 * 2^-26, where Na and Ng are the integer sums of
//   the three squared counts, at most 3 * 2^30.
// - Converting Na or Ng to double, multiplying by 15625 (a product below
//   2^53) and by 2^-26 round nothing either, so the doubles computed below
//   are the very doubles the definition takes the root of. The same root,
//   times the same 100.0 for ASVM, truncates to the same result.
#ifndef QUENDIX_CONVERT_MAGNITUDES_H
#define QUENDIX_CONVERT_MAGNITUDES_H

#include "frame_layout.h"

#include <cmath>
#include <cstdint>

// The sum of the squares of three counts: each square is at most 2^30, the
// sum at most 3 * 2^30, below 2^32.
inline uint32_t sum_of_squares(int x, int y, int z)
{
    return static_cast<uint32_t>(x * x) + static_cast<uint32_t>(y * y) + static_cast<uint32_t>(z * z);
}

// The ASVM of a sample whose accelerometer counts' squares add up to `na`.
inline int asvm_of_sum(uint32_t na)
{
    return static_cast<int>(std::sqrt(static_cast<double>(na) * 0x1p-26) * 100.0);
}

// The GSVM of a sample whose gyroscope counts' squares add up to `ng`.
inline int gsvm_of_sum(uint32_t ng)
{
    return static_cast<int>(std::sqrt(static_cast<double>(ng) * 15625.0 * 0x1p-26));
}

// The magnitudes of the nine samples of a frame.
struct frame_magnitudes {
    int asvm[SAMPLES_PER_FRAME];
    int gsvm[SAMPLES_PER_FRAME];
};

// The magnitudes of the nine samples at `samples` (the frame past its
// header): the integer sums first, then their roots in loops the compiler
// turns into packed double-precision instructions. Inline, since it is much
// of the work of every frame.
inline frame_magnitudes magnitudes_of_frame(const unsigned char* samples)
{
    uint32_t accel[SAMPLES_PER_FRAME];
    uint32_t gyro[SAMPLES_PER_FRAME];
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        const unsigned char* p = samples + SAMPLE_SIZE * i;
        accel[i] = sum_of_squares(load_i16(p + 2), load_i16(p + 4), load_i16(p + 6));
        gyro[i] = sum_of_squares(load_i16(p + 8), load_i16(p + 10), load_i16(p + 12));
    }
    frame_magnitudes m;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        m.asvm[i] = asvm_of_sum(accel[i]);
    }
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        m.gsvm[i] = gsvm_of_sum(gyro[i]);
    }
    return m;
}

#endif
