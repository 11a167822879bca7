// The CSV rows of a frame written with AVX-512, for processors that have it.
#ifndef QUENDIX_CONVERT_CSV_ROWS_AVX512_H
#define QUENDIX_CONVERT_CSV_ROWS_AVX512_H

#include <cstddef>

// Whether this processor has every instruction the formatters below use
// (AVX-512 F, BW, VL, VBMI and VBMI2, and POPCNT), and the system saves
// their registers.
bool avx512_rows_supported();

// Writes the same bytes as format_frame_rows_portable; only to be called
// where avx512_rows_supported() is true.
size_t format_frame_rows_avx512(const unsigned char* frame, char* out);

// Writes the same bytes as format_marked_rows_portable; only to be called
// where avx512_rows_supported() is true.
size_t format_marked_rows_avx512(const unsigned char* frames, size_t count, char* out);

#endif
