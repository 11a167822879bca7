// The conversion of one open frame file into its CSV rows and continuity
// report. It reads and writes the streams it is handed and knows nothing of
// names, paths or the system they come from.
#ifndef QUENDIX_CONVERT_FRAME_FILE_H
#define QUENDIX_CONVERT_FRAME_FILE_H

#include "convert/frame_layout.h"

#include <csignal>
#include <cstdio>

// The streams of one conversion.
struct conversion_streams {
    FILE* input;    // the frame file, opened for binary reading
    FILE* csv;      // the CSV file, its header already written by write_csv_header
    FILE* log;      // the log file, opened for binary writing and still empty
    FILE* console;  // where every report line is echoed, ending in "\n"
    bool console_is_terminal;  // each line then reaches the console as it is reported
};

// How a conversion ended.
enum conversion_end {
    CONVERSION_DONE,         // the input was read to its end
    CONVERSION_READ_FAILED,  // a read failed before the end; the frames before it are converted
    CONVERSION_STOPPED,      // stopped on request; the CSV and log are incomplete
};

// Writes the CSV header line to `csv`, a binary stream nothing has been
// written to yet, and makes the stream unbuffered: the conversion holds its
// rows in a buffer of its own. A failed write leaves the error flag set.
void write_csv_header(FILE* csv);

// Converts the frames of `streams.input` into CSV rows and a continuity
// report predicted with `end_block`. Between chunks of input it looks at
// `*stop`, and stops when it is non-zero, writing out the console lines it
// holds but nothing more of the CSV and the log. Failed writes leave the
// streams' error flags set, for whoever closes them to report; the console's
// failures are of no concern. The streams stay open.
conversion_end convert_frames(const conversion_streams& streams, int end_block,
                              const volatile std::sig_atomic_t* stop);

#endif
