// quendix: converts the frame files of a directory tree to CSV files and
// continuity logs.
#include "driver/command_line.h"
#include "driver/directory_walk.h"
#include "driver/platform.h"

#include <cstdio>

namespace {
char console_buffer[64 * 1024];
}

int main(int argc, char** argv)
{
    // Redirected output is written in large blocks; a terminal still sees
    // each line as it is reported.
    if (!stdout_is_terminal()) {
        std::setvbuf(stdout, console_buffer, _IOFBF, sizeof console_buffer);
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
    process_directory(".", options.file_selector, options.recursive, options.end_block);
    return 0;
}
