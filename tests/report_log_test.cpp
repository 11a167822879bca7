#include "report_log.h"

#include "support/scratch_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// The whole text written to `stream` so far; later writes go after it.
std::string text_of(FILE* stream)
{
    std::string text;
    std::fflush(stream);
    std::rewind(stream);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
        text.append(buffer, n);
    }
    std::fseek(stream, 0, SEEK_END);
    return text;
}

// Writes `text` as a report line, from a buffer with the two bytes of room
// the line ends need.
void write_line(report_log* report, const std::string& text)
{
    std::string line = text + "##";
    write_report_line(report, line.data(), line.data() + text.size());
}

// A log and a console in scratch files, removed at the end.
struct report_files {
    scratch_file log_file;
    scratch_file console_file;
    FILE* log = log_file.stream();
    FILE* console = console_file.stream();
};

TEST(ReportLog, ATerminalGetsEachLineAtOnceTheLogAndOtherConsolesAtTheFlush)
{
    for (const bool terminal : {true, false}) {
        report_files files;
        ASSERT_NE(files.log, nullptr);
        ASSERT_NE(files.console, nullptr);
        auto report = std::make_unique<report_log>();
        start_report(report.get(), files.log, files.console, terminal);
        write_line(report.get(), "different :   1,   2 ->   1,   5");
        EXPECT_EQ(text_of(files.console), terminal ? "different :   1,   2 ->   1,   5\n" : "") << terminal;
        EXPECT_EQ(text_of(files.log), "") << terminal;
        // What a stopped conversion does: the console gets its lines, the
        // log nothing more.
        flush_report_console(report.get());
        EXPECT_EQ(text_of(files.console), "different :   1,   2 ->   1,   5\n") << terminal;
        EXPECT_EQ(text_of(files.log), "") << terminal;
        flush_report(report.get());
        EXPECT_EQ(text_of(files.console), "different :   1,   2 ->   1,   5\n") << terminal;
        EXPECT_EQ(text_of(files.log), "different :   1,   2 ->   1,   5\r\n") << terminal;
    }
}

TEST(ReportLog, LinesLongerThanItsBuffersReachConsoleAndLogWholeAndInOrder)
{
    // 3000 lines of about 35 bytes are several times what the log and the
    // console hold at once.
    for (const bool terminal : {true, false}) {
        report_files files;
        ASSERT_NE(files.log, nullptr);
        ASSERT_NE(files.console, nullptr);
        auto report = std::make_unique<report_log>();
        start_report(report.get(), files.log, files.console, terminal);
        std::string expected_console;
        std::string expected_log;
        for (int i = 0; i < 3000; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "different : 60000,   0 -> %3d, %3d", i / 512, i % 512);
            write_line(report.get(), line);
            expected_console += std::string(line) + "\n";
            expected_log += std::string(line) + "\r\n";
        }
        flush_report(report.get());
        EXPECT_EQ(text_of(files.console), expected_console) << terminal;
        EXPECT_EQ(text_of(files.log), expected_log) << terminal;
    }
}

}  // namespace
