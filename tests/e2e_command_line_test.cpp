// The command line as a user meets it: usage text, exit status, and which
// files a run converts.
#include "e2e.h"

#include <algorithm>
#include <utility>

namespace {

class CommandLine : public temp_dir_test {
protected:
    void SetUp() override
    {
        temp_dir_test::SetUp();
        write_file(at("a.qvx"), frame_bytes(sample_frame(1, 0, 0)));
        write_file(at("sub/b.qvx"), frame_bytes(sample_frame(2, 7, 0)));
        write_file(at("-R"), frame_bytes(sample_frame(3, 9, 0)));
    }
};

// What the console shows for one of the three files above.
std::string report_of(const std::string& path)
{
    if (path == "./a.qvx") {
        return banner(path) + console_text("    start :   1,   0\n      end :   1,   0\n");
    }
    if (path == "./sub/b.qvx") {
        return banner(path) + console_text("    start :   2,   7\n      end :   2,   7\n");
    }
    return banner(path) + console_text("    start :   3,   9\n      end :   3,   9\n");
}

struct command_case {
    std::vector<std::string> args;
    int status;
    bool usage;                          // the output is the usage text alone
    std::vector<std::string> converted;  // otherwise: these files, in this order
};

TEST_F(CommandLine, UsageExitStatusAndSelection)
{
    const std::vector<std::string> top = {"./a.qvx"};
    const std::vector<std::string> tree = {"./a.qvx", "./sub/b.qvx"};
    const command_case cases[] = {
        {{}, 0, false, top},
        {{"-h"}, 0, true, {}},
        {{"-r", "-h"}, 0, true, {}},
        {{"-e", "0", "-h"}, 0, true, {}},
        {{"-h", "-e", "0"}, 0, true, {}},
        {{"-e", "511"}, 0, false, top},
        {{"-e", "1"}, 0, false, top},
        {{"-e", "12abc"}, 0, false, top},
        {{"-e", " 12"}, 0, false, top},
        {{"-e", "0511"}, 0, false, top},
        {{"-e", "0", "-e", "20"}, 0, false, top},
        {{"-e", "0"}, 1, true, {}},
        {{"-e", "512"}, 1, true, {}},
        {{"-e", "-5"}, 1, true, {}},
        {{"-e", "abc"}, 1, true, {}},
        {{"-e", "0x1ff"}, 1, true, {}},
        {{"-e", "4294967297"}, 1, true, {}},
        {{"-e", "20", "-e", "0"}, 1, true, {}},
        {{"-e", "-r"}, 1, true, {}},
        {{"-e", "-h"}, 1, true, {}},
        {{"-e"}, 1, true, {}},
        {{"-r"}, 0, false, tree},
        {{"data*.qvx", "-r"}, 0, false, tree},
        {{"-r", "*.QVX"}, 0, false, tree},
        {{"-e", "100"}, 0, false, top},
        {{"x", "y", "a.qvx"}, 0, false, top},
        {{"-R"}, 0, false, {"./-R"}},
        {{""}, 0, false, {}},
        {{"nothing*.matches"}, 0, false, {}},
    };
    for (const command_case& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) {
            shown += " [" + arg + "]";
        }
        const program_run run = run_quendix(root, c.args);
        EXPECT_EQ(run.exit_status, c.status) << "args:" << shown;
        std::string expected = c.usage ? console_text(USAGE_TEXT) : "";
        for (const std::string& path : c.converted) {
            expected += report_of(path);
        }
        EXPECT_EQ(run.output, expected) << "args:" << shown;
        const std::pair<const char*, const char*> outputs[] = {
            {"./a.qvx", "a"}, {"./sub/b.qvx", "sub/b"}, {"./-R", "-R"}};
        for (const auto& [input, stem] : outputs) {
            const bool wanted = std::find(c.converted.begin(), c.converted.end(), input) != c.converted.end();
            for (const char* extension : {".csv", ".log"}) {
                const fs::path output = at(std::string(stem) + extension);
                EXPECT_EQ(fs::exists(output), wanted) << "args:" << shown << ", file " << output;
                std::error_code ignored;
                fs::remove(output, ignored);
            }
        }
    }
}

TEST_F(CommandLine, PrintsNothingWhenNothingMatches)
{
    const fs::path empty = at("empty");
    fs::create_directories(empty);
    const program_run run = run_quendix(empty, {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_TRUE(fs::is_empty(empty));
}

}  // namespace
