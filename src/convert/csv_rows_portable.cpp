// The rows by portable code: each field is one lookup in the table of
// decimal texts, and the magnitudes come from magnitudes.h.
#include "csv_rows.h"

#include "decimal_text.h"
#include "magnitudes.h"

#include <cstring>

static_assert(CSV_ROWS_SLACK >= DECIMAL_TEXT_SLACK, "the slack covers the table lookups");

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

// Writes the nine rows of `frame` at `out`, whatever its marker; returns
// the end of the rows. Kept out of the loop over the frames: GCC inlines it
// there otherwise, into code that takes about 110 more instructions a frame.
[[gnu::noinline]] char* append_frame_rows(const unsigned char* frame, char* out)
{
    const unsigned char* samples = frame + FRAME_HEADER_SIZE;
    const frame_magnitudes m = magnitudes_of_frame(samples);
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
        out = append_row(samples + SAMPLE_SIZE * i, m.asvm[i], m.gsvm[i], out);
    }
    return out;
}

}  // namespace

size_t format_marked_rows_portable(const unsigned char* frames, size_t count, char* out)
{
    char* text = out;
    for (size_t i = 0; i < count; ++i) {
        const unsigned char* frame = frames + i * FRAME_SIZE;
        if (read_frame_header(frame).magic == FRAME_MAGIC) {
            text = append_frame_rows(frame, text);
        }
    }
    return static_cast<size_t>(text - out);
}
