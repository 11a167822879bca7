#include "frame_file.h"

#include "continuity.h"
#include "csv_rows.h"
#include "report_log.h"

#include <cstring>

conversion_end convert_frames(const conversion_streams& streams, int end_block, const volatile std::sig_atomic_t* stop,
                              conversion_memory* memory)
{
    unsigned char* const input_chunk = memory->input_chunk;
    report_log* const report = &memory->report;
    start_report(report, streams.log, streams.console, streams.console_is_terminal);
    // Rows are formatted straight into the sink's buffer, which goes back
    // to it when the next frame's rows might not fit. The header line
    // starts the first one.
    const csv_sink& csv = streams.csv;
    char* csv_text = csv.take(csv.context);
    size_t csv_used = std::strlen(CSV_HEADER);
    std::memcpy(csv_text, CSV_HEADER, csv_used);

    // The frame buffer of the "end" line: it holds the last whole frame,
    // with a trailing fragment copied over its start. It starts zeroed, so
    // a file without one whole frame reports its end from zeros,
    // overwritten by whatever fragment it holds.
    unsigned char frame_buffer[FRAME_SIZE] = {};
    expected_position expected = {0, 0};
    uint64_t frames_read = 0;
    for (;;) {
        if (*stop != 0) {
            csv.give(csv.context, csv_text, 0);
            flush_report_console(report);
            return CONVERSION_STOPPED;
        }
        // A short count means the end of the file or a read error; either
        // ends the loop after the whole frames it delivered.
        const size_t got = std::fread(input_chunk, 1, sizeof memory->input_chunk, streams.input);
        const size_t frames = got / FRAME_SIZE;
        // The report of the chunk's frames, then their rows: the two go to
        // different files, and the rows of many frames at once come faster.
        for (size_t i = 0; i < frames; ++i) {
            const frame_header header = read_frame_header(input_chunk + i * FRAME_SIZE);
            if (header.magic != FRAME_MAGIC) {
                report_missing(header, frames_read * FRAME_SIZE, expected, report);
            } else {
                continuity_check(header, frames_read, &expected, report);
            }
            advance_expected(&expected, end_block);
            ++frames_read;
        }
        for (size_t i = 0; i < frames;) {
            // As many frames as the buffer has room for, whatever their
            // rows, so that nothing is written past its end.
            const size_t room = (CSV_BUFFER_SIZE - csv_used - CSV_ROWS_SLACK) / CSV_FRAME_ROWS_LONGEST;
            if (room == 0) {
                csv.give(csv.context, csv_text, csv_used);
                csv_text = csv.take(csv.context);
                csv_used = 0;
                continue;
            }
            const size_t n = room < frames - i ? room : frames - i;
            csv_used += format_marked_rows(input_chunk + i * FRAME_SIZE, n, csv_text + csv_used);
            i += n;
        }
        if (frames > 0) {
            std::memcpy(frame_buffer, input_chunk + (frames - 1) * FRAME_SIZE, FRAME_SIZE);
        }
        if (got < sizeof memory->input_chunk) {
            std::memcpy(frame_buffer, input_chunk + frames * FRAME_SIZE, got % FRAME_SIZE);
            break;
        }
    }
    report_end(frame_buffer, report);
    flush_report(report);
    csv.give(csv.context, csv_text, csv_used);
    return std::ferror(streams.input) != 0 ? CONVERSION_READ_FAILED : CONVERSION_DONE;
}
