#include "csv_rows.h"
#include "magnitudes.h"

#include "frame_gen.h"
#include "support/reference.h"
#include "support/rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

// A sample of values drawn evenly from every 16-bit value.
gen_sample random_sample(std::mt19937& rng)
{
    std::uniform_int_distribution<int> any(-32768, 32767);
    return gen_sample{static_cast<uint16_t>(any(rng)), static_cast<int16_t>(any(rng)), static_cast<int16_t>(any(rng)),
                      static_cast<int16_t>(any(rng)),  static_cast<int16_t>(any(rng)), static_cast<int16_t>(any(rng)),
                      static_cast<int16_t>(any(rng))};
}

// The rows `format` writes for the marked frame `bytes`.
std::string rows_of(rows_formatter format, const std::string& bytes)
{
    char text[CSV_FRAME_ROWS_MAX];
    const size_t size = format(reinterpret_cast<const unsigned char*>(bytes.data()), 1, text);
    return std::string(text, size);
}

// format_marked_rows and every formatter this processor runs.
std::vector<named_rows_formatter> formatters_to_check()
{
    std::vector<named_rows_formatter> formatters = {{"format_marked_rows", format_marked_rows}};
    for (const named_rows_formatter& f : available_rows_formatters()) {
        formatters.push_back(f);
    }
    return formatters;
}

// Whether format_marked_rows and every formatter this processor runs
// write `expected` for the marked frame `bytes`.
::testing::AssertionResult rows_are(const std::string& bytes, const std::string& expected)
{
    for (const named_rows_formatter& f : formatters_to_check()) {
        const std::string rows = rows_of(f.format, bytes);
        if (rows != expected) {
            return ::testing::AssertionFailure() << f.name << " wrote\n" << rows << "instead of\n" << expected;
        }
    }
    return ::testing::AssertionSuccess();
}

// Whether the formatters write the rows of `frame` as the printf format does.
::testing::AssertionResult rows_are_printf_rows(const gen_frame& frame)
{
    std::string expected;
    for (const gen_sample& s : frame.samples) {
        expected += reference_row(s);
    }
    return rows_are(frame_bytes(frame), expected);
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
            EXPECT_TRUE(rows_are_printf_rows(frame)) << "value " << v;
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
    std::string expected;
    for (int i = 0; i < 9; ++i) {
        expected += std::to_string(100 + i) + "," + std::to_string(-8192 * (i % 4)) + ",0,0,0,0,0," +
                    std::to_string(100 * (i % 4)) + ",0\r\n";
    }
    EXPECT_TRUE(rows_are(bytes, expected));
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
    EXPECT_TRUE(rows_are_printf_rows(frame));
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
        ASSERT_TRUE(rows_are_printf_rows(frame)) << "frame " << f;
    }
}

// Frames with and without the marker, in every arrangement that matters:
// none, one, the first or last without it, runs of both. The rows are those
// of the marked frames in their order, and stay within the room promised.
TEST(FormatMarkedRows, WritesTheRowsOfTheMarkedFramesInOrder)
{
    // 'm' a frame with the marker, '-' one without.
    const char* const arrangements[] = {
        "", "m", "-", "mm", "-m", "m-", "---", "m-m-m", "--mmm--mmmm-", "mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm-"};
    std::mt19937 rng(23);
    for (const char* arrangement : arrangements) {
        const size_t count = std::strlen(arrangement);
        std::string bytes;
        std::string expected;
        for (size_t f = 0; f < count; ++f) {
            gen_frame frame = make_frame(1, static_cast<uint16_t>(f));
            for (gen_sample& g : frame.samples) {
                g = random_sample(rng);
                if (arrangement[f] == 'm') {
                    expected += reference_row(g);
                }
            }
            if (arrangement[f] != 'm') {
                frame.magic = 0x4454;  // one bit off the marker
            }
            bytes += frame_bytes(frame);
        }
        const size_t room = rows_room(count);
        for (const named_rows_formatter& f : formatters_to_check()) {
            // Past the room, bytes that must stay as they are.
            std::string out(room + 64, '#');
            const size_t size = f.format(reinterpret_cast<const unsigned char*>(bytes.data()), count, out.data());
            EXPECT_EQ(out.substr(0, size), expected) << f.name << ", " << arrangement;
            EXPECT_EQ(out.substr(room), std::string(64, '#')) << f.name << ", " << arrangement;
        }
    }
}

