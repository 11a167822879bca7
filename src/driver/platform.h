// The operating-system services the converter needs, behind one small
// interface. Each platform has its own implementation file, chosen by the
// build; no other file needs to know which platform it runs on.
#ifndef QUENDIX_DRIVER_PLATFORM_H
#define QUENDIX_DRIVER_PLATFORM_H

#include <csignal>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
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
inline bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

// Files or directories by identity: those a run has entered or created.
using identity_set = std::set<std::pair<unsigned long long, unsigned long long>>;

// Adds `id` to `set`; false when it was there already.
inline bool add_identity(identity_set* set, const file_identity& id)
{
    return set->insert(std::make_pair(id.volume, id.index)).second;
}

// True when `id` is in `set`.
inline bool has_identity(const identity_set& set, const file_identity& id)
{
    return set.count(std::make_pair(id.volume, id.index)) != 0;
}

// The separator used to join directory and entry names.
extern const char path_separator;

// True when `c` separates path components on this platform.
bool is_path_separator(char c);

// An open directory. Every name the converter lists, opens, creates or
// removes is taken relative to one, so that no path grows too long for the
// system and a directory renamed or replaced meanwhile cannot send a file's
// outputs elsewhere.
struct directory;

// Opens `name` (it may hold separators) relative to `parent`, or to the
// current directory when `parent` is null, following links, and fills `id`.
// Returns null when it is not a directory that can be opened.
directory* open_directory(const directory* parent, const std::string& name, file_identity* id);

// Closes a directory that open_directory opened.
void close_directory(directory* dir);

// Lists the entries of `dir` whose names match `name_pattern` ("*" any run
// of characters, "?" one character, letters without regard to case), never
// "." or "..", in the platform's order: by bytes on POSIX systems, as the
// file system lists them on Windows. An entry is a directory when it is one
// or links to one. Returns 0 and fills `entries`, or -1 when nothing
// matches or the directory cannot be listed whole. A listing too large for
// memory throws std::bad_alloc.
int list_directory(const directory* dir, const std::string& name_pattern,
                   std::vector<listing_entry>* entries);

// Fills `id` for whatever `name` in `dir` is: the file a link leads to with
// `follow_links`, else the name itself. Returns 0, or -1 when there is
// nothing there (or, following links, nothing at the end of them).
int name_identity(const directory* dir, const std::string& name, bool follow_links, file_identity* id);

// Opens `name` in `dir` for binary reading when it is a regular file,
// without ever blocking on pipes or devices, and fills `id`. Returns null
// otherwise.
FILE* open_input(const directory* dir, const std::string& name, file_identity* id);

// Creates `name` in `dir` as a new, empty file for binary writing and fills
// `id`. What the name holds is looked at first, without following links:
// nothing, or a regular file or a link (dangling or not) whose name is then
// removed, are replaced by the new file, which is made so that it can never
// be a file that existed before; a directory, device, pipe or socket is left
// as it is. Returns null when no new file was made.
FILE* create_output(const directory* dir, const std::string& name, file_identity* id);

// Removes the file `name` in `dir`. Returns 0, or -1 when it cannot.
int remove_name(const directory* dir, const std::string& name);

// Sets the process up for an unattended run: closed standard streams are
// opened on the null device, so that no file the run creates takes their
// place; a console that goes away and a file-size limit make writes fail,
// which the run reports, instead of ending it; and interrupts (SIGINT,
// SIGTERM and SIGHUP, or Ctrl-C, Ctrl-Break and closing the console) are
// noted in interrupt_signal instead of ending the run at once.
void prepare_process();

// The interrupt that has arrived, 0 until one does.
extern volatile std::sig_atomic_t interrupt_signal;

// Ends the process as the interrupt in interrupt_signal would have ended it.
[[noreturn]] void end_by_interrupt();

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

#endif
