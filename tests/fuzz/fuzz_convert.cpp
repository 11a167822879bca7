// Fuzzes the conversion of one recording: any bytes, of any length, are
// written to a file and converted through convert_file as the program does.
// The CSV file, the log and the console text are then checked against what
// the bytes must give, worked out here from the frame layout and the
// definitions of the magnitudes and of the prediction.
#include "file_conversion.h"
#include "fuzz_support.h"
#include "platform.h"
#include "support/reference.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr size_t FRAME_BYTES = 132;

unsigned le16(const uint8_t* p)
{
    return static_cast<unsigned>(p[0] | p[1] << 8);
}

int le16_signed(const uint8_t* p)
{
    const unsigned u = le16(p);
    return u >= 0x8000 ? static_cast<int>(u) - 0x10000 : static_cast<int>(u);
}

bool frame_is_valid(const uint8_t* frame)
{
    return frame[0] == 0x53 && frame[1] == 0x44;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* fmt, ...)
{
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

// Splits `text` into lines that each end in `line_end`; false when some
// text is left after the last line end.
bool split_lines(const std::string& text, const std::string& line_end, std::vector<std::string>* lines)
{
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(line_end, start);
        if (end == std::string::npos) {
            return false;
        }
        lines->push_back(text.substr(start, end - start));
        start = end + line_end.size();
    }
    return true;
}

// True when `line` is exactly what one of the report formats prints for
// some values in range: its numbers are read back and printed again.
bool matches_a_report_format(const std::string& line)
{
    std::vector<long long> numbers;
    for (size_t i = 0; i < line.size();) {
        if (line[i] < '0' || line[i] > '9') {
            ++i;
            continue;
        }
        long long value = 0;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && value < (1LL << 40); ++i) {
            value = value * 10 + (line[i] - '0');
        }
        numbers.push_back(value);
    }
    for (size_t i = 0; i < numbers.size() && i < 4; ++i) {
        if (numbers[i] > 0xFFFF) {
            return false;
        }
    }
    const auto n = [&numbers](size_t i) { return static_cast<int>(numbers[i]); };
    switch (numbers.size()) {
    case 2:
        return line == format("%9s : %3d, %3d", "start", n(0), n(1)) ||
               line == format("%9s : %3d, %3d", "end", n(0), n(1));
    case 4:
        return line == format("%9s : %3d, %3d -> %3d, %3d", "different", n(0), n(1), n(2), n(3)) ||
               line == format("%9s : %3d, %3d -> %3d, %3d(R)", "different", n(0), n(1), n(2), n(3));
    case 5:
        return line == format("%9s : %3d, %3d -> %3d, %3d (%lld)", "missing", n(0), n(1), n(2), n(3), numbers[4]);
    default:
        return false;
    }
}

// The report lines the bytes must give, without line ends.
std::vector<std::string> expected_report(const uint8_t* data, size_t size, int end_block)
{
    std::vector<std::string> lines;
    unsigned expected_block = 0;  // both wrap at 65536
    unsigned expected_page = 0;
    const size_t frames = size / FRAME_BYTES;
    for (size_t k = 0; k < frames; ++k) {
        const uint8_t* frame = data + k * FRAME_BYTES;
        const int block = static_cast<int>(le16(frame + 2));
        const int word = static_cast<int>(le16(frame + 4));
        const int eb = static_cast<int>(expected_block);
        const int ep = static_cast<int>(expected_page);
        if (!frame_is_valid(frame)) {
            lines.push_back(format("%9s : %3d, %3d -> %3d, %3d (%lld)", "missing", eb, ep, block, word,
                                   static_cast<long long>(k * FRAME_BYTES)));
        } else if (k == 0) {
            lines.push_back(format("%9s : %3d, %3d", "start", block, word));
            expected_block = static_cast<unsigned>(block);
            expected_page = static_cast<unsigned>(word);
        } else if (block != eb || (word & 0x7FFF) != ep) {
            lines.push_back(
                format((word & 0x8000) != 0 ? "%9s : %3d, %3d -> %3d, %3d(R)" : "%9s : %3d, %3d -> %3d, %3d",
                       "different", eb, ep, block, word & 0x7FFF));
        }
        expected_page = (expected_page + 1) & 0xFFFF;
        if (expected_page >= 512) {
            expected_page = 0;
            expected_block = (expected_block + 1) & 0xFFFF;
            if (expected_block > static_cast<unsigned>(end_block)) {
                expected_block = 1;
            }
        }
    }
    lines.push_back(end_line(data, size));
    return lines;
}

// Reads a decimal field of a CSV row; false unless it is a plain integer.
bool read_field(const std::string& text, bool may_be_negative, long* value)
{
    size_t i = 0;
    if (may_be_negative && !text.empty() && text[0] == '-') {
        i = 1;
    }
    if (i == text.size() || text.size() > 7) {
        return false;
    }
    long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        magnitude = magnitude * 10 + (text[i] - '0');
    }
    // No leading zeros: the row is printed with %u and %d.
    const size_t digits_start = text[0] == '-' ? 1 : 0;
    if (text.size() - digits_start > 1 && text[digits_start] == '0') {
        return false;
    }
    *value = text[0] == '-' ? -magnitude : magnitude;
    return true;
}

