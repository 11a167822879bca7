// Windows implementation of the platform layer: directories held by their
// paths, FindFirstFileA listings whose wildcards the system matches,
// identities from the volume serial number and the file index, outputs made
// with CREATE_NEW and renamed over the names they replace.
//
// Every name is joined to its directory's path and handed to the system's
// ANSI file functions, which take paths of at most MAX_PATH (260) bytes,
// terminator included, counted from the drive on. A file deeper than that
// is not opened and a directory deeper than that is not listed: the walk
// reaches no further. Each open directory is also held by a handle that
// does not share deletion, so that while the walk is inside it, neither it
// nor any directory the walk entered on the way there can be renamed,
// removed or replaced by a link: its path keeps naming the directory that
// was opened.
#include "platform.h"

#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <new>
#include <string>
#include <utility>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The start-up code hands the arguments over as typed: a selector such as
// "*.qvx" is the listing's to match, never expanded into file names first.
extern "C" {
int _dowildcard = 0;
}

const char path_separator = '\\';

namespace {

// A handle that CreateFileA opened, as an owned resource.
struct file_handle_kind {
    using type = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
using file_handle = owned<file_handle_kind>;

// A listing that FindFirstFileA started, as an owned resource.
struct find_listing_kind {
    using type = HANDLE;
    static HANDLE none() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE listing) { FindClose(listing); }
};
using find_listing = owned<find_listing_kind>;

}  // namespace

struct directory {
    std::string path;
    file_handle handle;
};

bool is_path_separator(char c)
{
    return c == '\\' || c == '/';
}

namespace {

// Every other opener may read, write or delete the file meanwhile, as with
// the runtime's own fopen.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// True when the system takes `path` for a device: names such as "nul",
// "con.qvx" or "com1.csv" in any directory open a device, not a file. It
// is found from the name alone, so that no device is ever opened: opening
// one can wait on it or, for a serial port, signal the attached hardware.
bool names_device(const std::string& path)
{
    const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return false;
    }
    std::string full(needed, '\0');
    const DWORD length = GetFullPathNameA(path.c_str(), needed, &full[0], nullptr);
    return length > 0 && length < needed && full.compare(0, 4, "\\\\.\\") == 0;
}

// Fills `id` and `attributes` for the open disk file or directory `handle`.
// False for devices, consoles and pipes, which have no identity of their
// own.
bool identity_of(HANDLE handle, file_identity* id, DWORD* attributes)
{
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        return false;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index = static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    *attributes = info.dwFileAttributes;
    return true;
}

// Wraps `handle` in a stream of the runtime; the handle is closed on
// failure.
FILE* stream_of(file_handle handle, int flags, const char* mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags);
    if (fd < 0) {
        return nullptr;
    }
    handle.release();  // the descriptor's now, closed with it
    FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        _close(fd);
    }
    return stream;
}

// The full path the system gives for the open `handle`, long names and
// all; empty when it gives none.
std::string final_path(HANDLE handle)
{
    std::string path(MAX_PATH, '\0');
    DWORD length = GetFinalPathNameByHandleA(handle, &path[0], static_cast<DWORD>(path.size()), 0);
    if (length >= path.size()) {
        path.assign(length, '\0');
        length = GetFinalPathNameByHandleA(handle, &path[0], static_cast<DWORD>(path.size()), 0);
    }
    path.resize(length < path.size() ? length : 0);
    return path;
}

// True when `name` in `dir` is the name of the open file or link `handle`
// itself. It is not when `name` is another file's short 8.3 alias
// ("REPORT~1.CSV" for "Report for May.csv"), or, under wine, a Unix
// symbolic link, which wine shows as the file it leads to.
bool is_own_name(HANDLE handle, const directory* dir, const std::string& name)
{
    std::string expected = final_path(dir->handle.get());
    const std::string found = final_path(handle);
    if (expected.empty() || found.empty() || name.find_first_of("\\/") != std::string::npos) {
        return false;
    }
    if (expected.back() != '\\') {
        expected.push_back('\\');
    }
    expected.append(name);
    return _stricmp(expected.c_str(), found.c_str()) == 0;
}

