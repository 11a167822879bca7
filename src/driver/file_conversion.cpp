#include "driver/file_conversion.h"

#include "convert/frame_file.h"
#include "driver/csv_writer.h"

#include <cstdio>
#include <new>

namespace {

// Writes the path `text` to standard output. On a terminal each control
// byte (below 0x20, and 0x7F) and each two-byte UTF-8 control (0xC2, then
// 0x80 to 0x9F) is shown as "?", so that no file name can move the cursor,
// clear the screen or set the window title; elsewhere the bytes go as they
// are, and scripts see the exact names. Needs no memory.
void print_path(const std::string& text, bool terminal)
{
    if (!terminal) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            std::putchar('?');
            ++i;
        } else {
            std::putchar(c < 0x20 || c == 0x7F ? '?' : c);
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

// Converts as convert_file does, keeping the open input in `*input` and the
// outputs in `pair`, so that the caller can release them when memory runs
// out.
int convert(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
            identity_set* outputs, bool terminal, FILE** input, output_pair* pair)
{
    const std::string path = join_path(dir_path, name);

    file_identity input_id;
    unsigned permissions = 0;
    *input = open_input(dir, name, &input_id, &permissions);
    if (*input == nullptr) {
        report_outcome(path, "not opened", terminal);
        return -1;
    }
    name_outputs(dir, name, path, pair);
    const output_file* refused = refused_output(*pair, name, input_id, *outputs);
    if (refused == nullptr) {
        refused = begin_outputs(pair, permissions, outputs);
    }
    if (refused != nullptr) {
        std::fclose(*input);
        *input = nullptr;
        report_outcome(refused->path, "not opened", terminal);
        return -1;
    }
    write_csv_header(pair->csv.stream);

    // The writer owns the CSV stream from here on, and closes it.
    csv_writer* csv_rows = open_csv_writer(pair->csv.stream);
    pair->csv.stream = nullptr;
    const conversion_streams streams = {*input, csv_writer_sink(csv_rows), pair->log.stream, stdout,
                                        stdout_is_terminal()};
    const conversion_end end = convert_frames(streams, end_block, &interrupt_signal);
    const bool log_written = close_output(&pair->log);
    // Waits for the CSV writes in flight, so that none lands after the
    // temporary files are removed on an interrupt.
    const bool csv_written = close_csv_writer(csv_rows);
    std::fclose(*input);
    *input = nullptr;

    // Until the outputs are in place the file is still being converted, and
    // an interrupt removes its temporary files: every real name keeps what
    // it held before.
    if (interrupt_signal != 0) {
        abandon_outputs(pair, outputs);
        report_outcome(path, "interrupted", terminal);
        end_if_interrupted();
    }
    // Outputs that are not both whole replace nothing. Those of a read that
    // failed are whole records of what was read, and are put in place.
    const output_file* unplaced = nullptr;
    if (log_written && csv_written) {
        unplaced = commit_outputs(pair, outputs);
    } else {
        abandon_outputs(pair, outputs);
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

std::string join_path(const std::string& dir, const std::string& name)
{
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, path_separator).append(name);
    return path;
}

void end_if_interrupted()
{
    if (interrupt_signal != 0) {
        std::fflush(stdout);
        end_by_interrupt();
    }
}

int convert_file(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
                 identity_set* outputs)
{
    const bool terminal = stdout_is_terminal();
    // "uqendix", not "quendix": the banner has always read so, and scripts
    // that split the console text by file look for it.
    std::fputs("\nuqendix : ", stdout);
    print_input_path(dir_path, name, terminal);
    std::fputs("\n\n", stdout);

    FILE* input = nullptr;
    output_pair pair;
    try {
        return convert(dir, name, dir_path, end_block, outputs, terminal, &input, &pair);
    } catch (const std::bad_alloc&) {
        // Memory for the file's names or for the set of outputs ran out:
        // the file is not converted, and the run goes on with the next.
        abandon_outputs(&pair, outputs);
        if (input != nullptr) {
            std::fclose(input);
        }
        std::fputs("quendix : ", stdout);
        print_input_path(dir_path, name, terminal);
        std::fputs(", not opened.\n", stdout);
        return -1;
    }
}
