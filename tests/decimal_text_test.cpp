#include "decimal_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// The text a write at a fresh buffer leaves, up to the returned end.
template <typename Append>
std::string written(Append append)
{
    char text[64];
    std::memset(text, '#', sizeof text);
    const char* end = append(text);
    return std::string(text, static_cast<size_t>(end - text));
}

std::string printed(const char* format, long long value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

TEST(DecimalText, EverySignedValueIsItsPrintfText)
{
    for (int value = -32768; value <= 32767; ++value) {
        const int16_t v = static_cast<int16_t>(value);
        ASSERT_EQ(written([v](char* out) { return append_signed(out, v); }), printed("%lld,", value));
    }
}

TEST(DecimalText, EveryUnsignedValueIsItsPrintfText)
{
    for (unsigned value = 0; value <= 65535; ++value) {
        ASSERT_EQ(written([value](char* out) { return append_unsigned(out, value); }), printed("%lld,", value));
        ASSERT_EQ(written([value](char* out) { return append_padded(out, static_cast<int>(value)); }),
                  printed("%3lld", value));
    }
    for (int value = 0; value <= 32767; ++value) {
        ASSERT_EQ(written([value](char* out) { return append_small(out, value); }), printed("%lld,", value));
    }
}

TEST(DecimalText, LongValuesAtTheirExtremes)
{
    for (unsigned long long value : {0ull, 9ull, 10ull, 4294967296ull, 18446744073709551615ull}) {
        EXPECT_EQ(written([value](char* out) { return append_unsigned_long(out, value); }), std::to_string(value));
    }
}

}  // namespace
