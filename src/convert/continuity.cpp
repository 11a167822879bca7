#include "convert/continuity.h"

#include "convert/decimal_text.h"

#include <cstring>

#include "driver/platform.h"

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

// Writes the console text held in `log` to standard output.
void flush_console(report_log* log)
{
    if (log->console_used > 0) {
        std::fwrite(log->console, 1, log->console_used, stdout);
        log->console_used = 0;
    }
}

void report(report_log* log, char* line, const char* end)
{
    report_line(log, line, static_cast<size_t>(end - line));
}

}  // namespace

void report_line(report_log* log, char* line, size_t length)
{
    // The console's line end is put after the text, then replaced by the
    // files' one, so both copies come from the one buffer.
    static const size_t end_length = std::strlen(output_line_end);
    line[length] = '\n';
    if (!log->hold_console) {
        std::fwrite(line, 1, length + 1, stdout);
    } else {
        if (sizeof log->console - log->console_used < length + 1) {
            flush_console(log);
        }
        std::memcpy(log->console + log->console_used, line, length + 1);
        log->console_used += length + 1;
    }
    std::memcpy(line + length, output_line_end, end_length);
    if (sizeof log->text - log->used < length + end_length) {
        flush_report_log(log);
    }
    std::memcpy(log->text + log->used, line, length + end_length);
    log->used += length + end_length;
}

void flush_report_log(report_log* log)
{
    if (log->used > 0) {
        std::fwrite(log->text, 1, log->used, log->stream);
        log->used = 0;
    }
    flush_console(log);
}

void report_departure(const frame_header& header, unsigned long long frames_read,
                      expected_position* expected, report_log* log)
{
    char line[LINE_BUFFER_SIZE];
    if (frames_read == 0) {
        char* end = append_label(line, START_LABEL);
        report(log, line, append_position(end, header.block, header.page_word));
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
    report(log, line, end);
}

void report_missing(const frame_header& header, long long offset,
                    const expected_position& expected, report_log* log)
{
    char line[LINE_BUFFER_SIZE];
    char* end = append_label(line, MISSING_LABEL);
    end = append_position(end, expected.block, expected.page);
    end = append_text(end, " -> ");
    end = append_position(end, header.block, header.page_word);
    end = append_text(end, " (");
    // Offsets are byte counts from the start of the file, never negative.
    end = append_unsigned_long(end, static_cast<unsigned long long>(offset));
    end = append_text(end, ")");
    report(log, line, end);
}

void report_end(const unsigned char* frame_buffer, report_log* log)
{
    const frame_header header = read_frame_header(frame_buffer);
    char line[LINE_BUFFER_SIZE];
    char* end = append_label(line, END_LABEL);
    report(log, line, append_position(end, header.block, header.page_word));
}
