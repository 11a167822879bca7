// Where a conversion's CSV text goes: buffers of a fixed size, taken empty
// and given back full, in order. The writer behind the sink is the
// caller's.
#ifndef QUENDIX_CONVERT_CSV_SINK_H
#define QUENDIX_CONVERT_CSV_SINK_H

#include <cstddef>

// The size of every buffer of CSV text a sink hands out.
constexpr size_t CSV_BUFFER_SIZE = 1024 * 1024;

// Where the CSV rows go: the conversion takes empty buffers from the sink,
// fills them with text and gives each one back, in order, to be written
// after the ones before. How and when they are written is the sink's
// business; a buffer given back is not touched again until taken anew.
struct csv_sink {
    void* context;
    // An empty buffer of CSV_BUFFER_SIZE bytes, the conversion's to fill.
    char* (*take)(void* context);
    // Takes back `buffer`, of which the first `used` bytes (perhaps none)
    // are to be written.
    void (*give)(void* context, char* buffer, size_t used);
};

#endif
