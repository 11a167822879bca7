// quendix: converts the frame files of a directory tree to CSV files and
// continuity logs.
#include "command_line.h"
#include "directory_walk.h"
#include "platform.h"
#include "run_resources.h"
#include "signals.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Memory the run must be able to get before it starts. Once it has it, a
// file whose conversion cannot get memory is reported and passed over: that
// takes some memory itself, for the exception that says so (the runtime
// sets a little aside for it while the program loads, which fails too where
// there is less than this). Far less than a conversion needs.
constexpr size_t START_MEMORY = 256 * 1024;

// The exit status of a run that could not start for want of memory: no
// abort, and not a status of the rules for the arguments.
constexpr int NO_MEMORY_STATUS = 2;

bool start_memory_available()
{
    void* room = std::malloc(START_MEMORY);
    std::free(room);
    return room != nullptr;
}

// Says that the run cannot start for want of memory, in one line; writing
// to standard output needs none.
int no_memory_to_start()
{
    std::fputs("quendix : not enough memory to start.\n", stdout);
    return NO_MEMORY_STATUS;
}

}  // namespace

int main(int argc, char** argv)
{
    prepare_process();
    prepare_signals();
    if (!start_memory_available()) {
        return no_memory_to_start();
    }

    run_options options;
    switch (scan_arguments(argc, argv, &options)) {
    case SCAN_HELP:
        print_usage();
        return 0;
    case SCAN_INVALID:
        print_usage();
        return 1;
    case SCAN_RUN:
        break;
    }

    // Everything the conversions need is taken here, once, and the run
    // ends here alone: by the interrupt when one has arrived, its last
    // file's temporary files removed.
    const std::unique_ptr<run_resources> resources = take_run_resources();
    if (!resources) {
        return no_memory_to_start();
    }
    const run_outcome outcome = process_directory(".", options.file_selector, options.recursive, options.end_block,
                                                  resources.get());
    if (outcome == RUN_FAILED) {
        return no_memory_to_start();
    }
    end_if_interrupted();
    return 0;
}
