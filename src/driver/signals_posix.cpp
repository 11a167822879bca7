// POSIX implementation of the signals: SIGPIPE and SIGXFSZ ignored, so
// that the write fails, and the interrupts noted by a handler.
#include "signals.h"

#include <csignal>
#include <initializer_list>
#include <signal.h>
#include <unistd.h>

volatile std::sig_atomic_t interrupt_signal = 0;

namespace {

void note_interrupt(int signal_number)
{
    interrupt_signal = signal_number;
}

}  // namespace

void prepare_signals()
{
    // A console reader that has gone would raise SIGPIPE, and a write past
    // the file-size limit SIGXFSZ; ignored, the write just fails.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // SA_RESTART lets a write to a full pipe finish once the pipe drains.
    struct sigaction action = {};
    action.sa_handler = note_interrupt;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous;
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

void end_by_interrupt()
{
    const int signal_number = interrupt_signal;
    std::signal(signal_number, SIG_DFL);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, signal_number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(signal_number);
    _exit(128 + signal_number);
}
