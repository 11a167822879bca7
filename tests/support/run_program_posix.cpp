#include "support/run_program.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

const size_t longest_system_path = PATH_MAX;

namespace {

// Runs `program` with its standard output a pipe to `sink`; with `unread`,
// the reading end is closed before the program starts, so that every write
// of the program fails as it would once its reader has gone.
program_run run_with_sink(const std::string& program, const std::filesystem::path& dir,
                          const std::vector<std::string>& args, int timeout_seconds,
                          const output_sink& sink, bool unread)
{
    program_run result{-1, std::string()};
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        ADD_FAILURE() << "cannot run " << program << ": pipe: " << std::strerror(errno);
        return result;
    }
    if (unread) {
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
        dup2(pipe_fds[1], STDOUT_FILENO);
        if (pipe_fds[0] >= 0) {
            close(pipe_fds[0]);
        }
        close(pipe_fds[1]);
        // As a shell starts it, whatever this test process ignores.
        signal(SIGPIPE, SIG_DFL);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        alarm(static_cast<unsigned>(timeout_seconds));
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "cannot run " << program << ": fork: " << std::strerror(errno);
    }
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
    return result;
}

}  // namespace

program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds)
{
    std::string output;
    program_run result = run_with_sink(program, dir, args, timeout_seconds,
                                       [&output](const char* bytes, size_t size) { output.append(bytes, size); },
                                       false);
    result.output = std::move(output);
    return result;
}

program_run run_quendix(const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    return run_program(QUENDIX_BINARY, dir, args);
}

program_run run_quendix_streaming(const std::filesystem::path& dir, const std::vector<std::string>& args,
                                  int timeout_seconds, const output_sink& sink)
{
    return run_with_sink(QUENDIX_BINARY, dir, args, timeout_seconds, sink, false);
}

int run_quendix_unread(const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    return run_with_sink(QUENDIX_BINARY, dir, args, 30, [](const char*, size_t) {}, true).exit_status;
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
