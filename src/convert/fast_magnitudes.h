// The magnitudes of a sample with less work than the plain definition of
// sample_magnitudes, yet equal to it bit for bit for every sample.
//
// Acceleration: each axis times 2^-13 and squared is an integer times 2^-26,
// and the sum of three such squares stays below 2^32, so the double sum is
// exactly the integer sum of squares times 2^-26. Its square root is the
// root of the integer sum times 2^-13 (scaling by a power of two commutes
// with rounding), and 2^-13 times 100 is itself exact, so one multiply by
// 100 / 8192 gives the same double as the definition.
//
// Angular rate: the quotient and square of each axis come from a table
// computed with the same double operations, and the rest is unchanged.
#ifndef QUENDIX_CONVERT_FAST_MAGNITUDES_H
#define QUENDIX_CONVERT_FAST_MAGNITUDES_H

#include "convert/frame_file.h"

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

// ASVM from the integer sum of the squares of the three accelerometer
// counts (below 2^32).
inline int acceleration_magnitude(uint32_t sum_of_squares)
{
    return static_cast<int>(std::sqrt(static_cast<double>(sum_of_squares)) * (100.0 / ACCEL_SCALE));
}

// The magnitudes of `s`, the same as sample_magnitudes(s).
inline magnitudes fast_magnitudes(const sample& s)
{
    const int ax = s.ax;
    const int ay = s.ay;
    const int az = s.az;
    // Each square is at most 2^30, the sum below 2^32.
    const uint32_t accel_sum = static_cast<uint32_t>(ax * ax) + static_cast<uint32_t>(ay * ay) +
                               static_cast<uint32_t>(az * az);
    const double gyro_sum = gyro_square(s.gx) + gyro_square(s.gy) + gyro_square(s.gz);
    magnitudes m;
    m.asvm = acceleration_magnitude(accel_sum);
    m.gsvm = static_cast<int>(std::sqrt(gyro_sum));
    return m;
}

#endif
