#include "convert/continuity.h"

#include <cstdarg>
#include <cstring>

#include "driver/platform.h"

void report_line(FILE* log, const char* format, ...)
{
    char line[128];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length <= 0) {
        return;
    }
    // Every format fits the buffer: a label of 9, five numbers of at most 20
    // characters and their punctuation.
    const size_t size = static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length)
                                                                   : sizeof line - 1;
    std::fwrite(line, 1, size, stdout);
    const size_t text = (size > 0 && line[size - 1] == '\n') ? size - 1 : size;
    std::fwrite(line, 1, text, log);
    std::fputs(output_line_end, log);
}

void continuity_check(const frame_header& header, unsigned long long frames_read,
                      expected_position* expected, FILE* log)
{
    if (frames_read == 0) {
        report_line(log, "%9s : %3d, %3d\n", "start", header.block, header.page_word);
        // The whole page word, R flag included, seeds the prediction.
        expected->block = header.block;
        expected->page = header.page_word;
        return;
    }
    const uint16_t page = header.page_word & PAGE_NUMBER_MASK;
    if (header.block == expected->block && page == expected->page) {
        return;
    }
    if ((header.page_word & R_FLAG) != 0) {
        report_line(log, "%9s : %3d, %3d -> %3d, %3d(R)\n", "different", expected->block,
                    expected->page, header.block, page);
    } else {
        report_line(log, "%9s : %3d, %3d -> %3d, %3d\n", "different", expected->block,
                    expected->page, header.block, page);
    }
}

void report_missing(const frame_header& header, long long offset,
                    const expected_position& expected, FILE* log)
{
    report_line(log, "%9s : %3d, %3d -> %3d, %3d (%lld)\n", "missing", expected.block,
                expected.page, header.block, header.page_word, offset);
}

void advance_expected(expected_position* expected, int end_block)
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

void report_end(const unsigned char* frame_buffer, FILE* log)
{
    const frame_header header = read_frame_header(frame_buffer);
    report_line(log, "%9s : %3d, %3d\n", "end", header.block, header.page_word);
}
