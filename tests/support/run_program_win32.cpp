#include "support/run_program.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <utility>

#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// A run killed for taking too long ends with the status a POSIX run killed
// by its alarm signal reports.
constexpr DWORD TIMED_OUT_STATUS = 128 + 14;

// Appends `arg` so that the runtime's split of the command line gives it
// back unchanged: quoted when it is empty or holds blanks or quotes, with
// the backslashes before a quote doubled.
void append_argument(std::string* line, const std::string& arg)
{
    if (!line->empty()) {
        line->push_back(' ');
    }
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        line->append(arg);
        return;
    }
    line->push_back('"');
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line->append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        line->push_back(c);
    }
    line->append(2 * backslashes, '\\');
    line->push_back('"');
}

// "error N: the system's text for it" for a GetLastError() value.
std::string system_error(DWORD error)
{
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string message = "error " + std::to_string(error);
    if (length > 0) {
        message += ": ";
        message.append(text, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
            message.pop_back();
        }
    }
    return message;
}

// What the watchdog of a run needs: the process and how long it may take.
struct watchdog {
    HANDLE process;
    DWORD timeout_ms;
};

// Ends the process once it has run too long; returns when it has ended.
DWORD WINAPI end_when_late(void* param)
{
    const watchdog* dog = static_cast<const watchdog*>(param);
    if (WaitForSingleObject(dog->process, dog->timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(dog->process, TIMED_OUT_STATUS);
    }
    return 0;
}

// The program run_with_sink is running; null between runs.
HANDLE running_program = nullptr;

// Runs `program` with its standard output a pipe to `sink`, read on this
// thread while a watchdog thread ends a program that runs too long. A start,
// wait or exit status that fails fails the test, with the system's reason.
program_run run_with_sink(const std::string& program, const std::filesystem::path& dir,
                          const std::vector<std::string>& args, int timeout_seconds, const output_sink& sink)
{
    program_run result{-1, std::string()};
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) {
        ADD_FAILURE() << "cannot run " << program << ": CreatePipe: " << system_error(GetLastError());
        return result;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const HANDLE no_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                        OPEN_EXISTING, 0, nullptr);
    if (no_input == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot run " << program << ": opening NUL: " << system_error(GetLastError());
        CloseHandle(read_end);
        CloseHandle(write_end);
        return result;
    }

    std::string command_line;
    append_argument(&command_line, program);
    for (const std::string& arg : args) {
        append_argument(&command_line, arg);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = no_input;
    startup.hStdOutput = write_end;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child = {};
    const std::string directory = dir.string();
    // Started in this process's group, on its console: a new group would
    // start with Ctrl-C ignored.
    const bool started = CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.c_str(), &startup, &child) != 0;
    const DWORD start_error = GetLastError();
    // The child holds its own copies; the pipe ends when the child does.
    CloseHandle(write_end);
    CloseHandle(no_input);
    if (!started) {
        // Wine gives ERROR_INTERNAL_ERROR when the new process dies while
        // starting, and says why only where WINEDEBUG lets it.
        ADD_FAILURE() << "cannot run " << command_line << " in " << directory
                      << ": CreateProcessA: " << system_error(start_error)
                      << (start_error == ERROR_INTERNAL_ERROR ? " (under wine, WINEDEBUG=err+all shows why)" : "");
        CloseHandle(read_end);
        return result;
    }
    CloseHandle(child.hThread);
    running_program = child.hProcess;

    watchdog dog = {child.hProcess, static_cast<DWORD>(timeout_seconds) * 1000};
    const HANDLE watching = CreateThread(nullptr, 0, end_when_late, &dog, 0, nullptr);
    if (watching == nullptr) {
        ADD_FAILURE() << "no watchdog for " << command_line << ": " << system_error(GetLastError());
    }
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        sink(buffer, n);
    }
    if (WaitForSingleObject(child.hProcess, INFINITE) == WAIT_FAILED) {
        ADD_FAILURE() << "waiting for " << command_line << ": " << system_error(GetLastError());
    }
    if (watching != nullptr) {
        WaitForSingleObject(watching, INFINITE);
        CloseHandle(watching);
    }
    DWORD status = 0;
    if (GetExitCodeProcess(child.hProcess, &status)) {
        result.exit_status = static_cast<int>(status);
    } else {
        ADD_FAILURE() << "exit status of " << command_line << ": GetExitCodeProcess: " << system_error(GetLastError());
    }
    running_program = nullptr;
    CloseHandle(child.hProcess);
    CloseHandle(read_end);
    return result;
}

}  // namespace