// True when the open `handle` may be replaced by an output:
// it is a file, or a link of any kind (a symbolic link or a junction,
// dangling or not, to a file or a directory), under its own name. Not a
// directory, nor a socket.
bool is_replaceable(HANDLE handle, const directory* dir, const std::string& name)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) {
        return false;
    }
    const bool is_link = (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                         IsReparseTagNameSurrogate(info.ReparseTag);
    if (!is_link) {
        // Any other reparse point is what its attributes say, except a
        // socket, which looks like a file.
        if ((info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
            ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
             info.ReparseTag == static_cast<DWORD>(IO_REPARSE_TAG_AF_UNIX))) {
            return false;
        }
    }
    return is_own_name(handle, dir, name);
}

// True when `name` in `dir`, whose path is `path`, may be replaced by a new
// file: nothing is there, or a file or link that is not read-only (Windows
// would not replace it) and whose own name it is. Nothing is changed.
bool replaceable_name(const directory* dir, const std::string& name, const std::string& path)
{
    // GetFileAttributesA describes a reparse point itself, never follows it.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 ||
        ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)) {
        return false;
    }
    // The name is opened itself, never followed, and looked at again
    // through the handle, which stays open while is_replaceable takes
    // memory for the paths it compares.
    const file_handle opened(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened) {
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    return is_replaceable(opened.get(), dir, name);
}

// Writes the path of `name` in `dir` into `path`, which holds MAX_PATH
// bytes, without needing memory. False when it does not fit, and no system
// function would take it.
bool join_into(const directory* dir, const std::string& name, char (&path)[MAX_PATH])
{
    const size_t length = dir->path.size() + 1 + name.size();
    if (length >= MAX_PATH) {
        return false;
    }
    std::memcpy(path, dir->path.data(), dir->path.size());
    path[dir->path.size()] = path_separator;
    std::memcpy(path + dir->path.size() + 1, name.data(), name.size());
    path[length] = '\0';
    return true;
}

