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

// Room for the rows of one frame, with the slack the table lookups may
// write past the last row.
constexpr size_t CSV_FRAME_ROWS_MAX = SAMPLES_PER_FRAME * CSV_ROW_MAX + DECIMAL_TEXT_SLACK;

// Writes the nine rows of `frame` at `out`, sample 0 first, each ending in
// CR LF; returns the number of bytes. `out` needs CSV_FRAME_ROWS_MAX bytes.
size_t format_frame_rows(const unsigned char* frame, char* out);

#endif
