// The continuity report of whole files, on the console and in the log, for
// the cases of tests/data/report_cases.tsv, which the Python package's tests
// read too.
#include "e2e.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

// One case of the table: a recording, its end block and its report.
struct report_case {
    std::string what;
    int end_block = 0;
    std::string input;
    std::vector<std::string> report;
};

// A number of the table: decimal, or hexadecimal after "0x". Sets `ok` to
// false unless the whole text is such a number.
long number(const std::string& text, bool* ok)
{
    const bool hex = text.rfind("0x", 0) == 0;
    const std::string digits = hex ? text.substr(2) : text;
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, hex ? 16 : 10);
    if (digits.empty() || *end != '\0' || digits[0] == '-' || digits[0] == '+') {
        *ok = false;
    }
    return value;
}

// The bytes of a recording written as the table's "input" field; sets `ok`
// to false on a piece it cannot read.
std::string recording(const std::string& pieces, bool* ok)
{
    std::string bytes;
    size_t at = 0;
    while (at < pieces.size()) {
        const size_t end = std::min(pieces.find(' ', at), pieces.size());
        const std::string piece = pieces.substr(at, end - at);
        at = end + 1;
        if (piece.empty()) {
            continue;
        }
        if (piece == "erased") {
            bytes += erased_frame_bytes();
        } else if (piece.rfind("hex:", 0) == 0 && piece.size() % 2 == 0) {
            for (size_t i = 4; i < piece.size(); i += 2) {
                bytes += static_cast<char>(number("0x" + piece.substr(i, 2), ok));
            }
        } else if (piece.rfind("zeros:", 0) == 0) {
            bytes += std::string(static_cast<size_t>(number(piece.substr(6), ok)), '\0');
        } else {
            const size_t comma = piece.find(',');
            const size_t range = piece.find("..");
            if (comma == std::string::npos) {
                *ok = false;
                continue;
            }
            const long block = number(piece.substr(0, comma), ok);
            const long first = number(piece.substr(comma + 1, range - comma - 1), ok);
            const long last = range == std::string::npos ? first : number(piece.substr(range + 2), ok);
            for (long page = first; *ok && page <= last; ++page) {
                bytes += frame_bytes(make_frame(static_cast<uint16_t>(block), static_cast<uint16_t>(page)));
            }
        }
    }
    return bytes;
}

// The cases of the table; a line it cannot read fails the test.
std::vector<report_case> report_cases()
{
    std::vector<report_case> cases;
    std::ifstream table(QUENDIX_REPORT_CASES, std::ios::binary);
    EXPECT_TRUE(table) << "cannot read " << QUENDIX_REPORT_CASES;
    std::string line;
    for (int number_of_line = 1; std::getline(table, line); ++number_of_line) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t tab = line.find('\t');
        const std::string name = line.substr(0, tab);
        const std::string value = tab == std::string::npos ? "" : line.substr(tab + 1);
        bool ok = true;
        if (name == "case") {
            cases.push_back(report_case{value, 0, "", {}});
        } else if (cases.empty()) {
            ok = false;
        } else if (name == "end_block") {
            cases.back().end_block = static_cast<int>(number(value, &ok));
        } else if (name == "input") {
            cases.back().input = recording(value, &ok);
        } else if (name == "report") {
            cases.back().report.push_back(value);
        } else {
            ok = false;
        }
        EXPECT_TRUE(ok) << QUENDIX_REPORT_CASES << ":" << number_of_line << ": cannot read " << line;
    }
    for (const report_case& c : cases) {
        EXPECT_TRUE(c.end_block != 0 && !c.report.empty()) << "the case \"" << c.what << "\" is incomplete";
    }
    EXPECT_FALSE(cases.empty()) << QUENDIX_REPORT_CASES << " holds no case";
    return cases;
}

class Report : public temp_dir_test {
protected:
    // Converts the case's input as a.qvx, with "-e" unless its end block is
    // the default, and checks that the console shows the banner and the
    // report lines, and the log holds the same lines.
    void expect_report(const report_case& c)
    {
        write_file(at("a.qvx"), c.input);
        std::vector<std::string> args;
        if (c.end_block != 510) {
            args = {"-e", std::to_string(c.end_block)};
        }
        const program_run run = run_quendix(root, args);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, banner("./a.qvx") + console_text(lines(c.report, "\n")));
        EXPECT_EQ(read_file(at("a.log")), lines(c.report, "\r\n"));
    }
};

TEST_F(Report, TheWholeFiveFrameFile)
{
    const std::vector<report_case> cases = report_cases();
    const auto c = std::find_if(cases.begin(), cases.end(),
                                [](const report_case& c) { return c.what == "the whole five-frame file"; });
    ASSERT_NE(c, cases.end()) << "the five-frame file is not in " << QUENDIX_REPORT_CASES;
    expect_report(*c);
    // Only the four valid frames have rows.
    const std::string csv = read_file(at("a.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 4 * 9);
}

TEST_F(Report, PredictionWrapsSkipsAndFlags)
{
    for (const report_case& c : report_cases()) {
        SCOPED_TRACE(c.what);
        expect_report(c);
    }
}

}  // namespace
