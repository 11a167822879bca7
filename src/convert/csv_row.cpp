#include "convert/csv_row.h"

#include "convert/csv_rows_avx512.h"
#include "convert/fast_magnitudes.h"

#include <cstring>

const char CSV_HEADER[] = "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n";

namespace {

// Writes the row of the sample at `p` with its magnitudes `asvm` and `gsvm`
// at `out`, which needs CSV_ROW_MAX bytes and DECIMAL_TEXT_SLACK more;
// every field is one table entry. Returns the end of the row.
inline char* append_row(const unsigned char* p, int asvm, int gsvm, char* out)
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

size_t format_frame_rows_portable(const unsigned char* frame, char* out)
{
    const unsigned char* samples = frame + FRAME_HEADER_SIZE;
    const frame_magnitudes m = magnitudes_of_frame(samples);
    char* text = out;
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        text = append_row(samples + SAMPLE_SIZE * i, m.asvm[i], m.gsvm[i], text);
    }
    return static_cast<size_t>(text - out);
}

size_t format_marked_rows_portable(const unsigned char* frames, size_t count, char* out)
{
    char* text = out;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* frame = frames + i * FRAME_SIZE;
        if (read_frame_header(frame).magic == FRAME_MAGIC) {
            text += format_frame_rows_portable(frame, text);
        }
    }
    return static_cast<size_t>(text - out);
}

namespace {

using marked_rows_formatter = size_t (*)(const unsigned char* frames, size_t count, char* out);

// Chosen when the program starts: the processor does not change while it runs.
const marked_rows_formatter FORMAT_MARKED_ROWS = avx512_rows_supported() ? format_marked_rows_avx512
                                                                         : format_marked_rows_portable;

}  // namespace

size_t format_marked_rows(const unsigned char* frames, size_t count, char* out)
{
    return FORMAT_MARKED_ROWS(frames, count, out);
}
