// Processors other than x86-64 have no AVX-512: every frame's rows go
// through the portable formatter, and the AVX-512 one is never chosen.
#include "convert/csv_rows_avx512.h"

#include "convert/csv_row.h"

bool avx512_rows_supported()
{
    return false;
}

// Never called, since avx512_rows_supported() is false; it keeps the
// promise of writing the portable bytes all the same.
size_t format_frame_rows_avx512(const unsigned char* frame, char* out)
{
    return format_frame_rows_portable(frame, out);
}

size_t format_marked_rows_avx512(const unsigned char* frames, size_t count, char* out)
{
    return format_marked_rows_portable(frames, count, out);
}
