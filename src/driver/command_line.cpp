#include "command_line.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int parse_decimal(const char* text)
{
    // strtol saturates at the bounds of long; clamping that to int keeps the
    // saturation on platforms where long is wider than 32 bits.
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

scan_result scan_arguments(int argc, const char* const* argv, run_options* options)
{
    options->recursive = false;
    options->end_block = DEFAULT_END_BLOCK;
    options->file_selector = nullptr;

    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "-r") == 0) {
            options->recursive = true;
        } else if (std::strcmp(arg, "-e") == 0) {
            ++i;
            if (i >= argc) {
                return SCAN_INVALID;  // "-e" with no value after it
            }
            options->end_block = parse_decimal(argv[i]);
        } else if (std::strcmp(arg, "-h") == 0) {
            return SCAN_HELP;
        } else if (i == argc - 1) {
            options->file_selector = arg;
        }
        // Any other argument before the last one is ignored.
    }

    if (options->file_selector == nullptr) {
        options->file_selector = "*.qvx";
    }
    if (options->end_block < MIN_END_BLOCK || options->end_block > MAX_END_BLOCK) {
        return SCAN_INVALID;
    }
    return SCAN_RUN;
}

void print_usage()
{
    std::printf("Usage : quendix [-r] [-e <end_block>] [<file_selector>]\n");
    std::printf("        quendix -h\n\n");
}
