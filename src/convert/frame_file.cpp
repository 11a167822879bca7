#include "convert/frame_file.h"

#include "convert/continuity.h"
#include "convert/csv_row.h"
#include "driver/platform.h"

#include <cmath>
#include <cstdio>
#include <cstring>

frame_header read_frame_header(const unsigned char* frame)
{
    frame_header header;
    header.magic = load_u16(frame);
    header.block = load_u16(frame + 2);
    header.page_word = load_u16(frame + 4);
    return header;
}

sample read_sample(const unsigned char* frame, int index)
{
    const unsigned char* p = frame + FRAME_HEADER_SIZE + SAMPLE_SIZE * index;
    sample s;
    s.seqno = load_u16(p);
    s.ax = load_i16(p + 2);
    s.ay = load_i16(p + 4);
    s.az = load_i16(p + 6);
    s.gx = load_i16(p + 8);
    s.gy = load_i16(p + 10);
    s.gz = load_i16(p + 12);
    return s;
}

magnitudes sample_magnitudes(const sample& s)
{
    const double gx = s.gx / GYRO_SCALE;
    const double gy = s.gy / GYRO_SCALE;
    const double gz = s.gz / GYRO_SCALE;
    const double accel_unit = 1.0 / ACCEL_SCALE;  // exactly 2 to the power -13
    const double ax = s.ax * accel_unit;
    const double ay = s.ay * accel_unit;
    const double az = s.az * accel_unit;
    magnitudes m;
    m.gsvm = static_cast<int>(std::sqrt(gx * gx + gy * gy + gz * gz));
    m.asvm = static_cast<int>(std::sqrt(ax * ax + ay * ay + az * az) * 100.0);
    return m;
}

std::string output_name(const std::string& path, const char* extension)
{
    size_t name_start = path.size();
    while (name_start > 0 && !is_path_separator(path[name_start - 1])) {
        --name_start;
    }
    // A name shorter than the four bytes it would lose keeps its bytes, so
    // the output never lands in a parent directory or loses the name.
    const size_t kept = (path.size() - name_start < 4) ? path.size() : path.size() - 4;
    return path.substr(0, kept) + extension;
}

