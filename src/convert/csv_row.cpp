#include "convert/csv_row.h"

#include <cstring>

const char CSV_HEADER[] = "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM";

namespace {

// "00" to "99", so that two decimal digits cost one lookup.
struct digit_pairs {
    char text[200];
    constexpr digit_pairs() : text()
    {
        for (int i = 0; i < 100; ++i) {
            text[2 * i] = static_cast<char>('0' + i / 10);
            text[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr digit_pairs DIGIT_PAIRS;

// Writes `value` (below 100000) in decimal without leading zeros.
char* append_unsigned(char* out, unsigned value)
{
    char digits[6];
    char* p = digits + sizeof digits;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS.text + 2 * (value % 100), 2);
        value /= 100;
    }
    if (value >= 10) {
        p -= 2;
        std::memcpy(p, DIGIT_PAIRS.text + 2 * value, 2);
    } else {
        *--p = static_cast<char>('0' + value);
    }
    const size_t length = static_cast<size_t>(digits + sizeof digits - p);
    std::memcpy(out, p, length);
    return out + length;
}

char* append_signed(char* out, int value)
{
    if (value < 0) {
        *out++ = '-';
        return append_unsigned(out, static_cast<unsigned>(-value));
    }
    return append_unsigned(out, static_cast<unsigned>(value));
}

}  // namespace

char* format_row(const sample& s, const char* line_end, char* out)
{
    const magnitudes m = sample_magnitudes(s);
    out = append_unsigned(out, s.seqno);
    const int16_t axes[6] = {s.ax, s.ay, s.az, s.gx, s.gy, s.gz};
    for (int16_t axis : axes) {
        *out++ = ',';
        out = append_signed(out, axis);
    }
    *out++ = ',';
    out = append_unsigned(out, static_cast<unsigned>(m.asvm));
    *out++ = ',';
    out = append_unsigned(out, static_cast<unsigned>(m.gsvm));
    while (*line_end != '\0') {
        *out++ = *line_end++;
    }
    return out;
}

size_t format_frame_rows(const unsigned char* frame, const char* line_end, char* out)
{
    char* end = out;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        end = format_row(read_sample(frame, i), line_end, end);
    }
    return static_cast<size_t>(end - out);
}
