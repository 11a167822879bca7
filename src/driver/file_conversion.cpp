#include "file_conversion.h"

#include "csv_writer.h"
#include "frame_file.h"
#include "signals.h"
#include "terminal_names.h"

#include <cstdio>
#include <string>
#include <utility>

namespace {

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
run_outcome convert(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
                    output_set* outputs, run_resources* resources, bool terminal)
{
    const std::string path = join_path(dir_path, name);

    file_identity input_id;
    file_access access = {};
    owned_stream input(open_input(dir, name, &input_id, &access));
    if (!input) {
        report_outcome(path, "not opened", terminal);
        return RUN_FAILED;
    }
    output_pair file_outputs;
    output_pair* pair = &file_outputs;
    name_outputs(dir, name, path, outputs, pair);
    const output_file* refused = refused_output(*pair, name, input_id);
    if (refused == nullptr) {
        refused = begin_outputs(pair, access, &resources->names);
    }
    if (refused != nullptr) {
        input.reset();
        report_outcome(refused->path, "not opened", terminal);
        return RUN_FAILED;
    }
    csv_writer csv_rows(std::move(pair->csv.stream), resources->csv_buffers);
    // Every read asks for a whole chunk and the report reaches the log in
    // blocks of lines: neither stream needs a buffer of its own.
    std::setvbuf(input.get(), nullptr, _IONBF, 0);
    std::setvbuf(pair->log.stream.get(), nullptr, _IONBF, 0);
    const conversion_streams streams = {input.get(), csv_rows.sink(), pair->log.stream.get(), stdout,
                                        stdout_is_terminal()};
    const conversion_end end = convert_frames(streams, end_block, &interrupt_signal, &resources->conversion);
    const bool log_written = close_output(&pair->log);
    // Waits for the CSV writes in flight, so that none lands after the
    // temporary files are removed on an interrupt.
    const bool csv_written = csv_rows.finish();
    input.reset();

    // Until the outputs are in place the file is still being converted, and
    // an interrupt removes its temporary files: every real name keeps what
    // it held before.
    if (interrupt_signal != 0) {
        abandon_outputs(pair);
        report_outcome(path, "interrupted", terminal);
        return RUN_INTERRUPTED;
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
    return (end == CONVERSION_DONE && log_written && csv_written && unplaced == nullptr) ? RUN_DONE : RUN_FAILED;
}

}  // namespace

run_outcome convert_file(const directory* dir, const std::string& name, const std::string& dir_path, int end_block,
                         output_set* outputs, run_resources* resources)
{
    const bool terminal = stdout_is_terminal();
    // "uqendix", not "quendix": the banner has always read so, and scripts
    // that split the console text by file look for it.
    std::fputs("\nuqendix : ", stdout);
    print_input_path(dir_path, name, terminal);
    std::fputs("\n\n", stdout);

    run_outcome outcome = RUN_FAILED;
    if (ran_out_of_memory([&] { outcome = convert(dir, name, dir_path, end_block, outputs, resources, terminal); })) {
        // Memory for the file's names or for the set of outputs ran out:
        // the file is not converted, and the run goes on with the next.
        // Its input and outputs were closed and removed on the way here.
        std::fputs("quendix : ", stdout);
        print_input_path(dir_path, name, terminal);
        std::fputs(", not opened.\n", stdout);
        return RUN_FAILED;
    }
    return outcome;
}
