// The references the tests, fuzz targets and benchmarks check the program
// against, each written once and as plainly as it is defined: the
// magnitudes of a sample and their ranges, and the end line of a report.
#ifndef QUENDIX_TESTS_SUPPORT_REFERENCE_H
#define QUENDIX_TESTS_SUPPORT_REFERENCE_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The largest sum of three squared counts: all three at -32768.
constexpr uint32_t SUM_OF_SQUARES_MAX = 3u * 32768u * 32768u;

// The largest ASVM and GSVM any sample can have, those of that sum.
constexpr int ASVM_MAX = 692;
constexpr int GSVM_MAX = 866;

// The ASVM of a sum of squared scaled accelerometer counts: 100 times its
// root, truncated.
inline int asvm_of_scaled_sum(double sum)
{
    return static_cast<int>(std::sqrt(sum) * 100.0);
}

// The GSVM of a sum of squared scaled gyroscope counts: its root, truncated.
inline int gsvm_of_scaled_sum(double sum)
{
    return static_cast<int>(std::sqrt(sum));
}

// The ASVM by its definition: each count times 2^-13, squared, added X, Y, Z.
inline int asvm_by_definition(int ax, int ay, int az)
{
    const double x = ax * 0x1p-13, y = ay * 0x1p-13, z = az * 0x1p-13;
    return asvm_of_scaled_sum(x * x + y * y + z * z);
}

// The GSVM by its definition: each count divided by 65.536, squared, added
// X, Y, Z.
inline int gsvm_by_definition(int gx, int gy, int gz)
{
    const double x = gx / 65.536, y = gy / 65.536, z = gz / 65.536;
    return gsvm_of_scaled_sum(x * x + y * y + z * z);
}

// The ASVM by its definition of a sample whose three squared counts add up
// to `n`: the definition's sum is then exactly n * 2^-26.
inline int asvm_of_integer_sum(uint32_t n)
{
    return asvm_of_scaled_sum(std::ldexp(static_cast<double>(n), -26));
}

// The GSVM by its definition of a sample whose three squared counts add up
// to `n`: the definition's sum is then exactly n * 15625 * 2^-26.
inline int gsvm_of_integer_sum(uint32_t n)
{
    return gsvm_of_scaled_sum(std::ldexp(static_cast<double>(n) * 15625.0, -26));
}

// The least sum in [0, end] whose result by `result`, a function of the sum
// that never falls as the sum grows, is `k` or more; `end` when there is
// none below it. The sums where a magnitude steps to its next value.
template <typename Result>
uint64_t first_sum_reaching(int k, Result result, uint64_t end)
{
    uint64_t low = 0;
    uint64_t high = end;
    while (low < high) {
        const uint64_t middle = low + (high - low) / 2;
        if (result(static_cast<uint32_t>(middle)) >= k) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    return low;
}

// The end line of the report of a recording of `size` bytes at `data`. It
// reads the frame buffer: the last whole frame (zeros when there is none)
// with the bytes of a trailing fragment copied over its start.
inline std::string end_line(const unsigned char* data, size_t size)
{
    constexpr size_t frame_size = 132;
    unsigned char buffer[frame_size] = {};
    const size_t frames = size / frame_size;
    for (size_t i = 0; frames > 0 && i < frame_size; ++i) {
        buffer[i] = data[(frames - 1) * frame_size + i];
    }
    for (size_t i = 0; i < size % frame_size; ++i) {
        buffer[i] = data[frames * frame_size + i];
    }
    char line[64];
    std::snprintf(line, sizeof line, "%9s : %3d, %3d", "end", buffer[2] | buffer[3] << 8, buffer[4] | buffer[5] << 8);
    return line;
}

// end_line of the recording held in `bytes`.
inline std::string end_line(const std::string& bytes)
{
    return end_line(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

#endif
