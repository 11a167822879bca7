#include "continuity.h"

#include "frame_gen.h"
#include "support/scratch_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace {

struct advance_case {
    expected_position before;
    int end_block;
    expected_position after;
};

TEST(AdvanceExpected, MovesOnePageAndWrapsAtPageAndEndBlock)
{
    const advance_case cases[] = {
        {{1, 0}, 510, {1, 1}},        {{1, 511}, 510, {2, 0}},
        {{510, 511}, 510, {1, 0}},    {{509, 511}, 510, {510, 0}},
        {{1, 511}, 1, {1, 0}},        {{600, 0}, 510, {600, 1}},  // above end_block: kept until the page wraps
        {{600, 511}, 510, {1, 0}},    {{5, 0}, 1, {5, 1}},
        {{7, 0x8005}, 510, {8, 0}},  // a raw first page word with the R flag wraps at once
        {{510, 0x8005}, 510, {1, 0}}, {{7, 600}, 510, {8, 0}},
        {{7, 0xFFFF}, 510, {7, 0}},   // the page counter wraps to 0, which is below 512
        {{65535, 511}, 510, {0, 0}},  // the block counter wraps to 0, not above end_block
        {{65535, 511}, 1, {0, 0}},    {{0, 511}, 510, {1, 0}},
    };
    for (const advance_case& c : cases) {
        expected_position p = c.before;
        advance_expected(&p, c.end_block);
        EXPECT_EQ(p.block, c.after.block) << "from (" << c.before.block << ", " << c.before.page << ")";
        EXPECT_EQ(p.page, c.after.page) << "from (" << c.before.block << ", " << c.before.page << ")";
    }
}

// The whole text written to `stream`.
std::string text_of(FILE* stream)
{
    std::string text;
    std::rewind(stream);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        text.append(buffer, n);
    }
    return text;
}

// Runs `report` with a fresh report, once for a console that is a terminal
// and once for one that is not, and returns what reached the console and
// the log, which must not depend on the console.
template <typename Report>
std::pair<std::string, std::string> capture(Report report)
{
    std::pair<std::string, std::string> texts[2];
    for (const bool terminal : {true, false}) {
        scratch_file log_file;
        scratch_file console_file;
        FILE* log = log_file.stream();
        FILE* console = console_file.stream();
        if (log == nullptr || console == nullptr) {
            ADD_FAILURE() << "cannot make the scratch files";
            return {};
        }
        static report_log held;
        start_report(&held, log, console, terminal);
        report(&held);
        flush_report(&held);
        texts[terminal] = {text_of(console), text_of(log)};
    }
    EXPECT_EQ(texts[0], texts[1]);
    return texts[0];
}

frame_header header(uint16_t block, uint16_t page_word)
{
    return frame_header{FRAME_MAGIC, block, page_word};
}

struct line_case {
    const char* what;
    std::function<void(report_log*)> report;
    const char* line;  // without the line end
};

TEST(ReportLines, FormatsEachLineAlikeOnConsoleAndLog)
{
    const unsigned char end_frame[6] = {0x53, 0x44, 0x07, 0x00, 0x05, 0x80};
    const line_case cases[] = {
        {"start",
         [](report_log* log) {
             expected_position e{0, 0};
             continuity_check(header(1, 0), 0, &e, log);
         },
         "    start :   1,   0"},
        {"start with R flag prints the whole page word",
         [](report_log* log) {
             expected_position e{0, 0};
             continuity_check(header(3, 0x8005), 0, &e, log);
         },
         "    start :   3, 32773"},
        {"different",
         [](report_log* log) {
             expected_position e{1, 2};
             continuity_check(header(1, 5), 3, &e, log);
         },
         "different :   1,   2 ->   1,   5"},
        {"different with R flag",
         [](report_log* log) {
             expected_position e{1, 2};
             continuity_check(header(1, 0x8005), 3, &e, log);
         },
         "different :   1,   2 ->   1,   5(R)"},
        {"missing",
         [](report_log* log) {
             report_missing(frame_header{0xFFFF, 0xFFFF, 0xFFFF}, 132, {1, 1}, log);
         },
         "  missing :   1,   1 -> 65535, 65535 (132)"},
        {"different at the widest numbers",
         [](report_log* log) {
             expected_position e{65535, 511};
             continuity_check(header(0, 0xFFFF), 1, &e, log);
         },
         "different : 65535, 511 ->   0, 32767(R)"},
        {"missing at the start of the file",
         [](report_log* log) {
             report_missing(frame_header{0x1234, 0, 10}, 0, {0, 0}, log);
         },
         "  missing :   0,   0 ->   0,  10 (0)"},
        {"missing beyond 2 GiB",
         [](report_log* log) {
             report_missing(frame_header{0, 2, 3}, 5000000000LL, {1, 1}, log);
         },
         "  missing :   1,   1 ->   2,   3 (5000000000)"},
        {"end", [&end_frame](report_log* log) { report_end(end_frame, log); }, "      end :   7, 32773"},
    };
    for (const line_case& c : cases) {
        const auto [console, log] = capture(c.report);
        EXPECT_EQ(console, std::string(c.line) + "\n") << c.what;
        EXPECT_EQ(log, std::string(c.line) + "\r\n") << c.what;
    }
}

TEST(ContinuityCheck, StaysSilentInStepAndWithTheRFlagAlone)
{
    const auto [console, log] = capture([](report_log* log) {
        expected_position e{0, 0};
        continuity_check(header(4, 10), 0, &e, log);
        EXPECT_EQ(e.block, 4);
        EXPECT_EQ(e.page, 10);
        advance_expected(&e, 510);
        continuity_check(header(4, 11), 1, &e, log);
        advance_expected(&e, 510);
        continuity_check(header(4, 0x8000 | 12), 2, &e, log);
        // A departure never moves the prediction.
        advance_expected(&e, 510);
        continuity_check(header(9, 9), 3, &e, log);
        EXPECT_EQ(e.block, 4);
        EXPECT_EQ(e.page, 13);
    });
    EXPECT_EQ(console, "    start :   4,  10\ndifferent :   4,  13 ->   9,   9\n");
    EXPECT_EQ(log, "    start :   4,  10\r\ndifferent :   4,  13 ->   9,   9\r\n");
}

}  // namespace