namespace {

// Whole frames read at once. Reads go straight from the file into the
// buffer, and frames are converted where they lie.
constexpr size_t FRAMES_PER_READ = 496;  // just under 64 KiB
unsigned char input_chunk[FRAMES_PER_READ * FRAME_SIZE];

// The CSV text waiting to be written. Rows are formatted straight into it,
// and it goes to the unbuffered stream in one write when it is nearly full;
// 1 MiB measured faster than 256 KiB, larger no faster.
char csv_text[1024 * 1024];
// The report text waiting to be written to the unbuffered log stream.
report_log log_output;

// The CSV text held in `csv_text`, and the stream it goes to.
struct csv_output {
    FILE* stream;
    size_t used;
};

void append_csv(csv_output* out, const char* text, size_t length)
{
    std::memcpy(csv_text + out->used, text, length);
    out->used += length;
}

// Writes the text held so far. A failed write leaves the stream's error
// flag set, which the close reports.
void flush_csv(csv_output* out)
{
    if (out->used > 0) {
        std::fwrite(csv_text, 1, out->used, out->stream);
        out->used = 0;
    }
}

void report_not_opened(const char* name)
{
    std::printf("quendix : %s, not opened.\n", name);
}

void report_not_written(const char* name)
{
    std::printf("quendix : %s, not written.\n", name);
}

// Closes an output stream. True when every write and the close succeeded.
bool close_output(FILE* stream)
{
    const bool wrote = std::ferror(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    return wrote && closed;
}

// The output name that would overwrite the input itself, or null. Names are
// compared as well as identities, so a clash is found even before the output
// exists in some form that identifies it.
const std::string* output_clash(const char* path, const file_identity& input,
                                const std::string& csv_name, const std::string& log_name)
{
    for (const std::string* name : {&csv_name, &log_name}) {
        file_identity id;
        if (*name == path || (path_identity(name->c_str(), &id) == 0 && same_identity(id, input))) {
            return name;
        }
    }
    return nullptr;
}

}  // namespace

int convert_file(const char* path, int end_block)
{
    std::printf("\nuqendix : %s\n\n", path);

    file_identity input_id;
    FILE* input = open_regular_input(path, &input_id);
    if (input == nullptr) {
        report_not_opened(path);
        return -1;
    }
    const std::string csv_name = output_name(path, ".csv");
    const std::string log_name = output_name(path, ".log");
    if (const std::string* clash = output_clash(path, input_id, csv_name, log_name)) {
        std::fclose(input);
        report_not_opened(clash->c_str());
        return -1;
    }
    // Every read asks for a whole chunk, which the stream delivers straight
    // into it without a buffer of its own.
    std::setvbuf(input, nullptr, _IONBF, 0);

    FILE* csv_stream = open_text_output(csv_name.c_str());
    if (csv_stream == nullptr) {
        std::fclose(input);
        report_not_opened(csv_name.c_str());
        return -1;
    }
    std::setvbuf(csv_stream, nullptr, _IONBF, 0);
    csv_output csv = {csv_stream, 0};
    append_csv(&csv, CSV_HEADER, std::strlen(CSV_HEADER));
    append_csv(&csv, output_line_end, std::strlen(output_line_end));

    FILE* log = open_text_output(log_name.c_str());
    if (log == nullptr) {
        std::fclose(input);
        flush_csv(&csv);
        const bool csv_written = close_output(csv.stream);
        report_not_opened(log_name.c_str());
        if (!csv_written) {
            report_not_written(csv_name.c_str());
        }
        return -1;
    }
    std::setvbuf(log, nullptr, _IONBF, 0);
    log_output.stream = log;
    log_output.used = 0;
    log_output.hold_console = !stdout_is_terminal();
    log_output.console_used = 0;

    // The frame buffer of the "end" line: it holds the last whole frame,
    // with a trailing fragment copied over its start. It starts zeroed, so
    // a file without one whole frame reports its end from zeros,
    // overwritten by whatever fragment it holds.
    unsigned char frame_buffer[FRAME_SIZE] = {};
    expected_position expected = {0, 0};
    unsigned long long frames_read = 0;
    for (;;) {
        // A short count means the end of the file or a read error; either
        // ends the conversion after the whole frames it delivered.
        const size_t got = std::fread(input_chunk, 1, sizeof input_chunk, input);
        const size_t frames = got / FRAME_SIZE;
        for (size_t i = 0; i < frames; ++i) {
            const unsigned char* frame = input_chunk + i * FRAME_SIZE;
            const frame_header header = read_frame_header(frame);
            if (header.magic != FRAME_MAGIC) {
                const long long offset = static_cast<long long>(frames_read * FRAME_SIZE);
                report_missing(header, offset, expected, &log_output);
            } else {
                continuity_check(header, frames_read, &expected, &log_output);
                if (sizeof csv_text - csv.used < CSV_FRAME_ROWS_MAX) {
                    flush_csv(&csv);
                }
                csv.used += format_frame_rows(frame, output_line_end, csv_text + csv.used);
            }
            advance_expected(&expected, end_block);
            ++frames_read;
        }
        if (frames > 0) {
            std::memcpy(frame_buffer, input_chunk + (frames - 1) * FRAME_SIZE, FRAME_SIZE);
        }
        if (got < sizeof input_chunk) {
            std::memcpy(frame_buffer, input_chunk + frames * FRAME_SIZE, got % FRAME_SIZE);
            break;
        }
    }
    report_end(frame_buffer, &log_output);
    flush_report_log(&log_output);
    flush_csv(&csv);

    const bool log_written = close_output(log);
    const bool csv_written = close_output(csv.stream);
    std::fclose(input);
    if (!log_written) {
        report_not_written(log_name.c_str());
    }
    if (!csv_written) {
        report_not_written(csv_name.c_str());
    }
    return (log_written && csv_written) ? 0 : -1;
}
