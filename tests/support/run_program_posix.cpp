#include "support/run_program.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <climits>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

const size_t longest_system_path = PATH_MAX;

program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds)
{
    program_run result{-1, std::string()};
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return result;
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
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        alarm(static_cast<unsigned>(timeout_seconds));
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char buffer[65536];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

program_run run_quendix(const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    return run_program(QUENDIX_BINARY, dir, args);
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
