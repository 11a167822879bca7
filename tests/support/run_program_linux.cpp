#include "support/run_program.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

const size_t longest_system_path = PATH_MAX;

namespace {

pid_t running_program = -1;

// The command line that runs a program under test: the emulator's words
// (blank-separated in QUENDIX_EMULATOR, the first an absolute path) when
// there is one, then the program and its arguments.
std::vector<std::string> command_line(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> words;
    const std::string emulator = QUENDIX_EMULATOR;
    size_t at = 0;
    while (at < emulator.size()) {
        const size_t end = std::min(emulator.find(' ', at), emulator.size());
        if (end > at) {
            words.push_back(emulator.substr(at, end - at));
        }
        at = end + 1;
    }
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// The argument vector of `words` (from command_line), made before the
// child starts: a child of vfork may not allocate.
std::vector<char*> argv_of(const std::vector<std::string>& words)
{
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

// The signals a child sets back to their default before the exec, as a
// shell starts a program, whatever this test process ignores.
const int DEFAULT_SIGNALS[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ};

// The directory of the copy quendix_for_other_users made, removed at exit.
std::string copy_dir;

void remove_copy()
{
    std::error_code ignored;
    std::filesystem::remove_all(copy_dir, ignored);
}

// Makes the copy quendix_for_other_users describes; its path, or empty
// with `why` set.
std::string copy_for_other_users(std::string& why)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::temp_directory_path(error);
    if (error) {
        why = "no temporary directory: " + error.message();
        return std::string();
    }
    // Every directory on the way must let others pass, and the file system
    // must let programs run.
    for (fs::path dir = fs::absolute(base, error); !error; dir = dir.parent_path()) {
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0) {
            why = "other users cannot enter " + dir.string() + ", on the way to the temporary directory";
            return std::string();
        }
        if (dir == dir.root_path()) {
            break;
        }
    }
    struct statvfs volume;
    if (statvfs(base.c_str(), &volume) != 0 || (volume.f_flag & ST_NOEXEC) != 0) {
        why = "programs cannot run from the temporary directory " + base.string();
        return std::string();
    }
    std::string pattern = (base / "quendix-program-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        why = "cannot make a directory in " + base.string() + ": " + std::strerror(errno);
        return std::string();
    }
    copy_dir = pattern;
    std::atexit(remove_copy);
    const fs::path copy = fs::path(copy_dir) / "quendix";
    fs::copy_file(QUENDIX_BINARY, copy, error);
    if (error || chmod(copy_dir.c_str(), 0755) != 0 || chmod(copy.c_str(), 0755) != 0) {
        why = "cannot copy " + std::string(QUENDIX_BINARY) + " to " + copy_dir +
              (error ? ": " + error.message() : std::string());
        return std::string();
    }
    return copy.string();
}

// Written to the terminal by the harness once the program has ended, so
// that it arrives after all the program's output; the program never writes
// these control bytes to a terminal.
const std::string TERMINAL_END = "\x01\x02end of the program's output\x02\x01";

// Opens a pseudo-terminal in raw mode, so that it passes every byte as it
// is: fds[0] the side the harness reads, fds[1] the program's side. False
// when there is none.
bool open_terminal(int fds[2])
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return false;
    }
    const char* name = grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
    termios mode;
    if (slave < 0 || tcgetattr(slave, &mode) != 0) {
        close(master);
        if (slave >= 0) {
            close(slave);
        }
        return false;
    }
    cfmakeraw(&mode);
    tcsetattr(slave, TCSANOW, &mode);
    fds[0] = master;
    fds[1] = slave;
    return true;
}

// Hands everything the program writes on the terminal `master` to `sink`.
// `ended` is a pipe whose writing end only the program holds, and so
// closes when it ends; the harness then writes TERMINAL_END on `slave` and
// reads up to it, so that nothing the program wrote is lost.
void read_terminal(int master, int slave, int ended, const output_sink& sink)
{
    char buffer[65536];
    pollfd watched[2] = {{master, POLLIN, 0}, {ended, POLLIN, 0}};
    for (;;) {
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            return;
        }
        if ((watched[0].revents & POLLIN) != 0) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                sink(buffer, static_cast<size_t>(n));
            }
        } else if (watched[1].revents != 0) {
            break;
        }
    }
    if (write(slave, TERMINAL_END.data(), TERMINAL_END.size()) != static_cast<ssize_t>(TERMINAL_END.size())) {
        ADD_FAILURE() << "cannot write to the terminal: " << std::strerror(errno);
        return;
    }
    std::string rest;
    while (rest.size() < TERMINAL_END.size() ||
           rest.compare(rest.size() - TERMINAL_END.size(), TERMINAL_END.size(), TERMINAL_END) != 0) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) {
            ADD_FAILURE() << "the terminal ended before its end mark";
            return;
        }
        rest.append(buffer, static_cast<size_t>(n));
    }
    if (rest.size() > TERMINAL_END.size()) {
        sink(rest.data(), rest.size() - TERMINAL_END.size());
    }
}

