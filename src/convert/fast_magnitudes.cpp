#include "convert/fast_magnitudes.h"

#include <cstring>

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

// A non-negative double and its bits order alike, so the thresholds are
// searched for among the bit patterns.
double double_of_bits(uint64_t bits)
{
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

magnitude_thresholds make_thresholds()
{
    magnitude_thresholds t = {};
    for (int k = 0; k < ASVM_MAX + 3; ++k) {
        // The least sum in [low, high] whose result is k or more; the
        // largest 32-bit sum has a result of 799, well above every k.
        uint64_t low = 0;
        uint64_t high = 0xFFFFFFFFu;
        while (low < high) {
            const uint64_t middle = low + (high - low) / 2;
            if (asvm_by_definition(static_cast<uint32_t>(middle)) >= k) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        t.asvm[k] = static_cast<uint32_t>(low);
    }
    // Searched up to the bits of 10^7, whose root is above every k.
    uint64_t top;
    const double ten_million = 1e7;
    std::memcpy(&top, &ten_million, sizeof top);
    for (int k = 0; k < GSVM_MAX + 3; ++k) {
        uint64_t low = 0;
        uint64_t high = top;
        while (low < high) {
            const uint64_t middle = low + (high - low) / 2;
            if (gsvm_by_definition(double_of_bits(middle)) >= k) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        t.gsvm[k] = double_of_bits(low);
    }
    return t;
}

}  // namespace

// Declared extern in the header, so this constant-initialised definition is
// the one copy every file reads.
constexpr gyro_square_table GYRO_SQUARES = make_gyro_squares();

int asvm_by_definition(uint32_t sum_of_squares)
{
    const double sum = static_cast<double>(sum_of_squares) * (1.0 / (ACCEL_SCALE * ACCEL_SCALE));
    return static_cast<int>(std::sqrt(sum) * 100.0);
}

int gsvm_by_definition(double sum_of_squares)
{
    return static_cast<int>(std::sqrt(sum_of_squares));
}

// Filled before main runs; nothing reads it during the initialisation of
// other files' globals.
const magnitude_thresholds MAGNITUDE_THRESHOLDS = make_thresholds();
