#include "convert/continuity.h"

#include "convert/decimal_text.h"

#include <cstring>

namespace {

// Room for a line, its line end and what a table lookup may write past it.
constexpr size_t LINE_BUFFER_SIZE = REPORT_LINE_MAX + 2 + DECIMAL_TEXT_SLACK;

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

// Writes the log text held in `report` to the log, and empties it.
void flush_log_text(report_log* report)
{
    if (report->log_used > 0) {
        std::fwrite(report->log_text, 1, report->log_used, report->log);
        report->log_used = 0;
    }
}

// Writes the report line from `line` to `end` (with room for two more
// bytes) to the console ending in "\n" and to the log ending in CR LF. Both
// copies come from the one buffer: the console's line end is put after the
// text, then replaced by the log's.
void write_line(report_log* report, char* line, char* end)
{
    const size_t length = static_cast<size_t>(end - line);
    line[length] = '\n';
    if (!report->hold_console) {
        std::fwrite(line, 1, length + 1, report->console);
    } else {
        if (sizeof report->console_text - report->console_used < length + 1) {
            flush_report_console(report);
        }
        std::memcpy(report->console_text + report->console_used, line, length + 1);
        report->console_used += length + 1;
    }
    std::memcpy(line + length, "\r\n", 2);
    if (sizeof report->log_text - report->log_used < length + 2) {
        flush_log_text(report);
    }
    std::memcpy(report->log_text + report->log_used, line, length + 2);
    report->log_used += length + 2;
}

}  // namespace

void start_report(report_log* report, FILE* log, FILE* console, bool console_is_terminal)
{
    report->log = log;
    report->console = console;
    report->hold_console = !console_is_terminal;
    report->log_used = 0;
    report->console_used = 0;
}

void flush_report_console(report_log* report)
{
    if (report->console_used > 0) {
        std::fwrite(report->console_text, 1, report->console_used, report->console);
        report->console_used = 0;
    }
}

void flush_report(report_log* report)
{
    flush_log_text(report);
    flush_report_console(report);
}

void report_departure(const frame_header& header, uint64_t frames_read, expected_position* expected, report_log* report)
{
    char line[LINE_BUFFER_SIZE];
    if (frames_read == 0) {
        char* end = append_label(line, START_LABEL);
        write_line(report, line, append_position(end, header.block, header.page_word));
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
    write_line(report, line, end);
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
    write_line(report, line, end);
}

void report_end(const unsigned char* frame_buffer, report_log* report)
{
    const frame_header header = read_frame_header(frame_buffer);
    char line[LINE_BUFFER_SIZE];
    char* end = append_label(line, END_LABEL);
    write_line(report, line, append_position(end, header.block, header.page_word));
}
