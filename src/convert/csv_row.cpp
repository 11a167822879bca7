#include "convert/csv_row.h"

#include "convert/fast_magnitudes.h"

#include <cmath>
#include <cstring>

const char CSV_HEADER[] = "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n";

namespace {

// Writes the row of `s` at `out`, which needs CSV_ROW_MAX bytes and
// DECIMAL_TEXT_SLACK more; every field is one table entry.
inline char* append_row(const sample& s, char* out)
{
    const magnitudes m = fast_magnitudes(s);
    out = append_unsigned(out, s.seqno);
    out = append_signed(out, s.ax);
    out = append_signed(out, s.ay);
    out = append_signed(out, s.az);
    out = append_signed(out, s.gx);
    out = append_signed(out, s.gy);
    out = append_signed(out, s.gz);
    // Both magnitudes are below 1000.
    out = append_small(out, m.asvm);
    // The last field's comma is overwritten by the line end.
    out = append_small(out, m.gsvm) - 1;
    std::memcpy(out, "\r\n", 2);
    return out + 2;
}

// The magnitudes of the nine samples of a frame, computed side by side:
// the sums, then their root estimates in loops the compiler turns into
// packed single-precision instructions. Nearly always every estimate is
// clear of a step of its result and truncates to it; otherwise the whole
// frame takes the thresholds, as fast_magnitudes does.
struct frame_magnitudes {
    int asvm[SAMPLES_PER_FRAME];
    int gsvm[SAMPLES_PER_FRAME];
};

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

// The row of the sample at `p` with its magnitudes `asvm` and `gsvm`.
inline char* append_stored_row(const unsigned char* p, int asvm, int gsvm, char* out)
{
    out = append_unsigned(out, load_u16(p));
    for (int axis = 1; axis <= 6; ++axis) {
        out = append_signed(out, load_i16(p + 2 * axis));
    }
    // Both magnitudes are below 1000.
    out = append_small(out, asvm);
    // The last field's comma is overwritten by the line end.
    out = append_small(out, gsvm) - 1;
    std::memcpy(out, "\r\n", 2);
    return out + 2;
}

}  // namespace

char* format_row(const sample& s, char* out)
{
    char text[CSV_ROW_MAX + DECIMAL_TEXT_SLACK];
    const size_t length = static_cast<size_t>(append_row(s, text) - text);
    std::memcpy(out, text, length);
    return out + length;
}

size_t format_frame_rows(const unsigned char* frame, char* out)
{
    const unsigned char* samples = frame + FRAME_HEADER_SIZE;
    const frame_magnitudes m = magnitudes_of_frame(samples);
    char* text = out;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        text = append_stored_row(samples + SAMPLE_SIZE * i, m.asvm[i], m.gsvm[i], text);
    }
    return static_cast<size_t>(text - out);
}
