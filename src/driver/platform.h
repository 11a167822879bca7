// The operating-system services the converter needs, behind one small
// interface. Each platform has its own implementation file, chosen by the
// build; no other file needs to know which platform it runs on. A call that
// needs memory it cannot get throws std::bad_alloc, and then leaves nothing
// open or created.
#ifndef QUENDIX_DRIVER_PLATFORM_H
#define QUENDIX_DRIVER_PLATFORM_H

#include "owned.h"

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
inline bool operator==(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

inline bool operator!=(const file_identity& a, const file_identity& b)
{
    return !(a == b);
}

// An order of identities, by volume and then by index, so that they can key
// sets and maps.
inline bool operator<(const file_identity& a, const file_identity& b)
{
    return a.volume < b.volume || (a.volume == b.volume && a.index < b.index);
}

// What tells a file apart from a later one that gets its identity once it
// is gone (file systems reuse the numbers of removed files at once): its
// change time, which every change to the file, its name or its links moves
// on, its birth time where the file system keeps one, and its size. Two
// looks at a file that nothing changed in between see the same.
struct file_version {
    long long changed_seconds;
    long long changed_nanoseconds;
    long long born_seconds;  // both 0 where the file system keeps no birth time
    long long born_nanoseconds;
    unsigned long long size;
};

// True when both versions were seen of one unchanged file.
inline bool same_version(const file_version& a, const file_version& b)
{
    return a.changed_seconds == b.changed_seconds && a.changed_nanoseconds == b.changed_nanoseconds &&
           a.born_seconds == b.born_seconds && a.born_nanoseconds == b.born_nanoseconds && a.size == b.size;
}

// Who may read a file beside its owner, which its outputs inherit: its read
// and write permission bits and its group (POSIX; both 0 and unused on
// Windows).
struct file_access {
    unsigned permissions;
    unsigned long long group;
};

// The separator used to join directory and entry names.
extern const char path_separator;

// True when `c` separates path components on this platform.
bool is_path_separator(char c);

// The path of the entry `name` of the directory whose path is `dir`.
inline std::string join_path(const std::string& dir, const std::string& name)
{
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path.append(dir).append(1, path_separator).append(name);
    return path;
}

// An open directory. Every name the converter lists, opens, creates or
// removes is taken relative to one, so that no path grows too long for the
// system and a directory renamed or replaced meanwhile cannot send a file's
// outputs elsewhere.
struct directory;

// Closes a directory that open_directory opened.
void close_directory(directory* dir);

// An open directory as an owned resource: null for none.
struct directory_kind {
    using type = directory*;
    static directory* none() { return nullptr; }
    static void close(directory* dir) { close_directory(dir); }
};

// The owner of an open directory, which closes it when the owner goes.
using directory_handle = owned<directory_kind>;

// Opens `name` (it may hold separators) relative to `parent`, or to the
// current directory when `parent` is null, and fills `id`. Links are
// followed only when the user running the program or the superuser owns
// them (POSIX; on Windows every link is followed). Returns a null handle
// when it is not a directory that can be opened that way.
directory_handle open_directory(const directory* parent, const std::string& name, file_identity* id);

// Lists the entries of `dir` whose names match `name_pattern` ("*" any run
// of characters, "?" one character, letters without regard to case), never
// "." or "..", in the platform's order: by bytes on POSIX systems, as the
// file system lists them on Windows. An entry is a directory when it is one
// or links to one. Returns 0 and fills `entries`, or -1 when nothing
// matches or the directory cannot be listed whole. A listing too large for
// memory throws std::bad_alloc.
int list_directory(const directory* dir, const std::string& name_pattern, std::vector<listing_entry>* entries);

// Fills `id` for whatever `name` in `dir` is: the file a link leads to with
// `follow_links`, else the name itself. Returns 0, or -1 when there is
// nothing there (or, following links, nothing at the end of them).
int name_identity(const directory* dir, const std::string& name, bool follow_links, file_identity* id);

// Fills `id` and `version` for whatever `name` in `dir` is, a link itself
// rather than what it leads to. Returns 0, or -1 when there is nothing
// there.
int name_version(const directory* dir, const std::string& name, file_identity* id, file_version* version);

// Opens `name` in `dir` for binary reading when it is a regular file,
// without ever blocking on pipes or devices, following links as
// open_directory does, and fills `id` and `access`, which its outputs are
// made with. Returns null otherwise.
FILE* open_input(const directory* dir, const std::string& name, file_identity* id, file_access* access);

// True when a new file may be put in the place of `name` in `dir` by
// rename_name: the name holds nothing, or a regular file or a link
// (dangling or not), looked at without following it, that this user may
// replace (POSIX: in a sticky directory that is not the user's, only the
// user's own, unless the user is the superuser); on Windows a file or link
// that is not read-only and answers to `name` as its own name, not as a
// short 8.3 alias of another file. False for a directory, device, pipe or
// socket, and for whatever cannot be looked at.
bool may_replace(const directory* dir, const std::string& name);

// Creates `name` in `dir` as a new, empty file for binary writing, readable
// by no one who may not read a file of `access` (ignored on Windows): with
// its permission bits, further limited by the umask, and its group where
// the user may give the file that group; where not, with the group and
// other bits cleared. Fills `id`. Nothing that exists is ever opened: when
// anything holds the name, a link included, no file is made and
// `*name_taken` is set. Returns null when no new file was made.
FILE* create_new_file(const directory* dir, const std::string& name, const file_access& access, file_identity* id,
                      bool* name_taken);

// Renames the file `from` in `dir` to `to`, replacing whatever file or
// link `to` names in one step, never writing through it. Returns 0, or -1
// when it cannot (`to` is a directory, for one).
int rename_name(const directory* dir, const std::string& from, const std::string& to);

// Removes the file `name` in `dir`. Returns 0, or -1 when it cannot.
int remove_name(const directory* dir, const std::string& name);

// Sets the process up for an unattended run: closed standard streams are
// opened on the null device, so that no file the run creates takes their
// place, and as many files may be open as the system lets the user have.
// The signals are set up apart (signals.h).
void prepare_process();

// True when standard output is an interactive terminal.
bool stdout_is_terminal();

#endif
