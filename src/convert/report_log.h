// Where the report lines of one conversion go: the log file, each line
// ending in CR LF, and the console that echoes them, each ending in "\n".
// The lines wait in buffers of their own, so that they reach the log and
// the console in large writes at the cost of one copy a line; this is the
// console's only buffer beyond the stream's own small one. A console that
// is a terminal gets each line as it is written.
#ifndef QUENDIX_CONVERT_REPORT_LOG_H
#define QUENDIX_CONVERT_REPORT_LOG_H

#include <cstddef>
#include <cstdio>

// The log and the console of one conversion, and the text held for each.
struct report_log {
    FILE* log;
    FILE* console;
    bool hold_console;
    size_t log_used;
    char log_text[32 * 1024];
    size_t console_used;
    char console_text[64 * 1024];
};

// Makes `report` empty, writing to `log` and echoing to `console`.
void start_report(report_log* report, FILE* log, FILE* console, bool console_is_terminal);

// Writes the line from `line` to `end`, shorter than the log's buffer, to
// the console and the log with their line ends. Both copies come from the
// one buffer: each line end is put in turn in the two bytes past `end`,
// which must be writable.
void write_report_line(report_log* report, char* line, char* end);

// Writes the console text held in `report` to its console, and empties it.
void flush_report_console(report_log* report);

// Writes all the text held in `report` to the log and the console, and
// empties it. A failed write leaves the stream's error flag set.
void flush_report(report_log* report);

#endif
