// A hostile Windows file system: names that open devices, other names for
// the input itself or for other files where its outputs are expected, and
// an interrupted run. Every input must stay intact, no run may wait on a
// device, and an interrupted run leaves every output name as it was.
#include "e2e.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

class HostileFs : public temp_dir_test {
protected:
    // Files named like devices can be removed by their literal names only.
    void TearDown() override
    {
        for (const std::string& name : names()) {
            DeleteFileW(literal(name).c_str());
        }
        temp_dir_test::TearDown();
    }

    // The name in the test's directory as a path that the system takes
    // literally, so that names such as "nul.qvx" make files, not devices.
    std::wstring literal(const std::string& name) const
    {
        return L"\\\\?\\" + fs::absolute(root).wstring() + L"\\" + fs::path(name).wstring();
    }

    void write_literal(const std::string& name, const std::string& bytes)
    {
        const HANDLE file = CreateFileW(literal(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << name;
        DWORD written = 0;
        const bool wrote = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        ASSERT_TRUE(wrote && written == bytes.size()) << "cannot write " << name;
    }

    std::string read_literal(const std::string& name) const
    {
        const HANDLE file = CreateFileW(literal(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        std::string bytes;
        if (file == INVALID_HANDLE_VALUE) {
            return bytes;
        }
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            bytes.append(buffer, n);
        }
        CloseHandle(file);
        return bytes;
    }

    // The names in the test's directory, sorted.
    std::vector<std::string> names() const
    {
        std::vector<std::string> found;
        WIN32_FIND_DATAW entry;
        const HANDLE listing = FindFirstFileW(literal("*").c_str(), &entry);
        if (listing == INVALID_HANDLE_VALUE) {
            return found;
        }
        do {
            const std::string name = fs::path(entry.cFileName).string();
            if (name != "." && name != "..") {
                found.push_back(name);
            }
        } while (FindNextFileW(listing, &entry));
        FindClose(listing);
        std::sort(found.begin(), found.end());
        return found;
    }
};

const std::string REPORT_1_0 = "    start :   1,   0\n      end :   1,   0\n";

// The log of a file whose one frame is at (1, 0).
const std::string LOG_1_0 = "    start :   1,   0\r\n      end :   1,   0\r\n";

TEST_F(HostileFs, InputsNamedLikeDevicesAreNotOpened)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    for (const char* name : {"aux.qvx", "con.qvx", "NUL.qvx"}) {
        write_literal(name, frame);
    }
    write_file(at("z.qvx"), frame);
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, banner("./aux.qvx") + not_opened("./aux.qvx") + banner("./con.qvx") +
                              not_opened("./con.qvx") + banner("./NUL.qvx") + not_opened("./NUL.qvx") +
                              banner("./z.qvx") + console_text(REPORT_1_0));
    EXPECT_EQ(read_literal("NUL.qvx"), frame);
    EXPECT_EQ(names(), (std::vector<std::string>{"NUL.qvx", "aux.qvx", "con.qvx", "z.csv", "z.log", "z.qvx"}));
}

TEST_F(HostileFs, AnOutputNameThatIsADeviceIsNotOpened)
{
    // "nul1234" loses its last four bytes to ".csv": its CSV name is the
    // null device, where the rows would vanish.
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    write_file(at("nul1234"), frame);
    const program_run run = run_quendix(root, {"nul1234"});
    EXPECT_EQ(run.output, banner("./nul1234") + not_opened("./nul.csv"));
    EXPECT_EQ(names(), std::vector<std::string>{"nul1234"});
}

TEST_F(HostileFs, AnOutputNameThatIsAnotherFilesShortNameIsNotOpened)
{
    // Where the volume keeps 8.3 names, "Report for May.csv" answers to a
    // short name too, which is the CSV name of a recording named after it.
    write_literal("Report for May.csv", "kept");
    wchar_t short_path[MAX_PATH];
    const DWORD length = GetShortPathNameW(literal("Report for May.csv").c_str(), short_path, MAX_PATH);
    const std::string short_name = fs::path(short_path).filename().string();
    if (length == 0 || length >= MAX_PATH || short_name == "Report for May.csv") {
        GTEST_SKIP() << "this volume keeps no short names";
    }
    const std::string stem = short_name.substr(0, short_name.size() - 4);
    write_file(at(stem + ".qvx"), frame_bytes(sample_frame(1, 0, 0)));
    const program_run run = run_quendix(root, {stem + ".qvx"});
    EXPECT_EQ(run.output, banner("./" + stem + ".qvx") + not_opened("./" + stem + ".csv"));
    EXPECT_EQ(read_literal("Report for May.csv"), "kept");
}

TEST_F(HostileFs, InputIsNeverDestroyedThroughAnotherNameForIt)
{
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    // Names match without regard to case, so the CSV name of X.CSV is the
    // input itself.
    write_file(at("X.CSV"), frame);
    program_run run = run_quendix(root, {"*.csv"});
    EXPECT_EQ(run.output, banner("./X.CSV") + not_opened("./X.csv"));
    EXPECT_EQ(read_file(at("X.CSV")), frame);
    fs::remove(at("X.CSV"));

    write_file(at("b.qvx"), frame);
    if (!CreateHardLinkW(literal("b.csv").c_str(), literal("b.qvx").c_str(), nullptr)) {
        GTEST_SKIP() << "hard links cannot be made here: error " << GetLastError();
    }
    run = run_quendix(root, {});
    EXPECT_EQ(run.output, banner("./b.qvx") + not_opened("./b.csv"));
    EXPECT_EQ(read_file(at("b.qvx")), frame);
    EXPECT_EQ(names(), (std::vector<std::string>{"b.csv", "b.qvx"}));
}

TEST_F(HostileFs, AnOutputNameThatIsAFileOrAnotherNameForARecordingIsReplaced)
{
    // a.csv is another name for the recording c.qvx, converted after a.qvx;
    // a.log is an old log, longer than the new one.
    const std::string a = frame_bytes(sample_frame(1, 0, 0));
    const std::string c = frame_bytes(sample_frame(1, 0, 9));
    write_file(at("a.qvx"), a);
    write_file(at("c.qvx"), c);
    write_file(at("a.log"), LOG_1_0 + LOG_1_0);
    if (!CreateHardLinkW(literal("a.csv").c_str(), literal("c.qvx").c_str(), nullptr)) {
        GTEST_SKIP() << "hard links cannot be made here: error " << GetLastError();
    }
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, banner("./a.qvx") + console_text(REPORT_1_0) + banner("./c.qvx") + console_text(REPORT_1_0));
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(read_file(at("a.log")), LOG_1_0);
    EXPECT_EQ(read_file(at("c.qvx")), c);
    EXPECT_EQ(read_file(at("c.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 9)));
    EXPECT_EQ(read_file(at("a.qvx")), a);
}

TEST_F(HostileFs, OneRunWritesAnOutputNameOnce)
{
    // Both files name their outputs "data..csv" and "data..log".
    write_file(at("data.qvx1"), frame_bytes(sample_frame(1, 0, 0)));
    write_file(at("data.qvx2"), frame_bytes(sample_frame(1, 0, 9)));
    const program_run run = run_quendix(root, {"*.qvx?"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output,
              banner("./data.qvx1") + console_text(REPORT_1_0) + banner("./data.qvx2") + not_opened("./data..csv"));
    EXPECT_EQ(read_file(at("data..csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(read_file(at("data..log")), LOG_1_0);
    EXPECT_EQ(names(), (std::vector<std::string>{"data..csv", "data..log", "data.qvx1", "data.qvx2"}));
}

TEST_F(HostileFs, CtrlCDuringAReRunKeepsTheEarlierOutputs)
{
    // A run over the outputs of an earlier one. b.qvx reports every frame
    // but its first: far more console text than the pipe and the program's
    // buffers hold, so once its banner has arrived the program is still
    // converting it, waiting for the test to read on. Its outputs are then
    // only temporary files. Ctrl-C is sent then.
    const std::string frame = frame_bytes(sample_frame(1, 0, 0));
    std::string gaps = frame;
    std::string gap_lines = "    start :   1,   0\n";
    for (int i = 1; i <= 100000; ++i) {
        gaps += erased_frame_bytes();
        char line[64];
        std::snprintf(line, sizeof line, "  missing : %3d, %3d -> 65535, 65535 (%d)\n", 1 + i / 512, i % 512, 132 * i);
        gap_lines += line;
    }
    write_file(at("a.qvx"), frame);
    write_file(at("b.qvx"), gaps);
    write_file(at("c.qvx"), frame);
    for (const char* output : {"a.csv", "a.log", "b.csv", "b.log", "c.csv"}) {
        write_file(at(output), std::string("earlier ") + output + "\r\n");
    }

    const std::string head = banner("./a.qvx") + console_text(REPORT_1_0) + banner("./b.qvx");
    std::string output;
    std::vector<std::string> names_held;
    bool sent = false;
    run_setup setup;
    setup.timeout_seconds = 120;
    const program_run run = run_quendix_with(root, {}, setup, [&](const char* bytes, size_t size) {
        output.append(bytes, size);
        if (!sent && output.size() >= head.size()) {
            sent = true;
            names_held = names();
            signal_running_program(SIGINT);
        }
    });
    ASSERT_TRUE(sent);
    EXPECT_EQ(static_cast<DWORD>(run.exit_status), STATUS_CONTROL_C_EXIT);

    // The console text so far, in whole lines, then the message.
    const std::string tail = console_text("quendix : " + shown_path("./b.qvx") + ", interrupted.\n");
    ASSERT_GE(output.size(), head.size() + tail.size());
    EXPECT_EQ(output.substr(0, head.size()), head);
    EXPECT_EQ(output.substr(output.size() - tail.size()), tail);
    const std::string report = output.substr(head.size(), output.size() - head.size() - tail.size());
    const std::string whole_report = console_text(gap_lines);
    EXPECT_LT(report.size(), whole_report.size());
    EXPECT_EQ(whole_report.compare(0, report.size(), report), 0);
    EXPECT_TRUE(report.empty() || report.back() == '\n');

    // While b.qvx was converted, its outputs were only temporary files
    // beside the earlier ones, which replace them by the rename alone.
    ASSERT_EQ(names_held.size(), 10u);
    EXPECT_EQ(names_held[0].compare(0, 15, ".b.csv.quendix-"), 0) << names_held[0];
    EXPECT_EQ(names_held[0].size(), 21u);
    EXPECT_EQ(names_held[1].compare(0, 15, ".b.log.quendix-"), 0) << names_held[1];
    EXPECT_EQ(std::vector<std::string>(names_held.begin() + 2, names_held.end()),
              (std::vector<std::string>{"a.csv", "a.log", "a.qvx", "b.csv", "b.log", "b.qvx", "c.csv", "c.qvx"}));
    EXPECT_EQ(read_file(at("b.csv")), "earlier b.csv\r\n");

    // a.qvx's new outputs are in place; b.qvx and c.qvx keep the earlier
    // ones, and no temporary file is left.
    EXPECT_EQ(read_file(at("a.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
    EXPECT_EQ(read_file(at("a.log")), LOG_1_0);
    EXPECT_EQ(read_file(at("b.csv")), "earlier b.csv\r\n");
    EXPECT_EQ(read_file(at("b.log")), "earlier b.log\r\n");
    EXPECT_EQ(read_file(at("c.csv")), "earlier c.csv\r\n");
    EXPECT_EQ(read_file(at("b.qvx")), gaps);
    EXPECT_EQ(names(),
              (std::vector<std::string>{"a.csv", "a.log", "a.qvx", "b.csv", "b.log", "b.qvx", "c.csv", "c.qvx"}));
}

}  // namespace
