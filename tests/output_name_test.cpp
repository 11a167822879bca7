#include "file_conversion.h"

#include <gtest/gtest.h>

namespace {

struct name_case {
    const char* path;
    const char* extension;
    const char* output;
};

TEST(OutputName, ReplacesTheLastFourBytesOfTheName)
{
    const name_case cases[] = {
        {"./a.qvx", ".csv", "./a.csv"},
        {"./a.qvx", ".log", "./a.log"},
        {"./x.dat", ".csv", "./x.csv"},
        {"./data.qvx2", ".csv", "./data..csv"},
        {"./README", ".csv", "./RE.csv"},
        {"./day2/b.qvx", ".log", "./day2/b.log"},
        {"./abcd", ".csv", "./.csv"},    // exactly four bytes: all replaced
        {"./abc", ".csv", "./abc.csv"},  // shorter names get the extension appended
        {"./ab", ".csv", "./ab.csv"},
        {"./a", ".log", "./a.log"},
        {"./day2/ab", ".csv", "./day2/ab.csv"},  // never reaches into the directory part
        {"a.qvx", ".csv", "a.csv"},
        {"ab", ".csv", "ab.csv"},
    };
    for (const name_case& c : cases) {
        EXPECT_EQ(output_name(c.path, c.extension), c.output) << "path " << c.path;
    }
}

}  // namespace
