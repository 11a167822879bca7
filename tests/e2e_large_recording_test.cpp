// A recording larger than 2 GiB, whose report gives offsets above 2^31.
// The longest test of all (it reads the whole of it): tests/CMakeLists.txt
// has a parallel run start it first and do the rest beside it.
#include "e2e.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace {

class LargeRecording : public temp_dir_test {};

// Hands on whole lines of a stream that arrives in pieces.
struct line_splitter {
    std::string partial;

    template <typename Handle>
    void feed(const char* bytes, size_t size, Handle handle)
    {
        const char* end = bytes + size;
        while (bytes < end) {
            const char* newline = static_cast<const char*>(std::memchr(bytes, '\n', end - bytes));
            if (newline == nullptr) {
                partial.append(bytes, end);
                return;
            }
            partial.append(bytes, newline);
            handle(partial);
            partial.clear();
            bytes = newline + 1;
        }
    }
};

TEST_F(LargeRecording, LargerThan2GiBReportsOffsetsAbove2To31)
{
    // One valid frame, then a hole of zeros (frames without the marker, one
    // "missing" line each), then an erased frame at an offset above 2^31 and
    // a last valid frame where the prediction expects it. A sparse file
    // keeps the disk use small; the run reads all 2 GiB.
    constexpr unsigned long long frame_size = 132;
    constexpr unsigned long long erased_index = (1ULL << 31) / frame_size + 1;
    constexpr unsigned long long frames = erased_index + 2;
    static_assert(erased_index * frame_size > (1ULL << 31), "the erased frame lies above 2^31");
    // The prediction from (1, 0) with the end block 510, `k` frames on.
    const auto expected_block = [](unsigned long long k) { return static_cast<int>(1 + (k / 512) % 510); };
    const auto expected_page = [](unsigned long long k) { return static_cast<int>(k % 512); };

    const std::string first = frame_bytes(sample_frame(1, 0, 0));
    const gen_frame last_frame = sample_frame(static_cast<uint16_t>(expected_block(frames - 1)),
                                              static_cast<uint16_t>(expected_page(frames - 1)), 9);
    const std::string tail = erased_frame_bytes() + frame_bytes(last_frame);
    {
        std::ofstream out(at("big.qvx"), std::ios::binary);
        out.write(first.data(), static_cast<std::streamsize>(first.size()));
        out.seekp(static_cast<std::streamoff>(erased_index * frame_size));
        out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
        ASSERT_TRUE(out.good());
    }
    struct stat before;
    ASSERT_EQ(stat(at("big.qvx").c_str(), &before), 0);
    ASSERT_EQ(static_cast<unsigned long long>(before.st_size), frames * frame_size);
    if (static_cast<unsigned long long>(before.st_blocks) * 512 > (64ULL << 20)) {
        GTEST_SKIP() << "this file system does not keep files sparse";
    }

    // Every line is checked as it arrives; the 16 million of them are not kept.
    line_splitter splitter;
    std::vector<std::string> other_lines;
    unsigned long long hole_lines = 0;
    unsigned long long wrong_hole_lines = 0;
    std::string first_wrong;
    char expected[128];
    // The log, 16 million lines that the console shows as well, is cut
    // short by a file-size limit: written to disk it triples the run time,
    // and that the log equals the console is checked by every other report
    // test. Since the log is not whole, neither output is kept.
    run_setup setup;
    setup.timeout_seconds = 600;
    setup.file_size_limit = 1 << 20;
    const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
        splitter.feed(bytes, size, [&](const std::string& line) {
            if (line.find("->   0,   0 (") == std::string::npos) {
                other_lines.push_back(line);
                return;
            }
            const unsigned long long k = ++hole_lines;
            std::snprintf(expected, sizeof expected, "  missing : %3d, %3d ->   0,   0 (%llu)", expected_block(k),
                          expected_page(k), k * frame_size);
            if (line != expected && wrong_hole_lines++ == 0) {
                first_wrong = line + " instead of " + expected;
            }
        });
    });
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(splitter.partial, "");
    EXPECT_EQ(hole_lines, erased_index - 1);
    EXPECT_EQ(wrong_hole_lines, 0u) << first_wrong;
    char missing[128];
    std::snprintf(missing, sizeof missing, "  missing : %3d, %3d -> 65535, 65535 (%llu)", expected_block(erased_index),
                  expected_page(erased_index), erased_index * frame_size);
    char end[64];
    std::snprintf(end, sizeof end, "      end : %3d, %3d", last_frame.block, last_frame.page_word);
    EXPECT_EQ(other_lines, (std::vector<std::string>{"", "uqendix : ./big.qvx", "", "    start :   1,   0", missing,
                                                     end, "quendix : ./big.log, not written."}));

    EXPECT_FALSE(fs::exists(at("big.csv")));
    EXPECT_FALSE(fs::exists(at("big.log")));
    EXPECT_EQ(temporary_files(root), std::vector<std::string>{});

    // The recording is untouched: same size, no block written into the
    // hole, and the same bytes where it holds data.
    struct stat after;
    ASSERT_EQ(stat(at("big.qvx").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_blocks, before.st_blocks);
    std::ifstream in(at("big.qvx"), std::ios::binary);
    std::string head(first.size(), '\0');
    in.read(&head[0], static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, first);
    in.seekg(static_cast<std::streamoff>(erased_index * frame_size));
    std::string end_bytes(tail.size(), '\0');
    in.read(&end_bytes[0], static_cast<std::streamsize>(end_bytes.size()));
    EXPECT_EQ(end_bytes, tail);
}

}  // namespace