void check_csv(const std::string& csv, const uint8_t* data, size_t size)
{
    std::vector<std::string> rows;
    check(split_lines(csv, "\r\n", &rows), "every CSV line ends in CR LF");
    check(!rows.empty() && rows[0] == "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM", "CSV header line");

    size_t row = 1;
    for (size_t k = 0; k < size / FRAME_BYTES; ++k) {
        const uint8_t* frame = data + k * FRAME_BYTES;
        if (!frame_is_valid(frame)) {
            continue;
        }
        for (int s = 0; s < 9; ++s, ++row) {
            check(row < rows.size(), "nine rows for every valid frame", format("frame %zu", k));
            std::vector<std::string> fields;
            check(split_lines(rows[row] + ",", ",", &fields) && fields.size() == 9, "every row has nine fields",
                  rows[row]);
            long value[9];
            for (int f = 0; f < 9; ++f) {
                check(read_field(fields[static_cast<size_t>(f)], f >= 1 && f <= 6, &value[f]),
                      "every field is a plain decimal number", rows[row]);
            }
            const uint8_t* p = frame + 6 + 14 * s;
            check(value[0] == static_cast<long>(le16(p)), "SEQNO is the stored unsigned value", rows[row]);
            for (int axis = 0; axis < 6; ++axis) {
                check(value[1 + axis] == le16_signed(p + 2 + 2 * axis), "axes are the stored signed values", rows[row]);
            }
            const int v[6] = {le16_signed(p + 2), le16_signed(p + 4),  le16_signed(p + 6),
                              le16_signed(p + 8), le16_signed(p + 10), le16_signed(p + 12)};
            check(value[7] == asvm_by_definition(v[0], v[1], v[2]), "ASVM is the defined magnitude", rows[row]);
            check(value[8] == gsvm_by_definition(v[3], v[4], v[5]), "GSVM is the defined magnitude", rows[row]);
        }
    }
    check(row == rows.size(), "no rows beyond nine per valid frame",
          format("%zu rows for %zu expected", rows.size() - 1, row - 1));
}

void check_report(const std::string& console, const std::string& log, const std::string& input, const uint8_t* data,
                  size_t size, int end_block)
{
    const std::string banner = "\nuqendix : " + input + "\n\n";
    check(console.compare(0, banner.size(), banner) == 0, "the console starts with the banner", console);
    std::vector<std::string> console_lines;
    std::vector<std::string> log_lines;
    check(split_lines(console.substr(banner.size()), "\n", &console_lines), "console lines end in a newline");
    check(split_lines(log, "\r\n", &log_lines), "log lines end in CR LF", log);
    check(console_lines == log_lines, "the console report equals the log line for line", console + log);
    for (const std::string& line : log_lines) {
        check(line.find_first_of("\r\n") == std::string::npos, "no stray line-end bytes", line);
        check(matches_a_report_format(line), "every log line matches a report format", line);
    }
    const std::vector<std::string> expected = expected_report(data, size, end_block);
    for (size_t i = 0; i < expected.size() || i < log_lines.size(); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "(nothing)";
        const std::string got = i < log_lines.size() ? log_lines[i] : "(nothing)";
        check(want == got, "the log holds the report the frames give",
              format("line %zu: expected [%s], got [%s]", i + 1, want.c_str(), got.c_str()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& dir = scratch_dir();
    const std::string input = dir + "/r.qvx";
    const std::string csv = dir + "/r.csv";
    const std::string log = dir + "/r.log";
    const std::string console = dir + "/console";
    // The end block follows the first frame's block number, one above it, so
    // that a few frames starting near page 511 reach a wrap at the end block
    // and, a block later, past it.
    const int end_block = size >= FRAME_BYTES ? 1 + static_cast<int>(le16(data + 2) % 511) : 510;

    check(write_whole_file(input, data, size) == 0, "the input can be written", input);
    file_identity id;
    static const directory_handle scratch = open_directory(nullptr, dir, &id);
    check(static_cast<bool>(scratch), "the scratch directory can be opened", dir);
    // Taken once, as a run takes them, and lent to every input's conversion.
    static const std::unique_ptr<run_resources> resources = take_run_resources();
    check(resources != nullptr, "the run's resources can be taken");
    // Each input is a run of its own, free to replace the last one's outputs.
    output_set outputs;
    check(begin_capture(console) == 0, "standard output can be caught", console);
    const run_outcome result = convert_file(scratch.get(), "r.qvx", dir, end_block, &outputs, resources.get());
    end_capture();

    check(result == RUN_DONE, "the conversion succeeds");
    const std::string after = read_whole_file(input);
    check(after.size() == size && (size == 0 || std::memcmp(after.data(), data, size) == 0),
          "the input is left byte for byte as it was");
    check_csv(read_whole_file(csv), data, size);
    check_report(read_whole_file(console), read_whole_file(log), input, data, size, end_block);
    return 0;
}
