// The continuity report: the block/page position each frame should have,
// and a line for every place where the file departs from it.
#ifndef QUENDIX_CONVERT_CONTINUITY_H
#define QUENDIX_CONVERT_CONTINUITY_H

#include "convert/frame_file.h"

#include <cstdio>

constexpr uint16_t PAGES_PER_BLOCK = 512;
constexpr uint16_t PAGE_NUMBER_MASK = 0x7FFF;
constexpr uint16_t R_FLAG = 0x8000;

// The predicted position of the next frame. Both counters wrap at 65536.
// It starts at (0, 0), which is what a file whose first frame lacks the
// marker keeps using.
struct expected_position {
    uint16_t block;
    uint16_t page;
};

// The longest report line without its line end: a label of 9, four numbers
// of at most 5 digits, an offset of at most 20 digits and the punctuation.
constexpr size_t REPORT_LINE_MAX = 9 + 3 + 4 * 5 + 2 + 4 + 2 + 20 + 3;

// The log file of one conversion and the report text not yet written to
// it, so that the lines reach the stream in large writes. The console's
// copy of the lines is held too when `hold_console` is set (a console that
// is not a terminal), so that it costs one copy a line instead of a call;
// otherwise each line goes to standard output as it is reported.
struct report_log {
    FILE* stream;
    size_t used;
    char text[32 * 1024];
    bool hold_console;
    size_t console_used;
    char console[32 * 1024];
};

// Writes the text held in `log` to its stream and the console text held to
// standard output, and empties both. A failed write leaves the stream's
// error flag set.
void flush_report_log(report_log* log);

// Writes the report line in `line` (`length` bytes without a line end, and
// room for two more) to standard output ending in "\n", then to `log` ending
// in the files' line end.
void report_line(report_log* log, char* line, size_t length);

// The "start" line of the first frame, which also sets the prediction, or
// the "different" line of a later one; continuity_check decides which.
void report_departure(const frame_header& header, unsigned long long frames_read,
                      expected_position* expected, report_log* log);

// For a valid frame: the first frame of the file (`frames_read` 0) gives the
// "start" line and sets the prediction; a later one at another position than
// predicted gives a "different" line. Inline, since nearly every frame is
// where it is predicted and needs no more than the comparison.
inline void continuity_check(const frame_header& header, unsigned long long frames_read,
                             expected_position* expected, report_log* log)
{
    if (frames_read != 0 && header.block == expected->block &&
        (header.page_word & PAGE_NUMBER_MASK) == expected->page) {
        return;
    }
    report_departure(header, frames_read, expected, log);
}

// For a frame without the marker: the "missing" line, with the byte offset
// of the frame's first byte in the file.
void report_missing(const frame_header& header, long long offset,
                    const expected_position& expected, report_log* log);

// Moves the prediction one page on, wrapping to the next block after page
// 511 and to block 1 after `end_block`.
inline void advance_expected(expected_position* expected, int end_block)
{
    ++expected->page;
    if (expected->page < PAGES_PER_BLOCK) {
        return;
    }
    expected->page = 0;
    ++expected->block;
    if (expected->block > end_block) {
        expected->block = 1;
    }
}

// The "end" line, from the header bytes now in the frame buffer.
void report_end(const unsigned char* frame_buffer, report_log* log);

#endif
