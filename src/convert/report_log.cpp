#include "report_log.h"

#include <cstring>

namespace {

// Writes the log text held in `report` to the log, and empties it.
void flush_log_text(report_log* report)
{
    if (report->log_used > 0) {
        std::fwrite(report->log_text, 1, report->log_used, report->log);
        report->log_used = 0;
    }
}

}  // namespace

void start_report(report_log* report, FILE* log, FILE* console, bool console_is_terminal)
{
    report->log = log;
    report->console = console;
    report->hold_console = !console_is_terminal;
    report->log_used = 0;
    report->console_used = 0;
}

void write_report_line(report_log* report, char* line, char* end)
{
    const size_t length = static_cast<size_t>(end - line);
    line[length] = '\n';
    if (!report->hold_console) {
        std::fwrite(line, 1, length + 1, report->console);
    } else {
        if (sizeof report->console_text - report->console_used < length + 1) {
            flush_report_console(report);
        }
        std::memcpy(report->console_text + report->console_used, line, length + 1);
        report->console_used += length + 1;
    }
    std::memcpy(line + length, "\r\n", 2);
    if (sizeof report->log_text - report->log_used < length + 2) {
        flush_log_text(report);
    }
    std::memcpy(report->log_text + report->log_used, line, length + 2);
    report->log_used += length + 2;
}

void flush_report_console(report_log* report)
{
    if (report->console_used > 0) {
        std::fwrite(report->console_text, 1, report->console_used, report->console);
        report->console_used = 0;
    }
}

void flush_report(report_log* report)
{
    flush_log_text(report);
    flush_report_console(report);
}
