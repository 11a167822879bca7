#include "support/temp_dir.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>

std::string read_file(const fs::path& path)
{
    // In blocks: a character at a time, an unoptimised test takes seconds
    // for the tens of megabytes some tests read.
    std::ifstream in(path, std::ios::binary);
    std::string bytes;
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0) {
        bytes.append(block, static_cast<size_t>(in.gcount()));
    }
    return bytes;
}

void write_file(const fs::path& path, const std::string& bytes)
{
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void temp_dir_test::SetUp()
{
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // Parameterised test names hold "/", which must not make subdirectories.
    std::string name = std::string(info->name()).substr(0, 40);
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    root = fs::temp_directory_path() /
           ("quendix-" + name + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(root);
}

void temp_dir_test::TearDown()
{
    std::error_code ignored;
    fs::remove_all(root, ignored);
}
