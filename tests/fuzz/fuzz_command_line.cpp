// Fuzzes the scan of the command line: the input, split at its NUL bytes,
// is the argument vector after the program name. The scan must never crash
// or print, must end as the rules say (a run, the usage text for "-h", or
// the usage text for a bad or missing end block) and must give the options
// the rules give, worked out here independently.
#include "command_line.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// What the rules say a command line asks for.
struct expected_run {
    scan_result result;
    bool recursive;
    int end_block;
    std::string selector;
};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal number read as atoi does where int is 32 bits, saturating at
// the bounds instead of wrapping.
int decimal_value(const std::string& text)
{
    size_t i = 0;
    while (i < text.size() && is_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 2147483648LL) {
            value = 2147483648LL;
        }
    }
    if (negative) {
        return static_cast<int>(-value);
    }
    return value > 2147483647LL ? 2147483647 : static_cast<int>(value);
}

expected_run expected_for(const std::vector<std::string>& args)
{
    expected_run run{SCAN_RUN, false, 510, ""};
    bool have_selector = false;
    const size_t count = args.size();
    for (size_t i = 0; i < count; ++i) {
        if (args[i] == "-r") {
            run.recursive = true;
        } else if (args[i] == "-e") {
            if (++i == count) {
                return expected_run{SCAN_INVALID, false, 0, ""};
            }
            run.end_block = decimal_value(args[i]);
        } else if (args[i] == "-h") {
            return expected_run{SCAN_HELP, false, 0, ""};
        } else if (i + 1 == count) {
            run.selector = args[i];
            have_selector = true;
        }
    }
    if (!have_selector) {
        run.selector = "*.qvx";
    }
    if (run.end_block < 1 || run.end_block > 511) {
        return expected_run{SCAN_INVALID, false, 0, ""};
    }
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args;
    if (size > 0) {
        args.emplace_back();
        for (size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                args.emplace_back();
            } else {
                args.back().push_back(static_cast<char>(data[i]));
            }
        }
    }
    std::vector<const char*> argv{"quendix"};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);

    const std::string console = scratch_dir() + "/console";
    check(begin_capture(console) == 0, "standard output can be caught", console);
    run_options options;
    const scan_result result = scan_arguments(static_cast<int>(args.size()) + 1, argv.data(), &options);
    end_capture();
    const std::string printed = read_whole_file(console);

    const expected_run want = expected_for(args);
    check(printed.empty(), "the scan prints nothing; the usage text is the caller's answer", printed);
    check(result == want.result, "the scan ends in a run, help or a bad end block as the rules say",
          std::to_string(result));
    if (want.result == SCAN_RUN) {
        check(options.recursive == want.recursive, "the recursive flag follows the rules");
        check(options.end_block == want.end_block, "the end block follows the rules",
              std::to_string(options.end_block));
        check(options.file_selector != nullptr && options.file_selector == want.selector,
              "the selector is the last argument that is no option", want.selector);
    }
    return 0;
}
