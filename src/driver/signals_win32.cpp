// Windows implementation of the signals: console control events noted as
// the signals they stand for. Windows has no SIGPIPE and no SIGXFSZ: a
// write to a pipe whose reader has gone fails, and there is no limit on a
// file's size but a full disk or a quota, where a write fails too.
#include "signals.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// Set on the thread the system starts for a console control event, read by
// the run between chunks and files; a store to an aligned int is never seen
// half done.
volatile std::sig_atomic_t interrupt_signal = 0;

namespace {

// How long the handler of a closing console or session holds the system
// back while the run removes the outputs of the file under way and ends
// itself. The system may end the process sooner: five seconds after a
// console window is closed.
constexpr DWORD CLOSE_WAIT_MS = 10000;

// Notes a console control event as the signal it stands for: Ctrl-C as
// SIGINT, Ctrl-Break as SIGBREAK, a closed console, logoff or shutdown as
// SIGTERM. Each ends the process with the same status (end_by_interrupt).
BOOL WINAPI note_console_event(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        interrupt_signal = SIGINT;
        return TRUE;
    case CTRL_BREAK_EVENT:
        interrupt_signal = SIGBREAK;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process as soon as this returns, so it
        // returns only if the run has not ended itself by then.
        interrupt_signal = SIGTERM;
        Sleep(CLOSE_WAIT_MS);
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

void prepare_signals()
{
    // When the process was started with Ctrl-C ignored (a new process
    // group), the system does not pass Ctrl-C on, and it stays ignored.
    SetConsoleCtrlHandler(note_console_event, TRUE);
}

void end_by_interrupt()
{
    // The status the system's own handler ends a console program with on
    // Ctrl-C or Ctrl-Break.
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
