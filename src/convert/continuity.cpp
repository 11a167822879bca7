#include "continuity.h"

#include "decimal_text.h"

#include <cstring>

namespace {

// Room for a line, its line end and what a table lookup may write past it.
constexpr size_t LINE_BUFFER_SIZE = REPORT_LINE_MAX + 2 + DECIMAL_TEXT_SLACK;
static_assert(REPORT_LINE_MAX + 2 <= sizeof report_log::log_text, "a line with its line end fits the log's buffer");

// The labels, right-aligned in nine characters.
const char START_LABEL[] = "    start : ";
const char DIFFERENT_LABEL[] = "different : ";
const char MISSING_LABEL[] = "  missing : ";
const char END_LABEL[] = "      end : ";

// Writes a label with its " : ".
template <size_t N>
char* append_label(char* out, const char (&label)[N])
{
    std::memcpy(out, label, N - 1);
    return out + N - 1;
}

char* append_text(char* out, const char* text)
{
    const size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
}

// Writes "B, P" with both numbers as "%3d" shows them.
char* append_position(char* out, uint16_t block, uint16_t page)
{
    out = append_padded(out, block);
    out = append_text(out, ", ");
    return append_padded(out, page);
}

}  // namespace

void report_departure(const frame_header& header, uint64_t frames_read, expected_position* expected, report_log* report)
{
    char line[LINE_BUFFER_SIZE];
    if (frames_read == 0) {
        char* end = append_label(line, START_LABEL);
        write_report_line(report, line, append_position(end, header.block, header.page_word));
        // The whole page word, R flag included, seeds the prediction.
        expected->block = header.block;
        expected->page = header.page_word;
        return;
    }
    // continuity_check calls this only for a frame out of step.
    const uint16_t page = header.page_word & PAGE_NUMBER_MASK;
    char* end = append_label(line, DIFFERENT_LABEL);
    end = append_position(end, expected->block, expected->page);
    end = append_text(end, " -> ");
    end = append_position(end, header.block, page);
    if ((header.page_word & R_FLAG) != 0) {
        end = append_text(end, "(R)");
    }
    write_report_line(report, line, end);
}

void report_missing(const frame_header& header, uint64_t offset, const expected_position& expected, report_log* report)
{
    char line[LINE_BUFFER_SIZE];
    char* end = append_label(line, MISSING_LABEL);
    end = append_position(end, expected.block, expected.page);
    end = append_text(end, " -> ");
    end = append_position(end, header.block, header.page_word);
    end = append_text(end, " (");
    end = append_unsigned_long(end, offset);
    end = append_text(end, ")");
    write_report_line(report, line, end);
}

void report_end(const unsigned char* frame_buffer, report_log* report)
{
    const frame_header header = read_frame_header(frame_buffer);
    char line[LINE_BUFFER_SIZE];
    char* end = append_label(line, END_LABEL);
    write_report_line(report, line, append_position(end, header.block, header.page_word));
}
