// The continuity report: the block/page position each frame should have,
// and a line for every place where the file departs from it, written to a
// report_log.
#ifndef QUENDIX_CONVERT_CONTINUITY_H
#define QUENDIX_CONVERT_CONTINUITY_H

#include "frame_layout.h"
#include "report_log.h"

#include <cstddef>
#include <cstdint>

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

// The "start" line of the first frame, which also sets the prediction, or
// the "different" line of a later one; continuity_check decides which.
void report_departure(const frame_header& header, uint64_t frames_read, expected_position* expected,
                      report_log* report);

// For a valid frame: the first frame of the file (`frames_read` 0) gives the
// "start" line and sets the prediction; a later one at another position than
// predicted gives a "different" line. Inline, since nearly every frame is
// where it is predicted and needs no more than the comparison.
inline void continuity_check(const frame_header& header, uint64_t frames_read, expected_position* expected,
                             report_log* report)
{
    if (frames_read != 0 && header.block == expected->block &&
        (header.page_word & PAGE_NUMBER_MASK) == expected->page) {
        return;
    }
    report_departure(header, frames_read, expected, report);
}

// For a frame without the marker: the "missing" line, with the byte offset
// of the frame's first byte in the file.
void report_missing(const frame_header& header, uint64_t offset, const expected_position& expected, report_log* report);

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
void report_end(const unsigned char* frame_buffer, report_log* report);

#endif
