#include "command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

struct decimal_case {
    const char* text;
    int value;
};

TEST(ParseDecimal, ReadsLikeStrtolClampedToInt32)
{
    const decimal_case cases[] = {
        {"510", 510},
        {"0511", 511},
        {"12abc", 12},
        {"  42", 42},
        {"\t\n7", 7},
        {"+9", 9},
        {"-5", -5},
        {"abc", 0},
        {"", 0},
        {"0x1ff", 0},
        {"- 5", 0},
        {"4294967297", INT_MAX},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX},
        {"-99999999999999999999999", INT_MIN},
    };
    for (const decimal_case& c : cases) {
        EXPECT_EQ(parse_decimal(c.text), c.value) << "text \"" << c.text << "\"";
    }
}

struct scan_case {
    std::vector<const char*> args;  // after the program name
    scan_result result;
    bool recursive;
    int end_block;
    const char* selector;
};

TEST(ScanArguments, FollowsTheScanRules)
{
    const scan_case cases[] = {
        {{}, SCAN_RUN, false, 510, "*.qvx"},
        {{"-h"}, SCAN_HELP, false, 510, nullptr},
        {{"-r", "-h"}, SCAN_HELP, true, 510, nullptr},
        {{"-e", "0", "-h"}, SCAN_HELP, false, 0, nullptr},
        {{"-h", "-e", "0"}, SCAN_HELP, false, 510, nullptr},
        {{"-e", "511"}, SCAN_RUN, false, 511, "*.qvx"},
        {{"-e", "1"}, SCAN_RUN, false, 1, "*.qvx"},
        {{"-e", "0"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e", "512"}, SCAN_INVALID, false, 512, nullptr},
        {{"-e", "-5"}, SCAN_INVALID, false, -5, nullptr},
        {{"-e", "abc"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e", "12abc"}, SCAN_RUN, false, 12, "*.qvx"},
        {{"-e", " 30"}, SCAN_RUN, false, 30, "*.qvx"},
        {{"-e", "0511"}, SCAN_RUN, false, 511, "*.qvx"},
        {{"-e", "0x1ff"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e", "4294967297"}, SCAN_INVALID, false, INT_MAX, nullptr},
        {{"-e", "0", "-e", "20"}, SCAN_RUN, false, 20, "*.qvx"},
        {{"-e", "20", "-e", "0"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e", "-r"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e", "-h"}, SCAN_INVALID, false, 0, nullptr},
        {{"-e"}, SCAN_INVALID, false, 510, nullptr},
        {{"-r", "-e"}, SCAN_INVALID, true, 510, nullptr},
        {{"data*.qvx", "-r"}, SCAN_RUN, true, 510, "*.qvx"},
        {{"a", "b", "z"}, SCAN_RUN, false, 510, "z"},
        {{"-R"}, SCAN_RUN, false, 510, "-R"},
        {{"--help"}, SCAN_RUN, false, 510, "--help"},
        {{"-rh"}, SCAN_RUN, false, 510, "-rh"},
        {{"-e", "100"}, SCAN_RUN, false, 100, "*.qvx"},
        {{"-r", "-e", "100", "x*.dat"}, SCAN_RUN, true, 100, "x*.dat"},
        {{""}, SCAN_RUN, false, 510, ""},
    };
    for (const scan_case& c : cases) {
        std::vector<const char*> argv{"quendix"};
        std::string shown;
        for (const char* arg : c.args) {
            argv.push_back(arg);
            shown += std::string(" [") + arg + "]";
        }
        run_options options;
        const scan_result result = scan_arguments(static_cast<int>(argv.size()), argv.data(), &options);
        EXPECT_EQ(result, c.result) << "args:" << shown;
        EXPECT_EQ(options.recursive, c.recursive) << "args:" << shown;
        if (result != SCAN_HELP) {
            EXPECT_EQ(options.end_block, c.end_block) << "args:" << shown;
        }
        if (c.selector != nullptr) {
            ASSERT_NE(options.file_selector, nullptr) << "args:" << shown;
            EXPECT_STREQ(options.file_selector, c.selector) << "args:" << shown;
        }
    }
}

}  // namespace
