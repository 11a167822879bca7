// The CSV rows of frames: the header line, how much room the rows take, and
// the formatters that write them. Every formatter writes the same bytes: a
// portable one, which every processor runs, and on x86-64 one with AVX-512,
// which runs where the processor has it (csv_rows_portable.cpp,
// csv_rows_avx512.cpp; csv_rows.cpp chooses).
#ifndef QUENDIX_CONVERT_CSV_ROWS_H
#define QUENDIX_CONVERT_CSV_ROWS_H

#include "frame_layout.h"

#include <cstddef>

// The header line: the column names and CR LF.
extern const char CSV_HEADER[];

// The longest row: "65535," six axes of "-32768,", two magnitudes and CR LF.
constexpr size_t CSV_ROW_MAX = 6 + 6 * 7 + 4 + 3 + 2;

// How far a formatter may write past the last row: the portable one's
// table lookups store 8 bytes whole, the AVX-512 one 64.
constexpr size_t CSV_ROWS_SLACK = 64;

// The longest rows of a frame.
constexpr size_t CSV_FRAME_ROWS_LONGEST = SAMPLES_PER_FRAME * CSV_ROW_MAX;

// A formatter: writes the rows of those of the `count` frames at `frames`
// that carry the marker, in their order, nine a frame, sample 0 first, each
// ending in CR LF; a frame without the marker has no rows. Returns the
// number of bytes. `out` needs count * CSV_FRAME_ROWS_LONGEST +
// CSV_ROWS_SLACK bytes.
using rows_formatter = size_t (*)(const unsigned char* frames, size_t count, char* out);

// The rows by the fastest formatter this processor runs, chosen once, at
// start-up; a rows_formatter.
size_t format_marked_rows(const unsigned char* frames, size_t count, char* out);

// A formatter and the name the tests and the benchmark show it by.
struct named_rows_formatter {
    const char* name;
    rows_formatter format;
};

// A list of formatters, to be walked with a range-for.
struct rows_formatter_list {
    const named_rows_formatter* first;
    size_t count;

    const named_rows_formatter* begin() const { return first; }
    const named_rows_formatter* end() const { return first + count; }
};

// The formatters this build has and this processor runs, for the tests and
// the benchmark: the portable one first, the one format_marked_rows uses
// last.
rows_formatter_list available_rows_formatters();

// The formatters themselves; the program reaches them through the choice
// above, which knows which ones this build and processor have.

// The rows by portable code.
size_t format_marked_rows_portable(const unsigned char* frames, size_t count, char* out);

// The rows with AVX-512; built on x86-64 alone, and only to be called where
// avx512_rows_supported() is true.
size_t format_marked_rows_avx512(const unsigned char* frames, size_t count, char* out);

// Whether this processor has every instruction format_marked_rows_avx512
// uses (AVX-512 F, BW, VL, VBMI and VBMI2, and POPCNT), and the system saves
// their registers; built on x86-64 alone.
bool avx512_rows_supported();

#endif
