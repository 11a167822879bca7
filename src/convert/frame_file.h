// The conversion of one open frame file into its CSV rows and continuity
// report. It reads and writes the streams it is handed and knows nothing of
// names, paths or the system they come from.
#ifndef QUENDIX_CONVERT_FRAME_FILE_H
#define QUENDIX_CONVERT_FRAME_FILE_H

#include "csv_sink.h"
#include "frame_layout.h"
#include "report_log.h"

#include <csignal>
#include <cstddef>
#include <cstdio>

// Whole frames read at once, just under 64 KiB.
constexpr size_t FRAMES_PER_READ = 496;

// The working memory of conversions, kept by its owner from one file to
// the next so that a conversion takes no memory of its own; one
// conversion at a time may use it.
struct conversion_memory {
    // The frames of one read, which go straight from the file into it and
    // are converted where they lie.
    unsigned char input_chunk[FRAMES_PER_READ * FRAME_SIZE];
    // The report lines waiting for the log and the console.
    report_log report;
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
// continuity report predicted with `end_block`, working in `memory`. Between chunks of input it
// looks at `*stop`, and stops when it is non-zero, writing out the console
// lines it holds but nothing more of the CSV and the log. Every buffer taken from the
// CSV sink is given back before it returns. Failed writes of the log leave
// its error flag set, for whoever closes it to report; the console's
// failures are of no concern. The streams stay open.
[[nodiscard]] conversion_end convert_frames(const conversion_streams& streams, int end_block,
                                            const volatile std::sig_atomic_t* stop, conversion_memory* memory);

#endif
