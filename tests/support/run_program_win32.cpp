#include "support/run_program.h"

#include <algorithm>
#include <cctype>

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
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        error, 0, text, sizeof text, nullptr);
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

// The reading end of the child's standard output and what came out of it.
struct output_reader {
    HANDLE pipe;
    std::string text;
};

// Reads the pipe to its end on a thread of its own, so a child that writes
// more than the pipe holds never waits for a parent that waits for it.
DWORD WINAPI read_until_closed(void* param)
{
    output_reader* reader = static_cast<output_reader*>(param);
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        reader->text.append(buffer, n);
    }
    return 0;
}

}  // namespace

const size_t longest_system_path = MAX_PATH;

program_run run_program(const std::string& program, const std::filesystem::path& dir,
                        const std::vector<std::string>& args, int timeout_seconds)
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
    const HANDLE no_input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inheritable, OPEN_EXISTING, 0, nullptr);
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
    const bool started = CreateProcessA(program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, directory.c_str(), &startup, &child) != 0;
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

    output_reader reader{read_end, std::string()};
    const HANDLE reading = CreateThread(nullptr, 0, read_until_closed, &reader, 0, nullptr);
    if (reading == nullptr) {
        read_until_closed(&reader);  // no thread: read here, without the timeout
    }
    const DWORD waited = WaitForSingleObject(child.hProcess, static_cast<DWORD>(timeout_seconds) * 1000);
    if (waited == WAIT_FAILED) {
        ADD_FAILURE() << "waiting for " << command_line << ": " << system_error(GetLastError());
    }
    if (waited != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, TIMED_OUT_STATUS);
        WaitForSingleObject(child.hProcess, INFINITE);
    }
    if (reading != nullptr) {
        WaitForSingleObject(reading, INFINITE);
        CloseHandle(reading);
    }
    DWORD status = 0;
    if (GetExitCodeProcess(child.hProcess, &status)) {
        result.exit_status = static_cast<int>(status);
    } else {
        ADD_FAILURE() << "exit status of " << command_line << ": GetExitCodeProcess: "
                      << system_error(GetLastError());
    }
    CloseHandle(child.hProcess);
    CloseHandle(read_end);
    result.output = reader.text;
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
