// quendix: converts the frame files of a directory tree to CSV files and
// continuity logs.
#include "driver/command_line.h"
#include "driver/directory_walk.h"
#include "driver/file_conversion.h"
#include "driver/platform.h"

#include <cstdio>

namespace {

void convert_tree(const run_options& options)
{
    process_directory(".", options.file_selector, options.recursive, options.end_block);
    end_if_interrupted();
}

}  // namespace

int main(int argc, char** argv)
{
    prepare_process();
    return run_command_line(argc, argv, convert_tree);
}
