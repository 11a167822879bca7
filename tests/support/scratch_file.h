// A file to write and read back in a test, in the temporary directory and
// removed when done.
//
// Not std::tmpfile(): the Windows C library makes that file in the root of
// the current drive, where a user without rights to it gets no file at all.
#ifndef QUENDIX_TESTS_SCRATCH_FILE_H
#define QUENDIX_TESTS_SCRATCH_FILE_H

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

class scratch_file {
public:
    scratch_file()
    {
        static std::atomic<unsigned> counter{0};
        // Another test process may make its files at the same moment: the
        // random part keeps the names apart.
        std::random_device random;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::filesystem::temp_directory_path() / ("quendix-scratch-" + std::to_string(random()) + "-" +
                                                          std::to_string(stamp) + "-" + std::to_string(counter++));
        stream_ = std::fopen(path_.string().c_str(), "w+b");
    }
    ~scratch_file()
    {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;

    // Null when the file could not be made.
    FILE* stream() const { return stream_; }

private:
    std::filesystem::path path_;
    FILE* stream_ = nullptr;
};

#endif
