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

// ASVM from the square root of acceleration_sum.
inline int asvm_of_root(double root)
{
    return static_cast<int>(root * (100.0 / ACCEL_SCALE));
}

// GSVM from the square root of gyro_sum.
inline int gsvm_of_root(double root)
{
    return static_cast<int>(root);
}

// ASVM from acceleration_sum.
inline int acceleration_magnitude(uint32_t sum_of_squares)
{
    return asvm_of_root(std::sqrt(static_cast<double>(sum_of_squares)));
}

// The magnitudes of `s`, the same as sample_magnitudes(s).
inline magnitudes fast_magnitudes(const sample& s)
{
    magnitudes m;
    m.asvm = acceleration_magnitude(acceleration_sum(s.ax, s.ay, s.az));
    m.gsvm = gsvm_of_root(std::sqrt(gyro_sum(s.gx, s.gy, s.gz)));
    return m;
}

#endif
