// One file's conversion: the CSV and log it writes, and how every kind of
// bad input or output is met.
#include "e2e.h"

#include <algorithm>
#include <cstring>

namespace {

class Conversion : public temp_dir_test {};

std::string report(const std::vector<std::string>& report_lines, const std::string& line_end)
{
    return lines(report_lines, line_end);
}

TEST_F(Conversion, WritesEveryRowOfEveryValidFrame)
{
    const gen_frame frames[] = {sample_frame(1, 0, 0), sample_frame(1, 1, 9), sample_frame(1, 2, 18)};
    std::string input;
    std::string rows;
    for (const gen_frame& frame : frames) {
        input += frame_bytes(frame);
        rows += expected_rows(frame);
    }
    write_file(at("a.qvx"), input);
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    const std::vector<std::string> log = {"    start :   1,   0", "      end :   1,   2"};
    EXPECT_EQ(run.output, banner("./a.qvx") + console_text(report(log, "\n")));
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + rows);
    EXPECT_EQ(read_file(at("a.log")), report(log, "\r\n"));
    EXPECT_EQ(read_file(at("a.qvx")), input);
}

TEST_F(Conversion, WritesTheSpecifiedRowAndTheExtremes)
{
    gen_frame frame = make_frame(1, 0);
    frame.samples[0] = gen_sample{1, 8192, 0, 0, 6554, 0, 0};
    frame.samples[1] = gen_sample{65535, -1, -1, -1, -1, -1, -1};
    frame.samples[2] = gen_sample{0, -32768, -32768, -32768, -32768, -32768, -32768};
    frame.samples[3] = gen_sample{32767, 32767, 32767, 32767, 32767, 32767, 32767};
    write_file(at("a.qvx"), frame_bytes(frame));
    run_quendix(root, {});
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE +
                                          "1,8192,0,0,6554,0,0,100,100\r\n"
                                          "65535,-1,-1,-1,-1,-1,-1,0,0\r\n"
                                          "0,-32768,-32768,-32768,-32768,-32768,-32768,692,866\r\n"
                                          "32767,32767,32767,32767,32767,32767,32767,692,865\r\n" +
                                          lines(std::vector<std::string>(5, "0,0,0,0,0,0,0,0,0"), "\r\n"));
}

// Cuts a recording of two frames at every length, from nothing to whole:
// a file for each length, all converted by one run, so that no file's
// conversion is changed by the file before it either.
TEST_F(Conversion, TruncatedAtEveryLength)
{
    const gen_frame first = sample_frame(4, 10, 0);
    gen_frame second = sample_frame(4, 11, 9);
    second.block = 0x0907;  // a header unlike the first, so a fragment's bytes show
    second.page_word = 0x0B0A;
    const std::string whole = frame_bytes(first) + frame_bytes(second);
    std::vector<std::string> names;
    for (size_t length = 0; length <= whole.size(); ++length) {
        const std::string digits = std::to_string(length);
        names.push_back("t" + std::string(3 - digits.size(), '0') + digits);
        write_file(at(names.back() + ".qvx"), whole.substr(0, length));
    }
    const program_run run = run_quendix(root, {});
    ASSERT_EQ(run.exit_status, 0);

    size_t console_size = 0;
    for (size_t length = 0; length <= whole.size(); ++length) {
        std::string rows;
        std::vector<std::string> log;
        if (length >= 132) {
            rows += expected_rows(first);
            log.push_back("    start :   4,  10");
        }
        if (length == 264) {
            // The second frame departs from the prediction (4, 11) but is converted.
            rows += expected_rows(second);
            log.push_back("different :   4,  11 -> 2311, 2826");
        }
        log.push_back(end_line(whole.substr(0, length)));

        const std::string& name = names[length];
        EXPECT_EQ(read_file(at(name + ".csv")), CSV_HEADER_LINE + rows) << "length " << length;
        EXPECT_EQ(read_file(at(name + ".log")), report(log, "\r\n")) << "length " << length;
        // Each file's console text, whole, somewhere in the run's.
        const std::string console = banner("./" + name + ".qvx") + console_text(report(log, "\n"));
        EXPECT_NE(run.output.find(console), std::string::npos) << "length " << length;
        console_size += console.size();
    }
    // And nothing else: the texts, each starting with its own banner, add up
    // to the whole console.
    EXPECT_EQ(run.output.size(), console_size);
}

