#include "support/run_program.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

const size_t longest_system_path = PATH_MAX;

namespace {

pid_t running_program = -1;

// Makes the kernel refuse io_uring_setup to this process and what it runs,
// with `error`, and end it at any other io_uring call. Returns 0, or -1
// when no filter can be installed.
int refuse_io_uring(int error)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_register, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 ? 0 : -1;
}

// Runs `program` as `setup` says, with its standard output a pipe to `sink`.
program_run run_with_sink(const std::string& program, const std::filesystem::path& dir,
                          const std::vector<std::string>& args, const run_setup& setup,
                          const output_sink& sink)
{
    program_run result{-1, std::string()};
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "cannot run " << program << ": pipe: " << std::strerror(errno);
        return result;
    }
    if (setup.unread_output) {
        close(pipe_fds[0]);
        pipe_fds[0] = -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        close(null_fd);
        dup2(pipe_fds[1], STDOUT_FILENO);
        if (pipe_fds[0] >= 0) {
            close(pipe_fds[0]);
        }
        close(pipe_fds[1]);
        if (setup.closed_streams) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
        }
        if (setup.file_size_limit != 0) {
            const rlimit limit = {setup.file_size_limit, setup.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        // As a shell starts it, whatever this test process ignores.
        for (const int signal_number : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) {
            signal(signal_number, SIG_DFL);
        }
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        if (setup.refused_io_uring != 0 && refuse_io_uring(setup.refused_io_uring) != 0) {
            _exit(125);
        }
        alarm(static_cast<unsigned>(setup.timeout_seconds));
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "cannot run " << program << ": fork: " << std::strerror(errno);
    }
    running_program = pid;
    close(pipe_fds[1]);
    if (pipe_fds[0] >= 0) {
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
    running_program = -1;
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
    return run_with_sink(QUENDIX_BINARY, dir, args, setup, sink);
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
