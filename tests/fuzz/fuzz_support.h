// What the fuzz targets share: a private scratch directory, standard output
// caught in a file, whole-file reads and writes, and a loud stop when a
// check fails.
#ifndef QUENDIX_TESTS_FUZZ_SUPPORT_H
#define QUENDIX_TESTS_FUZZ_SUPPORT_H

#include <cstddef>
#include <string>

// A directory of this process's own, made on first use and removed at exit.
const std::string& scratch_dir();

// Sends standard output to the file `path` (created or truncated) until
// end_capture. Returns 0, or -1 when it cannot.
int begin_capture(const std::string& path);

// Restores standard output; everything written since begin_capture is in
// the file.
void end_capture();

// The whole file as bytes; empty when it cannot be read.
std::string read_whole_file(const std::string& path);

// Creates or truncates `path` to hold exactly `size` bytes of `data`.
// Returns 0, or -1 when it cannot.
int write_whole_file(const std::string& path, const void* data, size_t size);

// Reports a failed check with `detail` and aborts, so that the fuzzer keeps
// the input that caused it.
[[noreturn]] void check_failed(const char* check, const std::string& detail);

// Stops through check_failed unless `condition` holds.
inline void check(bool condition, const char* what, const std::string& detail = std::string())
{
    if (!condition) {
        check_failed(what, detail);
    }
}

#endif
