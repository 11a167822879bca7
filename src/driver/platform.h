// The operating-system services the converter needs, behind one small
// interface. Each platform has its own implementation file, chosen by the
// build; no other file needs to know which platform it runs on.
#ifndef QUENDIX_DRIVER_PLATFORM_H
#define QUENDIX_DRIVER_PLATFORM_H

#include <cstdio>
#include <string>
#include <vector>

// One entry of a directory listing.
struct listing_entry {
    std::string name;
    bool is_directory;
};

// What makes a file or directory itself, independent of the name used for it.
struct file_identity {
    unsigned long long volume;
    unsigned long long index;
};

// True when both identities name the same file.
bool same_identity(const file_identity& a, const file_identity& b);

// The separator used to join directory and entry names.
extern const char path_separator;

// True when `c` separates path components on this platform.
bool is_path_separator(char c);

// The bytes that end a line in the CSV and log files once they have passed
// through the text stream: the files end their lines in CR LF everywhere.
extern const char output_line_end[];

// Lists the entries of `directory` whose names match `name_pattern` ("*" any
// run of characters, "?" one character, letters without regard to case),
// never "." or "..", in the platform's order: by bytes on POSIX systems, as
// the file system lists them on Windows. Returns 0 and fills `entries`, or
// -1 when nothing matches or the directory cannot be listed.
int list_directory(const std::string& directory, const std::string& name_pattern,
                   std::vector<listing_entry>* entries);

// Fills `id` for the existing file or directory at `path`, following links.
// Returns 0, or -1 when there is nothing there.
int path_identity(const char* path, file_identity* id);

// Opens `path` for binary reading when it is a regular file, without ever
// blocking on pipes or devices, and fills `id`. Returns null otherwise.
FILE* open_regular_input(const char* path, file_identity* id);

// Creates or truncates `path` as a text stream for writing ("w+").
// Returns null on failure.
FILE* open_text_output(const char* path);

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

// Keeps a console that has gone away (the reader of a pipe has closed it)
// from ending the run: writes to it then fail, and are ignored like every
// other console write error, while the files are converted to the end.
void ignore_console_hangup();

#endif