// In a child about to become the program: runs it as `user` (and that
// group, with no others). False when it cannot.
bool become_user(int user)
{
    return user < 0 || (setgroups(0, nullptr) == 0 && setgid(static_cast<gid_t>(user)) == 0 &&
                        setuid(static_cast<uid_t>(user)) == 0);
}

// Runs `program` as `setup` says, with its standard output a pipe to `sink`.
program_run run_with_sink(const std::string& program, const std::filesystem::path& dir,
                          const std::vector<std::string>& args, const run_setup& setup, const output_sink& sink)
{
    program_run result{-1, std::string()};
    int pipe_fds[2];
    int ended_fds[2] = {-1, -1};
    if (setup.terminal_output) {
        if (!open_terminal(pipe_fds)) {
            ADD_FAILURE() << "cannot run " << program << ": no pseudo-terminal: " << std::strerror(errno);
            return result;
        }
        if (pipe(ended_fds) != 0) {
            ADD_FAILURE() << "cannot run " << program << ": pipe: " << std::strerror(errno);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
            return result;
        }
    } else if (pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "cannot run " << program << ": pipe: " << std::strerror(errno);
        return result;
    }
    if (setup.unread_output) {
        close(pipe_fds[0]);
        pipe_fds[0] = -1;
    }
    const std::vector<std::string> words = command_line(program, args);
    const std::vector<char*> argv = argv_of(words);
    const rlimit file_size = {setup.file_size_limit, setup.file_size_limit};
    const rlimit address_space = {setup.address_space_limit, setup.address_space_limit};
    // The child is made by vfork, which copies nothing, and only makes
    // system calls before its exec. A fork copies the page tables of the
    // test process, whose mappings under AddressSanitizer are large: about
    // a tenth of the sanitizers' suite's processor time. A child that
    // changes its user or its environment is forked all the same: in a
    // process with threads, the C library's setuid would signal them from
    // the child, and setenv allocates.
    const bool forked = setup.user >= 0 || setup.process_limit != 0;
    const pid_t pid = forked ? fork() : vfork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
        dup2(pipe_fds[1], STDOUT_FILENO);
        if (pipe_fds[0] >= 0) {
            close(pipe_fds[0]);
        }
        close(pipe_fds[1]);
        if (ended_fds[0] >= 0) {
            close(ended_fds[0]);
        }
        if (setup.closed_streams) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
        }
        if (setup.file_size_limit != 0) {
            setrlimit(RLIMIT_FSIZE, &file_size);
        }
        for (const int signal_number : DEFAULT_SIGNALS) {
            signal(signal_number, SIG_DFL);
        }
        if (chdir(dir.c_str()) != 0 || !become_user(setup.user)) {
            _exit(126);
        }
        // After the change of user, which would otherwise be refused, or
        // mark the process as over the limit so that its exec fails.
        if (setup.process_limit != 0) {
            const rlimit processes = {setup.process_limit, setup.process_limit};
            if (setrlimit(RLIMIT_NPROC, &processes) != 0) {
                _exit(125);
            }
            // A sanitizer build's leak check at exit needs a thread of its
            // own, which the limit refuses; it would end the program as it
            // exits.
            const char* options = std::getenv("ASAN_OPTIONS");
            const std::string with_no_leak_check = (options != nullptr && *options != '\0' ? std::string(options) + ":"
                                                                                           : std::string()) +
                                                   "detect_leaks=0";
            setenv("ASAN_OPTIONS", with_no_leak_check.c_str(), 1);
        }
        alarm(static_cast<unsigned>(setup.timeout_seconds));
        // Set last before the exec, which it limits too.
        if (setup.address_space_limit != 0) {
            setrlimit(RLIMIT_AS, &address_space);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "cannot run " << program << ": fork: " << std::strerror(errno);
    }
    // A run started from a sink, while another runs, hands that one back.
    const pid_t outer_program = running_program;
    running_program = pid;
    if (setup.terminal_output) {
        close(ended_fds[1]);
        if (pid > 0) {
            read_terminal(pipe_fds[0], pipe_fds[1], ended_fds[0], sink);
        }
        close(ended_fds[0]);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    } else {
        close(pipe_fds[1]);
    }
    if (!setup.terminal_output && pipe_fds[0] >= 0) {
        char buffer[65536];
        ssize_t n;
        while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
            sink(buffer, static_cast<size_t>(n));
        }
        close(pipe_fds[0]);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (pid > 0) {
        ADD_FAILURE() << "exit status of " << program << ": waitpid: " << std::strerror(errno);
    }
    running_program = outer_program;
    return result;
}

}  // namespace

