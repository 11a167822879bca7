// A hostile Windows file system: names that open devices, and other names
// for the input itself where its outputs are expected. Every input must
// stay intact and no run may wait on a device.
#include "e2e.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>

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
        const HANDLE file = CreateFileW(literal(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace
