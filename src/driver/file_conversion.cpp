#include "driver/file_conversion.h"

#include "convert/frame_file.h"
#include "driver/csv_writer.h"

#include <cstdio>

namespace {

// An output of the file being converted: its name in the directory, and its
// path as the messages show it.
struct output_file {
    std::string name;
    std::string path;
};

void report_outcome(const std::string& path, const char* outcome)
{
    std::printf("quendix : %s, %s.\n", path.c_str(), outcome);
}

// Closes an output stream. True when every write and the close succeeded.
bool close_output(FILE* stream)
{
    const bool wrote = std::ferror(stream) == 0;
    const bool closed = std::fclose(stream) == 0;
    return wrote && closed;
}

// True when `output` may be created for the input `name` whose identity is
// `input`: it is neither the input itself, by name or through a link, nor
// an output this run has created already.
bool may_create(const directory* dir, const std::string& name, const file_identity& input,
                const output_file& output, const identity_set& outputs)
{
    file_identity id;
    if (output.name == name || (name_identity(dir, output.name, true, &id) == 0 && same_identity(id, input))) {
        return false;
    }
    return !(name_identity(dir, output.name, false, &id) == 0 && has_identity(outputs, id));
}

// Creates `output` and records it in `outputs`; null when it cannot.
FILE* create(const directory* dir, const output_file& output, identity_set* outputs)
{
    file_identity id;
    FILE* stream = create_output(dir, output.name, &id);
    if (stream != nullptr) {
        add_identity(outputs, id);
    }
    return stream;
}

}  // namespace

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

void end_if_interrupted()
{
    if (interrupt_signal != 0) {
        std::fflush(stdout);
        end_by_interrupt();
    }
}

int convert_file(const directory* dir, const std::string& name, const std::string& path, int end_block,
                 identity_set* outputs)
{
    // "uqendix", not "quendix": the banner has always read so, and scripts
    // that split the console text by file look for it.
    std::printf("\nuqendix : %s\n\n", path.c_str());

    file_identity input_id;
    FILE* input = open_input(dir, name, &input_id);
    if (input == nullptr) {
        report_outcome(path, "not opened");
        return -1;
    }
    const output_file csv = {output_name(name, ".csv"), output_name(path, ".csv")};
    const output_file log = {output_name(name, ".log"), output_name(path, ".log")};
    for (const output_file* output : {&csv, &log}) {
        if (!may_create(dir, name, input_id, *output, *outputs)) {
            std::fclose(input);
            report_outcome(output->path, "not opened");
            return -1;
        }
    }

    FILE* csv_stream = create(dir, csv, outputs);
    if (csv_stream == nullptr) {
        std::fclose(input);
        report_outcome(csv.path, "not opened");
        return -1;
    }
    write_csv_header(csv_stream);
    FILE* log_stream = create(dir, log, outputs);
    if (log_stream == nullptr) {
        std::fclose(input);
        const bool csv_written = close_output(csv_stream);
        report_outcome(log.path, "not opened");
        if (!csv_written) {
            report_outcome(csv.path, "not written");
        }
        return -1;
    }

    csv_writer* csv_rows = open_csv_writer(csv_stream);
    const conversion_streams streams = {input, csv_writer_sink(csv_rows), log_stream, stdout, stdout_is_terminal()};
    const conversion_end end = convert_frames(streams, end_block, &interrupt_signal);
    const bool log_written = close_output(log_stream);
    // Waits for the CSV writes in flight, so that none lands after the
    // outputs are removed on an interrupt.
    const bool csv_written = close_csv_writer(csv_rows);
    std::fclose(input);

    // Until its last message the file is still being converted, and an
    // interrupt takes both outputs away: none is left that looks whole but
    // is not.
    if (interrupt_signal != 0) {
        remove_name(dir, csv.name);
        remove_name(dir, log.name);
        report_outcome(path, "interrupted");
        end_if_interrupted();
    }
    if (end == CONVERSION_READ_FAILED) {
        report_outcome(path, "not read");
    }
    if (!log_written) {
        report_outcome(log.path, "not written");
    }
    if (!csv_written) {
        report_outcome(csv.path, "not written");
    }
    return (end == CONVERSION_DONE && log_written && csv_written) ? 0 : -1;
}