program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds)
{
    std::string output;
    run_setup setup;
    setup.timeout_seconds = timeout_seconds;
    program_run result = run_with_sink(program, dir, args, setup,
                                       [&output](const char* bytes, size_t size) { output.append(bytes, size); });
    result.output = std::move(output);
    return result;
}

program_run run_quendix(const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    return run_program(QUENDIX_BINARY, dir, args);
}

program_run run_quendix_with(const std::filesystem::path& dir, const std::vector<std::string>& args,
                             const run_setup& setup, const output_sink& sink)
{
    if (setup.user < 0) {
        return run_with_sink(QUENDIX_BINARY, dir, args, setup, sink);
    }
    std::string why;
    const std::string program = quendix_for_other_users(why);
    if (program.empty()) {
        ADD_FAILURE() << "cannot run quendix as user " << setup.user << ": " << why;
        return program_run{-1, std::string()};
    }
    return run_with_sink(program, dir, args, setup, sink);
}

std::string quendix_for_other_users(std::string& why)
{
    static std::string failure;
    static const std::string copy = copy_for_other_users(failure);
    why = failure;
    return copy;
}

std::string emulator_in_use()
{
    return QUENDIX_EMULATOR;
}

bool limit_running_program_memory(unsigned long long headroom)
{
    std::ifstream status("/proc/" + std::to_string(running_program) + "/status");
    std::string line;
    unsigned long long size_kib = 0;
    while (running_program > 0 && std::getline(status, line)) {
        if (line.compare(0, 7, "VmSize:") == 0) {
            size_kib = std::strtoull(line.c_str() + 7, nullptr, 10);
        }
    }
    const rlimit limit = {size_kib * 1024 + headroom, size_kib * 1024 + headroom};
    return size_kib > 0 && prlimit(running_program, RLIMIT_AS, &limit, nullptr) == 0;
}

std::vector<int> run_quendix_at_once(const std::filesystem::path& dir, const std::vector<std::string>& args, int count,
                                     int timeout_seconds, const std::filesystem::path& output_dir)
{
    const std::vector<std::string> words = command_line(QUENDIX_BINARY, args);
    const std::vector<char*> argv = argv_of(words);
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const std::string output = output_dir.empty() ? std::string()
                                                      : (output_dir / ("run" + std::to_string(i))).string();
        const pid_t pid = vfork();
        if (pid == 0) {
            const int null_fd = open("/dev/null", O_RDWR);
            const int output_fd = output.empty() ? null_fd : open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (output_fd < 0) {
                _exit(126);
            }
            dup2(null_fd, STDIN_FILENO);
            dup2(output_fd, STDOUT_FILENO);
            close(null_fd);
            if (output_fd != null_fd) {
                close(output_fd);
            }
            for (const int signal_number : DEFAULT_SIGNALS) {
                signal(signal_number, SIG_DFL);
            }
            if (chdir(dir.c_str()) != 0) {
                _exit(126);
            }
            alarm(static_cast<unsigned>(timeout_seconds));
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (pid < 0) {
            ADD_FAILURE() << "cannot run " << QUENDIX_BINARY << ": fork: " << std::strerror(errno);
        }
        pids.push_back(pid);
    }
    std::vector<int> statuses;
    for (const pid_t pid : pids) {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) {
            statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        } else {
            statuses.push_back(-1);
        }
    }
    return statuses;
}

void signal_running_program(int signal_number)
{
    if (running_program > 0) {
        kill(running_program, signal_number);
    }
}

std::string shown_path(const std::string& path)
{
    return path;
}

std::string console_text(const std::string& text)
{
    return text;
}

std::vector<std::string> listing_order(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}
