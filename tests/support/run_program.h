// Running the built program as a user would, and what differs by platform
// in what it prints.
#ifndef QUENDIX_TESTS_RUN_PROGRAM_H
#define QUENDIX_TESTS_RUN_PROGRAM_H

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// What one run of a program did.
struct program_run {
    int exit_status;     // the exit status, 128 + signal when it was killed, or -1 when
                         // it could not be run (the test then fails, saying why)
    std::string output;  // everything written to standard output
};

// Runs `program` with `args` in the directory `dir`, with no standard input.
// A run that takes longer than `timeout_seconds` is killed.
program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds = 30);

// Runs the quendix binary under test.
program_run run_quendix(const std::filesystem::path& dir, const std::vector<std::string>& args);

// Receives each piece of a program's standard output as it arrives.
using output_sink = std::function<void(const char* bytes, size_t size)>;

// How a run of the quendix binary is set up beyond its arguments. The
// Windows harness takes the timeout only, and fails a test that asks for
// more.
struct run_setup {
    int timeout_seconds = 30;
    // Standard output is a pipe nobody reads, as when its reader has gone.
    bool unread_output = false;
    // Standard input and output are closed; nothing reaches the sink.
    bool closed_streams = false;
    // The largest file the program may write, in bytes; 0 for no limit.
    unsigned long long file_size_limit = 0;
    // The largest address space the program may have from its start, in
    // bytes, as `ulimit -v` sets it; 0 for no limit.
    unsigned long long address_space_limit = 0;
    // The most processes and threads the program's user may have, as
    // `ulimit -u` sets it; 0 for no limit (POSIX). It is set once the
    // program runs as `user`, and holds no one the system exempts (root):
    // at 1, the program can start no thread.
    unsigned long long process_limit = 0;
    // Standard output is a pseudo-terminal, as in an interactive shell.
    bool terminal_output = false;
    // The user (and group) the program runs as, when the tests run as root;
    // -1 for the tests' own.
    int user = -1;
};

// Runs the quendix binary under test like run_quendix, set up by `setup`,
// and hands its standard output to `sink` piece by piece instead of keeping
// it, so that a test can act while the program runs, or watch more output
// than it could keep. The program waits whenever the test has not yet taken
// its output.
program_run run_quendix_with(const std::filesystem::path& dir, const std::vector<std::string>& args,
                             const run_setup& setup, const output_sink& sink);

// Sends `signal_number` to the program that run_quendix_with is running;
// for a sink that interrupts the run. On Windows only SIGINT, as Ctrl-C to
// the console that the test shares with the program.
void signal_running_program(int signal_number);

// POSIX: limits the address space of the program that run_quendix_with is
// running to what it uses now plus `headroom` bytes, so that it soon runs
// out of memory. False when its size cannot be read or the limit not set.
bool limit_running_program_memory(unsigned long long headroom);

// POSIX: runs `count` copies of the quendix binary under test at once, each
// with `args` in `dir`, with no standard input, and returns their exit
// statuses once all have ended. The standard output of copy i goes to the
// file `output_dir` / "run<i>" where `output_dir` is given, else nowhere.
std::vector<int> run_quendix_at_once(const std::filesystem::path& dir, const std::vector<std::string>& args, int count,
                                     int timeout_seconds = 60, const std::filesystem::path& output_dir = {});

// POSIX: the quendix binary under test as any user can run it. The build
// tree may lie below a directory that only its owner can enter (a home, or
// one made by mktemp -d), so this is a copy in a fresh directory of mode
// 0755 in the system's temporary directory, made at the first call and
// removed when the test program ends. Empty, with `why` saying why, where
// no such copy can be made or reached; a test then skips with that reason.
// run_quendix_with runs this copy whenever its setup names a user.
std::string quendix_for_other_users(std::string& why);

// POSIX: the emulator that runs the binaries under test, as a command line
// (qemu-user for a cross build), or empty when they run natively. Tests of
// kernel interfaces an emulator does not pass on skip under one.
std::string emulator_in_use();

// The path the program prints for a path written with "/" here: the
// platform's separator in place of each "/".
std::string shown_path(const std::string& path);

// The console text for text written with "\n" line ends.
std::string console_text(const std::string& text);

// `names` of one directory in the order a run meets them. The POSIX build
// sorts the names by their bytes; the Windows build takes the file system's
// order, which NTFS (and wine) keep without regard to the case of letters.
std::vector<std::string> listing_order(std::vector<std::string> names);

// The longest whole path, terminator included, that the system's file
// functions take: thousands of bytes on POSIX systems, but MAX_PATH (260)
// for the Windows functions the program uses, counted from the drive on.
extern const size_t longest_system_path;

#endif
