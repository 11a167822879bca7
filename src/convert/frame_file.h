// The conversion of one open frame file into its CSV rows and continuity
// report. It reads and writes the streams it is handed and knows nothing of
// names, paths or the system they come from.
#ifndef QUENDIX_CONVERT_FRAME_FILE_H
#define QUENDIX_CONVERT_FRAME_FILE_H

#include "convert/frame_layout.h"

#include <csignal>
#include <cstddef>
#include <cstdio>

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

// The streams of one conversion.
struct conversion_streams {
    // The frame file, opened for binary reading; best unbuffered, as every
    // read asks for a whole chunk.
    FILE* input;
    csv_sink csv;  // the CSV file's header and rows; nothing given to it yet
    // The log file, opened for binary writing and still empty; best
    // unbuffered, as the report reaches it in blocks of lines.
    FILE* log;
    FILE* console;             // where every report line is echoed, ending in "\n"
    bool console_is_terminal;  // each line then reaches the console as it is reported
};

// How a conversion ended.
enum conversion_end {
    CONVERSION_DONE,         // the input was read to its end
    CONVERSION_READ_FAILED,  // a read failed before the end; the frames before it are converted
    CONVERSION_STOPPED,      // stopped on request; the CSV and log are incomplete
};

// Converts the frames of `streams.input` into the CSV header and rows and a
// continuity report predicted with `end_block`. Between chunks of input it
// looks at `*stop`, and stops when it is non-zero, writing out the console
// lines it holds but nothing more of the CSV and the log. Every buffer taken from the
// CSV sink is given back before it returns. Failed writes of the log leave
// its error flag set, for whoever closes it to report; the console's
// failures are of no concern. The streams stay open.
[[nodiscard]] conversion_end convert_frames(const conversion_streams& streams, int end_block,
                                            const volatile std::sig_atomic_t* stop);

#endif