// Long recordings: the frames are read in blocks of 496 and the CSV text is
// written in blocks of about 2400 frames, so these lengths put the last
// frame, a fragment and the frames without the marker on both sides of each
// edge.
TEST_F(Conversion, LongRecordingsAcrossEveryReadAndWriteBlock)
{
    for (const size_t frames : {495, 496, 497, 992, 5000}) {
        for (const size_t fragment : {0, 3, 131}) {
            std::string input;
            std::string rows;
            std::vector<std::string> log = {"    start :   1,   0"};
            uint16_t block = 1;
            uint16_t page = 0;
            for (size_t i = 0; i < frames; ++i) {
                const gen_frame frame = sample_frame(block, page, static_cast<uint16_t>(9 * i));
                if (i % 97 == 96) {
                    input += erased_frame_bytes();
                    char line[64];
                    std::snprintf(line, sizeof line, "  missing : %3d, %3d -> 65535, 65535 (%zu)", block, page,
                                  i * 132);
                    log.push_back(line);
                } else {
                    input += frame_bytes(frame);
                    rows += expected_rows(frame);
                }
                if (++page == 512) {
                    page = 0;
                    ++block;
                }
            }
            // The fragment's bytes are a header of (7, 9) and more, so a long
            // one shows in the end line and a short one only in part.
            std::string tail = frame_bytes(sample_frame(7, 9, 0));
            input += tail.substr(0, fragment);
            log.push_back(end_line(input));

            write_file(at("long.qvx"), input);
            const program_run run = run_quendix(root, {});
            const std::string what = std::to_string(frames) + " frames + " + std::to_string(fragment);
            ASSERT_EQ(run.exit_status, 0) << what;
            EXPECT_EQ(read_file(at("long.csv")), CSV_HEADER_LINE + rows) << what;
            EXPECT_EQ(read_file(at("long.log")), report(log, "\r\n")) << what;
            EXPECT_EQ(run.output, banner("./long.qvx") + console_text(report(log, "\n"))) << what;
        }
    }
}

TEST_F(Conversion, OutputNamesForShortAndOddNames)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    struct name_case {
        const char* input;
        const char* csv;
        const char* log;
    };
    // "sub/ab" keeps its outputs in "sub": losing four bytes there would
    // put them at "su.csv" in the parent directory.
    const name_case cases[] = {
        {"README", "RE.csv", "RE.log"},
        {"data.qvx2", "data..csv", "data..log"},
        {"ab", "ab.csv", "ab.log"},
        {"sub/ab", "sub/ab.csv", "sub/ab.log"},
    };
    for (const name_case& c : cases) {
        write_file(at(c.input), frame);
        const std::string name = fs::path(c.input).filename().string();
        run_quendix(root, {"-r", name});
        EXPECT_EQ(read_file(at(c.csv)), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0))) << c.input;
        EXPECT_EQ(read_file(at(c.log)), "    start :   1,   0\r\n      end :   1,   0\r\n") << c.input;
        EXPECT_EQ(read_file(at(c.input)), frame) << c.input;
        std::vector<std::string> files;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) {
                files.push_back(fs::relative(entry.path(), root).generic_string());
            }
        }
        std::sort(files.begin(), files.end());
        std::vector<std::string> expected = {c.input, c.csv, c.log};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(files, expected) << c.input;
        fs::remove_all(at("sub"));
        for (const char* file : {c.input, c.csv, c.log}) {
            fs::remove(at(file));
        }
    }
}

TEST_F(Conversion, InputIsNeverDestroyedByItsOwnOutputName)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("x.csv"), frame);
    program_run run = run_quendix(root, {"*.csv"});
    EXPECT_EQ(run.output, banner("./x.csv") + not_opened("./x.csv"));
    EXPECT_EQ(read_file(at("x.csv")), frame);
    EXPECT_FALSE(fs::exists(at("x.log")));

    write_file(at("y.log"), frame);
    run = run_quendix(root, {"y.log"});
    EXPECT_EQ(run.output, banner("./y.log") + not_opened("./y.log"));
    EXPECT_EQ(read_file(at("y.log")), frame);
    EXPECT_FALSE(fs::exists(at("y.csv")));
}

TEST_F(Conversion, AnOutputNameThatIsADirectoryIsNotOpened)
{
    // b.qvx is converted again after its log name has become a directory:
    // its earlier CSV stays as it was.
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("a.qvx"), frame);
    fs::create_directories(at("a.csv"));
    write_file(at("b.qvx"), frame);
    write_file(at("b.csv"), "an earlier conversion\r\n");
    fs::create_directories(at("b.log"));
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.output, banner("./a.qvx") + not_opened("./a.csv") + banner("./b.qvx") + not_opened("./b.log"));
    EXPECT_FALSE(fs::exists(at("a.log")));
    EXPECT_EQ(read_file(at("b.csv")), "an earlier conversion\r\n");
    EXPECT_EQ(temporary_files(root), std::vector<std::string>{});
    EXPECT_EQ(read_file(at("a.qvx")), frame);
}

}  // namespace
