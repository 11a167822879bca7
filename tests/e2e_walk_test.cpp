// Which files a run selects, and in what order.
#include "e2e.h"

#include <algorithm>
#include <sstream>

namespace {

class Walk : public temp_dir_test {
protected:
    void add_recording(const std::string& relative) { write_file(at(relative), frame_bytes(sample_frame(1, 0, 0))); }

    // The paths the run converted, from its banners, in console order.
    static std::vector<std::string> converted(const program_run& run)
    {
        std::vector<std::string> paths;
        std::istringstream text(run.output);
        std::string line;
        const std::string prefix = "uqendix : ";
        while (std::getline(text, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            if (line.compare(0, prefix.size(), prefix) == 0) {
                paths.push_back(line.substr(prefix.size()));
            }
        }
        return paths;
    }

    static std::vector<std::string> shown(const std::vector<std::string>& paths)
    {
        std::vector<std::string> result;
        for (const std::string& path : paths) {
            result.push_back(shown_path(path));
        }
        return result;
    }
};

TEST_F(Walk, RecursiveRunConvertsFilesBeforeSubdirectoriesDepthFirst)
{
    for (const char* path :
         {"z.qvx", "a.qvx", "m/b.qvx", "m/n/k.qvx", "m/c.qvx", "p/q.qvx", "x.qvx/y.qvx", "m/n/notes.txt"}) {
        add_recording(path);
    }
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(converted(run),
              shown({"./a.qvx", "./z.qvx", "./m/b.qvx", "./m/c.qvx", "./m/n/k.qvx", "./p/q.qvx", "./x.qvx/y.qvx"}));
    EXPECT_TRUE(fs::exists(at("m/n/k.csv")));
    EXPECT_FALSE(fs::exists(at("x.csv")));
}

TEST_F(Walk, PlainRunStaysInTheDirectoryAndSkipsDirectoriesThatMatch)
{
    for (const char* path : {"b.qvx", "a.qvx", "m/c.qvx", "x.qvx/y.qvx"}) {
        add_recording(path);
    }
    const program_run run = run_quendix(root, {});
    EXPECT_EQ(converted(run), shown({"./a.qvx", "./b.qvx"}));
}

TEST_F(Walk, SelectorAppliesInEveryVisitedDirectory)
{
    for (const char* path : {"data1.qvx", "other.qvx", "m/data2.qvx", "m/n/DATA3.QVX", "m/n/x.qvx"}) {
        add_recording(path);
    }
    const program_run run = run_quendix(root, {"-r", "data*.qvx"});
    EXPECT_EQ(converted(run), shown({"./data1.qvx", "./m/data2.qvx", "./m/n/DATA3.QVX"}));
}

TEST_F(Walk, OutputsCreatedDuringTheRunAreNotSelected)
{
    add_recording("x.dat");
    const program_run run = run_quendix(root, {"*"});
    EXPECT_EQ(converted(run), shown({"./x.dat"}));
    EXPECT_TRUE(fs::exists(at("x.csv")));
    EXPECT_TRUE(fs::exists(at("x.log")));
}

TEST_F(Walk, SelectorWithADirectoryPartConvertsTheFilesItNames)
{
    add_recording("sub/b.qvx");
    add_recording("b.qvx");
    const program_run run = run_quendix(root, {"sub/*.qvx"});
    EXPECT_EQ(converted(run), shown({"./sub/b.qvx"}));
    EXPECT_TRUE(fs::exists(at("sub/b.csv")));
    EXPECT_FALSE(fs::exists(at("b.csv")));
}

TEST_F(Walk, LinkLoopsAndAliasesAreEnteredOnce)
{
    add_recording("a.qvx");
    add_recording("m/b.qvx");
    std::error_code error;
    fs::create_directory_symlink("..", at("m/up"), error);
    if (!error) {
        fs::create_directory_symlink(".", at("m/self"), error);
    }
    if (!error) {
        fs::create_directory_symlink("m", at("alias"), error);
    }
    if (error) {
        GTEST_SKIP() << "directory links cannot be made here: " << error.message();
    }
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    // "alias" sorts before "m", so the tree is entered through the alias.
    EXPECT_EQ(converted(run), shown({"./a.qvx", "./alias/b.qvx"}));
}

TEST_F(Walk, HandlesPathsLongerThanAnyFixedBuffer)
{
    // Levels of up to 200 bytes, until the whole path of the deepest output
    // comes within a few bytes of the longest the system takes: over 4,000
    // bytes on POSIX systems, where the converted path is relative and so
    // shorter still; on Windows, paths up to the system's own limit.
    const size_t room = longest_system_path - 16 - root.string().size() - std::string("/k.qvx").size();
    std::string deep;
    for (char level = 'a'; deep.size() + 1 < room; ++level) {
        const size_t length = std::min<size_t>(199, room - deep.size() - 1);
        deep += std::string(length, level) + "/";
    }
    add_recording(deep + "k.qvx");
    const program_run run = run_quendix(root, {"-r"});
    ASSERT_GE(root.string().size() + deep.size() + 7, longest_system_path - 17);
    EXPECT_EQ(converted(run), shown({"./" + deep + "k.qvx"}));
    EXPECT_EQ(read_file(at(deep + "k.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
}

TEST_F(Walk, FilesComeInTheOrderOfTheListing)
{
    const std::vector<std::string> names = {"b.qvx", "C.qvx", "a.qvx", "B2.qvx", "A1.qvx"};
    for (const std::string& name : names) {
        add_recording(name);
    }
    std::vector<std::string> expected;
    for (const std::string& name : listing_order(names)) {
        expected.push_back("./" + name);
    }
    EXPECT_EQ(converted(run_quendix(root, {})), shown(expected));
}

}  // namespace