const size_t longest_system_path = MAX_PATH;

program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds)
{
    std::string output;
    program_run result = run_with_sink(program, dir, args, timeout_seconds,
                                       [&output](const char* bytes, size_t size) { output.append(bytes, size); });
    result.output = std::move(output);
    return result;
}

program_run run_quendix(const std::filesystem::path& dir, const std::vector<std::string>& args)
{
    return run_program(QUENDIX_BINARY, dir, args);
}

std::string shown_path(const std::string& path)
{
    std::string shown = path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return shown;
}

std::string console_text(const std::string& text)
{
    std::string console;
    for (const char c : text) {
        if (c == '\n') {
            console.push_back('\r');
        }
        console.push_back(c);
    }
    return console;
}

std::vector<std::string> listing_order(std::vector<std::string> names)
{
    const auto folded = [](const std::string& name) {
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return lower;
    };
    std::sort(names.begin(), names.end(),
              [&folded](const std::string& a, const std::string& b) { return folded(a) < folded(b); });
    return names;
}

// Runs with a sink, and console control events, for the tests that act
// while the program runs.
namespace {

// Set when a console control event has reached this process too.
HANDLE console_event_seen = nullptr;

// Lets every console control event pass this process by, noting it: the
// events signal_running_program sends reach every process on the console.
BOOL WINAPI note_console_event(DWORD)
{
    SetEvent(console_event_seen);
    return TRUE;
}

// Gives this process a console of its own, once, which every program that
// run_quendix_with starts shares: console control events reach only the
// processes of one console. False when there is none.
bool own_console()
{
    static const bool ready = [] {
        console_event_seen = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        FreeConsole();
        return console_event_seen != nullptr && AllocConsole() != 0 &&
               SetConsoleCtrlHandler(note_console_event, TRUE) != 0;
    }();
    return ready;
}

}  // namespace

program_run run_quendix_with(const std::filesystem::path& dir, const std::vector<std::string>& args,
                             const run_setup& setup, const output_sink& sink)
{
    if (setup.unread_output || setup.closed_streams || setup.file_size_limit != 0 || setup.process_limit != 0 ||
        setup.terminal_output || setup.user >= 0 || setup.address_space_limit != 0) {
        ADD_FAILURE() << "run_setup asks for what only the POSIX harness does";
        return program_run{-1, std::string()};
    }
    if (!own_console()) {
        ADD_FAILURE() << "no console for the program: error " << GetLastError();
        return program_run{-1, std::string()};
    }
    return run_with_sink(QUENDIX_BINARY, dir, args, setup.timeout_seconds, sink);
}

void signal_running_program(int signal_number)
{
    if (running_program == nullptr) {
        ADD_FAILURE() << "no program is running";
        return;
    }
    // Ctrl-C, sent to the whole console since it cannot be sent to one
    // process group; Ctrl-Break, which can, wine does not send at all.
    // This returns once the event has reached this process as well, and
    // so has been sent to the program.
    if (signal_number != SIGINT) {
        ADD_FAILURE() << "only SIGINT, as Ctrl-C, can be sent here";
        return;
    }
    ResetEvent(console_event_seen);
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        ADD_FAILURE() << "Ctrl-C not sent: error " << GetLastError();
        return;
    }
    if (WaitForSingleObject(console_event_seen, 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "Ctrl-C sent but never seen";
    }
}
