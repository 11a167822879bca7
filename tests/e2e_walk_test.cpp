// Which files a run selects, and in what order.
#include "e2e.h"

#include <sstream>

namespace {

class Walk : public temp_dir_test {
protected:
    void add_recording(const std::string& relative)
    {
        write_file(at(relative), frame_bytes(sample_frame(1, 0, 0)));
    }

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
    for (const char* path : {"z.qvx", "a.qvx", "m/b.qvx", "m/n/k.qvx", "m/c.qvx", "p/q.qvx",
                             "x.qvx/y.qvx", "m/n/notes.txt"}) {
        add_recording(path);
    }
    const program_run run = run_quendix(root, {"-r"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(converted(run), shown({"./a.qvx", "./z.qvx", "./m/b.qvx", "./m/c.qvx", "./m/n/k.qvx",
                                     "./p/q.qvx", "./x.qvx/y.qvx"}));
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
    // Twenty levels of 200 bytes: the converted path is over 4,000 bytes
    // long, yet the absolute paths stay within what the OS accepts.
    std::string deep;
    for (int level = 0; level < 20; ++level) {
        deep += std::string(199, static_cast<char>('a' + level)) + "/";
    }
    add_recording(deep + "k.qvx");
    const program_run run = run_quendix(root, {"-r"});
    ASSERT_GT(deep.size() + 7, 4000u);
    EXPECT_EQ(converted(run), shown({"./" + deep + "k.qvx"}));
    EXPECT_EQ(read_file(at(deep + "k.csv")), CSV_HEADER_LINE + expected_rows(sample_frame(1, 0, 0)));
}

}  // namespace
