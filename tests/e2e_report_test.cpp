// The continuity report of whole files, on the console and in the log.
#include "e2e.h"

#include <algorithm>
#include <utility>

namespace {

class Report : public temp_dir_test {
protected:
    // Converts `input` as a.qvx with `args` and checks that the console
    // shows the banner and `report_lines`, and the log holds the same lines.
    void expect_report(const std::string& input, const std::vector<std::string>& args,
                       const std::vector<std::string>& report_lines)
    {
        write_file(at("a.qvx"), input);
        const program_run run = run_quendix(root, args);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, banner("./a.qvx") + console_text(lines(report_lines, "\n")));
        EXPECT_EQ(read_file(at("a.log")), lines(report_lines, "\r\n"));
    }
};

std::string frames(const std::vector<std::pair<int, int>>& positions)
{
    std::string bytes;
    for (const auto& [block, page_word] : positions) {
        bytes += frame_bytes(make_frame(static_cast<uint16_t>(block), static_cast<uint16_t>(page_word)));
    }
    return bytes;
}

TEST_F(Report, TheWholeFiveFrameFile)
{
    const std::string input = frames({{1, 0}, {1, 1}, {1, 5}}) + erased_frame_bytes() + frames({{1, 7}});
    expect_report(input, {},
                  {"    start :   1,   0", "different :   1,   2 ->   1,   5",
                   "  missing :   1,   3 -> 65535, 65535 (396)", "different :   1,   4 ->   1,   7",
                   "      end :   1,   7"});
    // Only the four valid frames have rows.
    const std::string csv = read_file(at("a.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 4 * 9);
}

struct report_case {
    const char* what;
    std::string input;
    std::vector<std::string> args;
    std::vector<std::string> report;
};

TEST_F(Report, PredictionWrapsSkipsAndFlags)
{
    const report_case cases[] = {
        {"in step across a block", frames({{1, 510}, {1, 511}, {2, 0}, {2, 1}}), {},
         {"    start :   1, 510", "      end :   2,   1"}},
        {"end block 510 wraps to block 1", frames({{510, 511}, {1, 0}}), {},
         {"    start : 510, 511", "      end :   1,   0"}},
        {"end block 1 keeps block 1", frames({{1, 511}, {1, 0}}), {"-e", "1"},
         {"    start :   1, 511", "      end :   1,   0"}},
        {"end block 1, a higher first block is kept until the page wraps", frames({{5, 0}, {5, 1}}),
         {"-e", "1"}, {"    start :   5,   0", "      end :   5,   1"}},
        {"a first block above end block", frames({{600, 510}, {600, 511}, {1, 0}}), {},
         {"    start : 600, 510", "      end :   1,   0"}},
        {"the prediction stays behind after a gap", frames({{1, 0}, {1, 1}, {1, 5}, {1, 6}}), {},
         {"    start :   1,   0", "different :   1,   2 ->   1,   5", "different :   1,   3 ->   1,   6",
          "      end :   1,   6"}},
        {"R flag at the expected position is silent, elsewhere it is shown",
         frames({{1, 0}, {1, 0x8001}, {1, 0x8005}}), {},
         {"    start :   1,   0", "different :   1,   2 ->   1,   5(R)", "      end :   1, 32773"}},
        {"a first page word with the R flag", frames({{3, 0x8005}, {4, 0}}), {},
         {"    start :   3, 32773", "      end :   4,   0"}},
        {"a first page word above 511", frames({{510, 600}, {1, 0}}), {},
         {"    start : 510, 600", "      end :   1,   0"}},
        {"a first page word of 0xFFFF", frames({{7, 0xFFFF}, {7, 0}}), {},
         {"    start :   7, 65535", "      end :   7,   0"}},
        {"expected block 65535 wraps to 0", frames({{65535, 511}, {0, 0}, {0, 1}}), {},
         {"    start : 65535, 511", "      end :   0,   1"}},
        {"a frame without the marker between valid ones",
         frames({{1, 0}}) + erased_frame_bytes() + frames({{1, 2}}), {},
         {"    start :   1,   0", "  missing :   1,   1 -> 65535, 65535 (132)", "      end :   1,   2"}},
        {"a first frame without the marker predicts from (0, 0)",
         erased_frame_bytes() + frames({{0, 1}, {1, 0}}), {},
         {"  missing :   0,   0 -> 65535, 65535 (0)", "different :   0,   2 ->   1,   0",
          "      end :   1,   0"}},
        {"an empty file ends at zeros", "", {}, {"      end :   0,   0"}},
        {"a fragment alone shows its own bytes over zeros", std::string("\x53\x44\x05", 3), {},
         {"      end :   5,   0"}},
        {"a 3-byte fragment overwrites the low byte of the block",
         frames({{1, 0}, {1, 1}}) + std::string("\x00\x00\x09", 3), {},
         {"    start :   1,   0", "      end :   9,   1"}},
        {"a 6-byte fragment supplies both values",
         frames({{1, 0}}) + std::string("\x53\x44\x02\x00\x03\x00", 6), {},
         {"    start :   1,   0", "      end :   2,   3"}},
    };
    for (const report_case& c : cases) {
        SCOPED_TRACE(c.what);
        expect_report(c.input, c.args, c.report);
    }
}

}  // namespace
