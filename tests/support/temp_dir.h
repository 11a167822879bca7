// A test fixture that runs each test in a fresh temporary directory.
#ifndef QUENDIX_TESTS_TEMP_DIR_H
#define QUENDIX_TESTS_TEMP_DIR_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace fs = std::filesystem;

// Reads a whole file as bytes; empty when it cannot be read.
std::string read_file(const fs::path& path);

// Creates `path` (and its parent directories) holding exactly `bytes`.
void write_file(const fs::path& path, const std::string& bytes);

// Gives each test its own empty directory, `root`, removed afterwards.
class temp_dir_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // `relative` inside the test's directory.
    fs::path at(const std::string& relative) const { return root / relative; }

    fs::path root;
};

#endif