// Reads the entries of `dir` that match `name_pattern` into `entries`.
// False when the directory cannot be listed whole, or nothing matches.
bool read_entries(const directory* dir, const std::string& name_pattern, std::vector<listing_entry>* entries)
{
    WIN32_FIND_DATAA entry;
    const find_listing listing(FindFirstFileA(join_path(dir->path, name_pattern).c_str(), &entry));
    if (!listing) {
        return false;
    }
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        // A link to a directory carries the directory attribute as well.
        const bool is_directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries->push_back(listing_entry{entry.cFileName, is_directory});
    } while (FindNextFileA(listing.get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

}  // namespace

directory_handle open_directory(const directory* parent, const std::string& name, file_identity* id)
{
    std::string path = parent != nullptr ? join_path(parent->path, name) : name;
    if (names_device(path)) {
        return directory_handle();
    }
    // The backup semantics open directories, following links. Without
    // FILE_SHARE_DELETE the directory stays where it is while open.
    file_handle handle(CreateFileA(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) {
        return directory_handle();
    }
    DWORD attributes = 0;
    if (!identity_of(handle.get(), id, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return directory_handle();
    }
    // Where the directory cannot be had, the handle is closed with its
    // owner here.
    return directory_handle(new (std::nothrow) directory{std::move(path), std::move(handle)});
}

void close_directory(directory* dir)
{
    delete dir;
}

int list_directory(const directory* dir, const std::string& name_pattern, std::vector<listing_entry>* entries)
{
    entries->clear();
    // The whole listing is taken before any entry is handed out, so files
    // the run creates meanwhile never show up in it; the entries stay in
    // the order the file system gives them.
    if (!read_entries(dir, name_pattern, entries)) {
        return -1;
    }
    return entries->empty() ? -1 : 0;
}

int name_identity(const directory* dir, const std::string& name, bool follow_links, file_identity* id)
{
    const std::string path = join_path(dir->path, name);
    if (names_device(path)) {
        return -1;
    }
    // No access is asked for, only the file's information; the backup
    // semantics let the same call open directories.
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    const file_handle handle(CreateFileA(path.c_str(), 0, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr));
    DWORD attributes = 0;
    return handle && identity_of(handle.get(), id, &attributes) ? 0 : -1;
}

int name_version(const directory* dir, const std::string& name, file_identity* id, file_version* version)
{
    // The file index of NTFS holds a sequence number that changes when a
    // record is reused, so the identity alone tells files apart there; the
    // times and size are for other file systems.
    const std::string path = join_path(dir->path, name);
    if (names_device(path)) {
        return -1;
    }
    const file_handle handle(CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD attributes = 0;
    FILE_BASIC_INFO times;
    FILE_STANDARD_INFO standard;
    const bool known = handle && identity_of(handle.get(), id, &attributes) &&
                       GetFileInformationByHandleEx(handle.get(), FileBasicInfo, &times, sizeof times) &&
                       GetFileInformationByHandleEx(handle.get(), FileStandardInfo, &standard, sizeof standard);
    if (!known) {
        return -1;
    }
    // In units of 100 ns.
    version->changed_seconds = times.ChangeTime.QuadPart / 10000000;
    version->changed_nanoseconds = times.ChangeTime.QuadPart % 10000000 * 100;
    version->born_seconds = times.CreationTime.QuadPart / 10000000;
    version->born_nanoseconds = times.CreationTime.QuadPart % 10000000 * 100;
    version->size = static_cast<unsigned long long>(standard.EndOfFile.QuadPart);
    return 0;
}

FILE* open_input(const directory* dir, const std::string& name, file_identity* id, file_access* access)
{
    *access = file_access{0, 0};
    // Devices are turned away by name, and anything else that is not a
    // disk file by its type, before a byte is read: a run never waits on a
    // console or a pipe, and never reads an endless device.
    const std::string path = join_path(dir->path, name);
    if (names_device(path)) {
        return nullptr;
    }
    file_handle handle(CreateFileA(path.c_str(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DWORD attributes = 0;
    if (!handle || !identity_of(handle.get(), id, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return nullptr;
    }
    return stream_of(std::move(handle), _O_RDONLY | _O_BINARY, "rb");
}

bool may_replace(const directory* dir, const std::string& name)
{
    // A name that opens a device ("nul.csv") does so in every directory:
    // the output would vanish while the run reported it written.
    const std::string path = join_path(dir->path, name);
    return !names_device(path) && replaceable_name(dir, name, path);
}

FILE* create_new_file(const directory* dir, const std::string& name, const file_access&, file_identity* id,
                      bool* name_taken)
{
    *name_taken = false;
    const std::string path = join_path(dir->path, name);
    if (names_device(path)) {
        return nullptr;
    }
    // CREATE_NEW fails on whatever holds the name, and with
    // FILE_FLAG_OPEN_REPARSE_POINT a link that does is not followed:
    // nothing existing is ever opened or truncated.
    file_handle handle(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        *name_taken = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        return nullptr;
    }
    DWORD attributes = 0;
    if (!identity_of(handle.get(), id, &attributes)) {
        // Closed first: the file does not share deletion while it is open.
        handle.reset();
        DeleteFileA(path.c_str());
        return nullptr;
    }
    // Binary: the lines carry their own CR LF.
    FILE* stream = stream_of(std::move(handle), _O_WRONLY | _O_BINARY, "wb");
    if (stream == nullptr) {
        DeleteFileA(path.c_str());
    }
    return stream;
}

int rename_name(const directory* dir, const std::string& from, const std::string& to)
{
    // A file or link at `to` is replaced by the rename itself, never opened
    // or written through; a directory makes the rename fail.
    char from_path[MAX_PATH];
    char to_path[MAX_PATH];
    if (!join_into(dir, from, from_path) || !join_into(dir, to, to_path)) {
        return -1;
    }
    return MoveFileExA(from_path, to_path, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

int remove_name(const directory* dir, const std::string& name)
{
    char path[MAX_PATH];
    return join_into(dir, name, path) && DeleteFileA(path) ? 0 : -1;
}

void prepare_process()
{
    // Nothing to do for closed standard streams: the runtime keeps
    // descriptors 0, 1 and 2 for them even when the process has no such
    // handle, and every file the run creates gets a handle of its own.
}

bool stdout_is_terminal()
{
    return _isatty(_fileno(stdout)) != 0;
}
