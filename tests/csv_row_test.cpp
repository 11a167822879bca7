#include "convert/csv_row.h"

#include "frame_gen.h"
#include "support/reference.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

// The row as the printf format of the CSV file writes it, with the
// magnitudes by their definition in double precision.
std::string reference_row(const gen_sample& s)
{
    char text[128];
    std::snprintf(text, sizeof text, "%u,%d,%d,%d,%d,%d,%d,%d,%d\r\n", s.seqno, s.ax, s.ay, s.az, s.gx, s.gy, s.gz,
                  asvm_by_definition(s.ax, s.ay, s.az), gsvm_by_definition(s.gx, s.gy, s.gz));
    return text;
}

// The rows format_frame_rows writes for `frame`, and the rows the printf
// format writes.
std::pair<std::string, std::string> rows_and_reference(const gen_frame& frame)
{
    const std::string bytes = frame_bytes(frame);
    char text[CSV_FRAME_ROWS_MAX];
    const size_t size = format_frame_rows(reinterpret_cast<const unsigned char*>(bytes.data()), text);
    std::string expected;
    for (const gen_sample& s : frame.samples) {
        expected += reference_row(s);
    }
    return {std::string(text, size), expected};
}

TEST(FormatFrameRows, EqualsThePrintfFormatAtEveryDigitCountAndSign)
{
    // Each value at every position of a frame's nine samples.
    const int16_t values[] = {-32768, -32767, -10000, -9999, -1000, -100, -10, -9,    -1,
                              0,      1,      9,      10,    99,    100,  999, 10000, 32767};
    for (const int16_t v : values) {
        for (const uint16_t seqno : {0, 1, 9, 10, 65535}) {
            gen_frame frame = make_frame(1, 0);
            for (int i = 0; i < 9; ++i) {
                frame.samples[i] = i % 2 == 0 ? gen_sample{seqno, v, v, v, v, v, v}
                                              : gen_sample{seqno, v, 0, static_cast<int16_t>(-v - 1), 1, v, -32768};
            }
            const auto [rows, expected] = rows_and_reference(frame);
            EXPECT_EQ(rows, expected) << "value " << v;
        }
    }
}

TEST(FormatFrameRows, WritesNineRowsSampleZeroFirst)
{
    gen_frame frame = make_frame(1, 0);
    for (int i = 0; i < 9; ++i) {
        frame.samples[i].seqno = static_cast<uint16_t>(100 + i);
        frame.samples[i].ax = static_cast<int16_t>(-8192 * (i % 4));
    }
    const std::string bytes = frame_bytes(frame);
    char text[CSV_FRAME_ROWS_MAX];
    const size_t size = format_frame_rows(reinterpret_cast<const unsigned char*>(bytes.data()), text);
    std::string expected;
    for (int i = 0; i < 9; ++i) {
        expected += std::to_string(100 + i) + "," + std::to_string(-8192 * (i % 4)) + ",0,0,0,0,0," +
                    std::to_string(100 * (i % 4)) + ",0\r\n";
    }
    EXPECT_EQ(std::string(text, size), expected);
}

TEST(FormatFrameRows, DecodesTheExtremesFromTheFrameBytes)
{
    // Every field of the nine samples holds one of the extremes, in a
    // different place for each sample, and the sequence numbers run over
    // 65535 and 0.
    const int16_t extremes[] = {-32768, -1, 0, 32767};
    gen_frame frame = make_frame(1, 0);
    for (int i = 0; i < 9; ++i) {
        gen_sample& s = frame.samples[i];
        s.seqno = static_cast<uint16_t>(65533 + i);
        s.ax = extremes[i % 4];
        s.ay = extremes[(i + 1) % 4];
        s.az = extremes[(i + 2) % 4];
        s.gx = extremes[(i + 3) % 4];
        s.gy = extremes[i / 3 % 4];
        s.gz = extremes[(i + 1) / 2 % 4];
    }
    const auto [rows, expected] = rows_and_reference(frame);
    EXPECT_EQ(rows, expected);
}

TEST(FormatFrameRows, EqualsThePrintfFormatForRandomFrames)
{
    std::mt19937 rng(4);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> small(-700, 700);
    for (int f = 0; f < 50000; ++f) {
        std::uniform_int_distribution<int>& d = (f % 2 == 0) ? any : small;
        gen_frame frame = make_frame(1, 0);
        for (gen_sample& g : frame.samples) {
            g = gen_sample{static_cast<uint16_t>(any(rng)), static_cast<int16_t>(d(rng)), static_cast<int16_t>(d(rng)),
                           static_cast<int16_t>(d(rng)),    static_cast<int16_t>(d(rng)), static_cast<int16_t>(d(rng)),
                           static_cast<int16_t>(d(rng))};
        }
        const auto [rows, expected] = rows_and_reference(frame);
        ASSERT_EQ(rows, expected) << "frame " << f;
    }
}

}  // namespace
