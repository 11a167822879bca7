// Interrupts and the signals that would end a run for a failed write. An
// interrupt (SIGINT, SIGTERM and SIGHUP, or Ctrl-C, Ctrl-Break and closing
// the console) is only noted: the run looks at the note between chunks of
// a file and between files, and ends by it once the file under way has
// removed its temporary files. Each platform has its implementation file,
// chosen by the build.
#ifndef QUENDIX_DRIVER_SIGNALS_H
#define QUENDIX_DRIVER_SIGNALS_H

#include <csignal>
#include <cstdio>

// Makes a console that goes away and a file-size limit make writes fail,
// which the run reports, instead of ending it, and has interrupts noted in
// interrupt_signal instead of ending the run at once. An interrupt ignored
// from the start (as nohup ignores SIGHUP) stays ignored.
void prepare_signals();

// The interrupt that has arrived, 0 until one does.
extern volatile std::sig_atomic_t interrupt_signal;

// Ends the process as the interrupt in interrupt_signal would have ended it.
[[noreturn]] void end_by_interrupt();

// Ends the process when an interrupt has arrived, after writing out what
// standard output holds.
inline void end_if_interrupted()
{
    if (interrupt_signal != 0) {
        std::fflush(stdout);
        end_by_interrupt();
    }
}

#endif
