#include "convert/csv_row.h"

#include "frame_gen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

namespace {

std::string row_of(const sample& s)
{
    char text[CSV_ROW_MAX + 1];
    char* end = format_row(s, text);
    return std::string(text, static_cast<size_t>(end - text));
}

// The row as the printf format of the CSV file writes it.
std::string reference_row(const sample& s)
{
    const magnitudes m = sample_magnitudes(s);
    char text[128];
    std::snprintf(text, sizeof text, "%u,%d,%d,%d,%d,%d,%d,%d,%d\r\n", s.seqno, s.ax, s.ay, s.az,
                  s.gx, s.gy, s.gz, m.asvm, m.gsvm);
    return text;
}

TEST(FormatRow, WritesTheSpecifiedExample)
{
    EXPECT_EQ(row_of(sample{1, 8192, 0, 0, 6554, 0, 0}), "1,8192,0,0,6554,0,0,100,100\r\n");
}

TEST(FormatRow, SeqnoIsUnsignedAndAxesSigned)
{
    const sample s{65535, -1, -1, -1, -1, -1, -1};
    EXPECT_EQ(row_of(s), "65535,-1,-1,-1,-1,-1,-1,0,0\r\n");
}

TEST(FormatRow, EqualsThePrintfFormatAtExtremesAndRandomValues)
{
    const int16_t extremes[] = {-32768, -32767, -10000, -9999, -1000, -100, -10, -9, -1,
                                0,      1,      9,      10,     99,    100,  999, 10000, 32767};
    for (int16_t v : extremes) {
        for (uint16_t seqno : {0, 1, 9, 10, 65535}) {
            const sample s{seqno, v, v, v, v, v, v};
            EXPECT_EQ(row_of(s), reference_row(s)) << "value " << v;
            const sample mixed{seqno, v, 0, static_cast<int16_t>(-v - 1), 1, v, -32768};
            EXPECT_EQ(row_of(mixed), reference_row(mixed)) << "value " << v;
        }
    }
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<int> value(-32768, 32767);
    for (int i = 0; i < 100000; ++i) {
        const sample s{static_cast<uint16_t>(value(rng) + 32768), static_cast<int16_t>(value(rng)),
                       static_cast<int16_t>(value(rng)), static_cast<int16_t>(value(rng)),
                       static_cast<int16_t>(value(rng)), static_cast<int16_t>(value(rng)),
                       static_cast<int16_t>(value(rng))};
        ASSERT_EQ(row_of(s), reference_row(s));
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
    const size_t size =
        format_frame_rows(reinterpret_cast<const unsigned char*>(bytes.data()), text);
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
    const std::string bytes = frame_bytes(frame);
    std::string expected;
    for (const gen_sample& g : frame.samples) {
        expected += reference_row(sample{g.seqno, g.ax, g.ay, g.az, g.gx, g.gy, g.gz});
    }
    char text[CSV_FRAME_ROWS_MAX];
    const size_t size = format_frame_rows(reinterpret_cast<const unsigned char*>(bytes.data()), text);
    EXPECT_EQ(std::string(text, size), expected);
}

TEST(FormatFrameRows, EqualsThePrintfFormatForRandomFrames)
{
    // The rows of a frame take their magnitudes nine at a time, apart from
    // the single-row path, so they are checked on their own.
    std::mt19937 rng(4);
    std::uniform_int_distribution<int> any(-32768, 32767);
    std::uniform_int_distribution<int> small(-700, 700);
    for (int f = 0; f < 50000; ++f) {
        std::uniform_int_distribution<int>& d = (f % 2 == 0) ? any : small;
        gen_frame frame = make_frame(1, 0);
        std::string expected;
        for (gen_sample& g : frame.samples) {
            g = gen_sample{static_cast<uint16_t>(any(rng)), static_cast<int16_t>(d(rng)),
                           static_cast<int16_t>(d(rng)),    static_cast<int16_t>(d(rng)),
                           static_cast<int16_t>(d(rng)),    static_cast<int16_t>(d(rng)),
                           static_cast<int16_t>(d(rng))};
            expected += reference_row(sample{g.seqno, g.ax, g.ay, g.az, g.gx, g.gy, g.gz});
        }
        const std::string bytes = frame_bytes(frame);
        char text[CSV_FRAME_ROWS_MAX];
        const size_t size =
            format_frame_rows(reinterpret_cast<const unsigned char*>(bytes.data()), text);
        ASSERT_EQ(std::string(text, size), expected) << "frame " << f;
    }
}

}  // namespace
