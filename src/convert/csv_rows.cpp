// The choice of the formatter: the formatters this build has, which of them
// this processor runs, and the fastest of those, taken once at start-up for
// the whole run (the processor does not change while the program runs).
#include "csv_rows.h"

const char CSV_HEADER[] = "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n";

namespace {

// A formatter of this build, with whether this processor runs it.
struct built_formatter {
    named_rows_formatter formatter;
    bool (*supported)();
};

bool always_supported()
{
    return true;
}

// Every formatter of this build, slowest first. The build defines
// QUENDIX_AVX512_ROWS where it compiles csv_rows_avx512.cpp (on x86-64).
const built_formatter BUILT[] = {
    {{"portable", format_marked_rows_portable}, always_supported},
#if defined(QUENDIX_AVX512_ROWS)
    {{"avx512", format_marked_rows_avx512}, avx512_rows_supported},
#endif
};

constexpr size_t BUILT_COUNT = sizeof BUILT / sizeof BUILT[0];

struct formatter_choice {
    named_rows_formatter available[BUILT_COUNT];
    size_t count;
};

formatter_choice choose_formatters()
{
    formatter_choice choice = {};
    for (const built_formatter& built : BUILT) {
        if (built.supported()) {
            choice.available[choice.count++] = built.formatter;
        }
    }
    return choice;
}

// Made before main runs, in this order; the portable formatter is always
// among the available ones.
const formatter_choice CHOICE = choose_formatters();
const rows_formatter FORMAT_MARKED_ROWS = CHOICE.available[CHOICE.count - 1].format;

}  // namespace

size_t format_marked_rows(const unsigned char* frames, size_t count, char* out)
{
    return FORMAT_MARKED_ROWS(frames, count, out);
}

rows_formatter_list available_rows_formatters()
{
    return {CHOICE.available, CHOICE.count};
}
