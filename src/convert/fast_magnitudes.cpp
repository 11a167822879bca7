#include "convert/fast_magnitudes.h"

namespace {

constexpr gyro_square_table make_gyro_squares()
{
    gyro_square_table table = {};
    for (int bits = 0; bits < 65536; ++bits) {
        const int count = bits < 32768 ? bits : bits - 65536;
        const double units = count / GYRO_SCALE;
        table.squares[bits] = units * units;
    }
    return table;
}

}  // namespace

// Declared extern in the header, so this constant-initialised definition is
// the one copy every file reads.
constexpr gyro_square_table GYRO_SQUARES = make_gyro_squares();
