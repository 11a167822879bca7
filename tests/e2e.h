// Helpers shared by the end-to-end tests, which run the built program in a
// temporary directory and compare what it prints and writes byte for byte.
#ifndef QUENDIX_TESTS_E2E_H
#define QUENDIX_TESTS_E2E_H

#include "frame_gen.h"
#include "support/reference.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <string>
#include <vector>

inline const std::string USAGE_TEXT =
    "Usage : quendix [-r] [-e <end_block>] [<file_selector>]\n"
    "        quendix -h\n\n";

inline const std::string CSV_HEADER_LINE = "SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n";

// The console's banner for a path written with "/".
inline std::string banner(const std::string& path)
{
    return console_text("\nuqendix : " + shown_path(path) + "\n\n");
}

inline std::string not_opened(const std::string& path)
{
    return console_text("quendix : " + shown_path(path) + ", not opened.\n");
}

inline std::string not_written(const std::string& path)
{
    return console_text("quendix : " + shown_path(path) + ", not written.\n");
}

// The files under `dir` that a run writes its outputs to before they are
// renamed into place, "." + an output name + ".quendix-" + six letters and
// digits, as paths relative to `dir`, written with "/".
inline std::vector<std::string> temporary_files(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const size_t mark = name.rfind(".quendix-");
        if (!name.empty() && name[0] == '.' && mark != std::string::npos && mark + 15 == name.size()) {
            found.push_back(fs::relative(entry.path(), dir).generic_string());
        }
    }
    return found;
}

// The CSV rows of a valid frame, worked out from the definitions: the
// printf format of a row and the magnitudes.
inline std::string expected_rows(const gen_frame& frame)
{
    std::string rows;
    for (const gen_sample& s : frame.samples) {
        char line[128];
        std::snprintf(line, sizeof line, "%u,%d,%d,%d,%d,%d,%d,%d,%d\r\n", s.seqno, s.ax, s.ay, s.az, s.gx, s.gy, s.gz,
                      asvm_by_definition(s.ax, s.ay, s.az), gsvm_by_definition(s.gx, s.gy, s.gz));
        rows += line;
    }
    return rows;
}

// A valid frame at (block, page_word) whose samples are numbered from
// `seqno` and hold varied axis values.
inline gen_frame sample_frame(uint16_t block, uint16_t page_word, uint16_t seqno)
{
    gen_frame frame = make_frame(block, page_word);
    for (int i = 0; i < 9; ++i) {
        gen_sample& s = frame.samples[i];
        s.seqno = static_cast<uint16_t>(seqno + i);
        s.ax = static_cast<int16_t>(8192 - 700 * i);
        s.ay = static_cast<int16_t>(-3000 + 31 * seqno);
        s.az = static_cast<int16_t>(i * 4096);
        s.gx = static_cast<int16_t>(6554 * (i % 3));
        s.gy = static_cast<int16_t>(-32768 + i);
        s.gz = static_cast<int16_t>(32767 - seqno);
    }
    return frame;
}

// Lines joined with the given line end.
inline std::string lines(const std::vector<std::string>& text, const std::string& line_end)
{
    std::string joined;
    for (const std::string& line : text) {
        joined += line + line_end;
    }
    return joined;
}

#endif
