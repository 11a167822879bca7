// The command line: options, their scan, and the usage text.
#ifndef QUENDIX_DRIVER_COMMAND_LINE_H
#define QUENDIX_DRIVER_COMMAND_LINE_H

constexpr int DEFAULT_END_BLOCK = 510;
constexpr int MIN_END_BLOCK = 1;
constexpr int MAX_END_BLOCK = 511;

// What one run is asked to do.
struct run_options {
    bool recursive;
    int end_block;
    const char* file_selector;
};

// How the scan of the arguments ended.
enum scan_result {
    SCAN_RUN,      // options are valid: convert
    SCAN_HELP,     // "-h" was met: print the usage text, exit status 0
    SCAN_INVALID,  // bad or missing end block: print the usage text, exit status 1
};

// Reads a decimal number like strtol in base 10, clamped to the signed
// 32-bit range: leading white space and one sign, digits up to the first
// non-digit, 0 when there are none.
int parse_decimal(const char* text);

// Scans argv[1..argc-1] into `options`. The selector points into argv.
scan_result scan_arguments(int argc, const char* const* argv, run_options* options);

// Writes the usage text to standard output.
void print_usage();

#endif