// Every other formatter (AVX-512) against the portable one: every value of
// every column in every row position, all six axes at once at every value
// (which makes every ASVM from 0 to 692 and every GSVM from 0 to 866), and
// random frames, each written at every offset of a 64-byte line.
TEST(FasterFormatters, WriteThePortableBytesForEveryValueOfEveryField)
{
    const rows_formatter_list available = available_rows_formatters();
    if (available.count < 2) {
        GTEST_SKIP() << "only the portable formatter runs on this build and processor (the AVX-512 one needs x86-64 "
                        "with AVX-512 F, BW, VL, VBMI and VBMI2)";
    }
    const rows_formatter portable_rows = available.first[0].format;
    std::mt19937 rng(17);
    std::vector<gen_frame> frames;
    // Column 0 is SEQNO, 1 to 6 the axes, 7 all six axes together.
    for (int column = 0; column <= 7; ++column) {
        for (int value = 0; value < 65536; value += SAMPLES_PER_FRAME) {
            gen_frame frame = make_frame(1, 0);
            for (int i = 0; i < SAMPLES_PER_FRAME; ++i) {
                gen_sample s = random_sample(rng);
                // The row a value lands in moves from frame to frame, so
                // every row takes values of every length and sign.
                const int v = (value + (i + value / SAMPLES_PER_FRAME) % SAMPLES_PER_FRAME) % 65536;
                const auto as_signed = static_cast<int16_t>(static_cast<uint16_t>(v));
                int16_t* axes[] = {&s.ax, &s.ay, &s.az, &s.gx, &s.gy, &s.gz};
                if (column == 0) {
                    s.seqno = static_cast<uint16_t>(v);
                } else if (column <= 6) {
                    *axes[column - 1] = as_signed;
                } else {
                    for (int16_t* axis : axes) {
                        *axis = as_signed;
                    }
                }
                frame.samples[i] = s;
            }
            frames.push_back(frame);
        }
    }
    for (int f = 0; f < 100000; ++f) {
        gen_frame frame = make_frame(1, 0);
        for (gen_sample& s : frame.samples) {
            s = random_sample(rng);
        }
        frames.push_back(frame);
    }

    std::vector<bool> asvm_seen(ASVM_MAX + 1), gsvm_seen(GSVM_MAX + 1);
    for (const gen_frame& frame : frames) {
        for (const gen_sample& s : frame.samples) {
            asvm_seen[asvm_of_sum(sum_of_squares(s.ax, s.ay, s.az))] = true;
            gsvm_seen[gsvm_of_sum(sum_of_squares(s.gx, s.gy, s.gz))] = true;
        }
    }
    // The same frames at once, every seventh without the marker: each
    // frame's rows must come with its own magnitudes.
    std::string all;
    for (size_t f = 0; f < frames.size(); ++f) {
        all += f % 7 == 3 ? erased_frame_bytes() : frame_bytes(frames[f]);
    }
    const auto* all_frames = reinterpret_cast<const unsigned char*>(all.data());
    std::vector<char> expected_rows(rows_room(frames.size()));
    const size_t expected_size = portable_rows(all_frames, frames.size(), expected_rows.data());

    for (const named_rows_formatter& f : available) {
        if (f.format == portable_rows) {
            continue;
        }
        alignas(64) char rows[CSV_FRAME_ROWS_MAX + 64];
        char expected[CSV_FRAME_ROWS_MAX];
        size_t n = 0;
        for (const gen_frame& frame : frames) {
            const std::string bytes = frame_bytes(frame);
            const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
            const size_t offset = n++ % 64;
            const size_t size = f.format(in, 1, rows + offset);
            const size_t expected_bytes = portable_rows(in, 1, expected);
            ASSERT_EQ(std::string(rows + offset, size), std::string(expected, expected_bytes))
                << f.name << ", frame " << n - 1;
        }
        std::vector<char> all_rows(expected_rows.size());
        const size_t size = f.format(all_frames, frames.size(), all_rows.data());
        ASSERT_EQ(size, expected_size) << f.name;
        ASSERT_TRUE(std::equal(all_rows.begin(), all_rows.begin() + size, expected_rows.begin())) << f.name;
    }
    for (int v = 0; v <= ASVM_MAX; ++v) {
        ASSERT_TRUE(asvm_seen[v]) << "no sample had ASVM " << v;
    }
    for (int v = 0; v <= GSVM_MAX; ++v) {
        ASSERT_TRUE(gsvm_seen[v]) << "no sample had GSVM " << v;
    }
}

}  // namespace
