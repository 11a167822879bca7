// The room the tests and the benchmark give the row formatters.
#ifndef QUENDIX_TESTS_SUPPORT_ROWS_H
#define QUENDIX_TESTS_SUPPORT_ROWS_H

#include "csv_rows.h"

#include <cstddef>

// The room a formatter needs for the rows of `count` frames.
constexpr size_t rows_room(size_t count)
{
    return count * CSV_FRAME_ROWS_LONGEST + CSV_ROWS_SLACK;
}

// The room for the rows of one frame.
constexpr size_t CSV_FRAME_ROWS_MAX = rows_room(1);

#endif
