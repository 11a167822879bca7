// The CSV text of a frame's samples.
#ifndef QUENDIX_CONVERT_CSV_ROW_H
#define QUENDIX_CONVERT_CSV_ROW_H

#include "convert/decimal_text.h"
#include "convert/frame_layout.h"

#include <cstddef>

// The header line: the column names and CR LF.
extern const char CSV_HEADER[];

// The longest row: "65535," six axes of "-32768,", two magnitudes and CR LF.
constexpr size_t CSV_ROW_MAX = 6 + 6 * 7 + 4 + 3 + 2;

// How far a formatter may write past the last row: the table lookups store
// 8 bytes whole, the AVX-512 formatter 64.
constexpr size_t CSV_ROWS_SLACK = 64;
static_assert(CSV_ROWS_SLACK >= DECIMAL_TEXT_SLACK, "the slack covers the table lookups");

// The longest rows of a frame.
constexpr size_t CSV_FRAME_ROWS_LONGEST = SAMPLES_PER_FRAME * CSV_ROW_MAX;

// Room for the rows of one frame, with the slack past the last row.
constexpr size_t CSV_FRAME_ROWS_MAX = CSV_FRAME_ROWS_LONGEST + CSV_ROWS_SLACK;

// Writes the nine rows of `frame` at `out`, sample 0 first, each ending in
// CR LF, by portable code, which every processor runs; returns the number
// of bytes. `out` needs CSV_FRAME_ROWS_MAX bytes.
size_t format_frame_rows_portable(const unsigned char* frame, char* out);

// Writes the rows of those of the `count` frames at `frames` that carry
// the marker, in their order; a frame without it has no rows. Returns the
// number of bytes. `out` needs count * CSV_FRAME_ROWS_LONGEST +
// CSV_ROWS_SLACK bytes. The formatter is chosen once, at start-up, for the
// processor.
size_t format_marked_rows(const unsigned char* frames, size_t count, char* out);

// The same rows by portable code.
size_t format_marked_rows_portable(const unsigned char* frames, size_t count, char* out);

#endif
