// quendix: converts the frame files of a directory tree to CSV files and
// continuity logs.
#include "driver/command_line.h"
#include "driver/directory_walk.h"
#include "driver/file_conversion.h"
#include "driver/platform.h"

int main(int argc, char** argv)
{
    prepare_process();

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
    end_if_interrupted();
    return 0;
}
