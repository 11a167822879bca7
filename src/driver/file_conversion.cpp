#include "driver/file_conversion.h"

#include "convert/frame_file.h"
#include "driver/csv_writer.h"
#include "driver/platform_writer.h"
#include "driver/signals.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

namespace {

// A stream of the C library as an owned resource: null for none.
struct stream_kind {
    using type = FILE*;
    static FILE* none() { return nullptr; }
    static void close(FILE* stream) { std::fclose(stream); }
};
using input_stream = owned<stream_kind>;

// The CSV writer's buffers, lent to the writer of each conversion in turn.
// They are part of the program as it loads, so that a run that could start
// has the memory every conversion writes from. They start at the first
// large page boundary in csv_memory and fill whole large pages, so that the
// system may back them with a few large pages in place of hundreds of small
// ones; the memory around them is never touched.
constexpr size_t CSV_BUFFERS_SIZE = CSV_WRITER_BUFFERS * CSV_BUFFER_SIZE;
constexpr size_t CSV_BUFFER_PAGES_SIZE = (CSV_BUFFERS_SIZE + LARGE_PAGE_SIZE - 1) / LARGE_PAGE_SIZE * LARGE_PAGE_SIZE;
alignas(4096) char csv_memory[CSV_BUFFER_PAGES_SIZE + LARGE_PAGE_SIZE];

char* csv_buffers()
{
    static char* buffers = nullptr;
    if (buffers == nullptr) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(csv_memory);
        buffers = csv_memory + (LARGE_PAGE_SIZE - start % LARGE_PAGE_SIZE) % LARGE_PAGE_SIZE;
        prefer_large_pages(buffers, CSV_BUFFER_PAGES_SIZE);
    }
    return buffers;
}

// The length of the UTF-8 sequence that starts at `text[i]`: 1 to 4 for a
// whole, well-formed one (no overlong form, no surrogate, nothing above
// U+10FFFF), 0 when the byte there starts none.
size_t utf8_length(const std::string& text, size_t i)
{
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        low = c == 0xE0 ? 0xA0 : 0x80;
        high = c == 0xED ? 0x9F : 0xBF;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        low = c == 0xF0 ? 0x90 : 0x80;
        high = c == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// Writes the path `text` to standard output. On a terminal each control
// byte (below 0x20, and 0x7F), each C1 control (U+0080 to U+009F, two bytes
// in UTF-8) and each byte that is not part of a well-formed UTF-8 sequence
// (a lone 0x9B is an 8-bit CSI to some terminals) is shown as "?", so that
// no file name can move the cursor, clear the screen or set the window
// title; elsewhere the bytes go as they are, and scripts see the exact
// names. Needs no memory.
void print_path(const std::string& text, bool terminal)
{
    if (!terminal) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8_length(text, i);
        if (length == 0 || c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F)) {
            std::putchar('?');
            i += length == 0 ? 1 : length;
        } else {
            std::fwrite(text.data() + i, 1, length, stdout);
            i += length;
        }
    }
}

// Writes the path of the input `name` in the directory `dir_path`.
void print_input_path(const std::string& dir_path, const std::string& name, bool terminal)
{
    print_path(dir_path, terminal);
    std::putchar(path_separator);
    print_path(name, terminal);
}

void report_outcome(const std::string& path, const char* outcome, bool terminal)
{
    std::fputs("quendix : ", stdout);
    print_path(path, terminal);
    std::printf(", %s.\n", outcome);
}

// Converts as convert_file does. Running out of memory throws
// std::bad_alloc, and the input and whatever of the outputs was made go
// with their owners: nothing is left open or created.
int convert(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
            output_set* outputs, bool terminal)
{
    const std::string path = join_path(dir_path, name);

    file_identity input_id;
    file_access access = {};
    input_stream input(open_input(dir, name, &input_id, &access));
    if (!input) {
        report_outcome(path, "not opened", terminal);
        return -1;
    }
    output_pair file_outputs;
    output_pair* pair = &file_outputs;
    name_outputs(dir, name, path, outputs, pair);
    const output_file* refused = refused_output(*pair, name, input_id);
    if (refused == nullptr) {
        refused = begin_outputs(pair, access);
    }
    if (refused != nullptr) {
        input.reset();
        report_outcome(refused->path, "not opened", terminal);
        return -1;
    }
    // The writer owns the CSV stream from here on, and closes it.
    csv_writer csv_rows;
    open_csv_writer(&csv_rows, pair->csv.stream, csv_buffers());
    pair->csv.stream = nullptr;
    // Every read asks for a whole chunk and the report reaches the log in
    // blocks of lines: neither stream needs a buffer of its own.
    std::setvbuf(input.get(), nullptr, _IONBF, 0);
    std::setvbuf(pair->log.stream, nullptr, _IONBF, 0);
    const conversion_streams streams = {input.get(), csv_writer_sink(&csv_rows), pair->log.stream, stdout,
                                        stdout_is_terminal()};
    const conversion_end end = convert_frames(streams, end_block, &interrupt_signal);
    const bool log_written = close_output(&pair->log);
    // Waits for the CSV writes in flight, so that none lands after the
    // temporary files are removed on an interrupt.
    const bool csv_written = close_csv_writer(&csv_rows);
    input.reset();

    // Until the outputs are in place the file is still being converted, and
    // an interrupt removes its temporary files: every real name keeps what
    // it held before.
    if (interrupt_signal != 0) {
        abandon_outputs(pair);
        report_outcome(path, "interrupted", terminal);
        end_if_interrupted();
    }
    // Outputs that are not both whole replace nothing. Those of a read that
    // failed are whole records of what was read, and are put in place.
    const output_file* unplaced = nullptr;
    if (log_written && csv_written) {
        unplaced = commit_outputs(pair);
    } else {
        abandon_outputs(pair);
    }
    if (end == CONVERSION_READ_FAILED) {
        report_outcome(path, "not read", terminal);
    }
    if (!log_written) {
        report_outcome(pair->log.path, "not written", terminal);
    }
    if (!csv_written) {
        report_outcome(pair->csv.path, "not written", terminal);
    }
    if (unplaced != nullptr) {
        report_outcome(unplaced->path, "not written", terminal);
    }
    return (end == CONVERSION_DONE && log_written && csv_written && unplaced == nullptr) ? 0 : -1;
}

}  // namespace

int convert_file(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
                 output_set* outputs)
{
    const bool terminal = stdout_is_terminal();
    // "uqendix", not "quendix": the banner has always read so, and scripts
    // that split the console text by file look for it.
    std::fputs("\nuqendix : ", stdout);
    print_input_path(dir_path, name, terminal);
    std::fputs("\n\n", stdout);

    try {
        return convert(dir, name, dir_path, end_block, outputs, terminal);
    } catch (const std::bad_alloc&) {
        // Memory for the file's names or for the set of outputs ran out:
        // the file is not converted, and the run goes on with the next.
        // Its input and outputs were closed and removed on the way here.
        std::fputs("quendix : ", stdout);
        print_input_path(dir_path, name, terminal);
        std::fputs(", not opened.\n", stdout);
        return -1;
    }
}
