// Windows implementation of the platform layer: FindFirstFileA listings whose
// wildcards the system matches, identities from the volume serial number and
// the file index, and opens that take disk files only.
#include "driver/platform.h"

#include <cstring>
#include <fcntl.h>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// The start-up code hands the arguments over as typed: a selector such as
// "*.qvx" is the listing's to match, never expanded into file names first.
extern "C" {
int _dowildcard = 0;
}

const char path_separator = '\\';

// The CSV and log streams are text streams, which turn "\n" into CR LF.
const char output_line_end[] = "\n";

bool is_path_separator(char c)
{
    return c == '\\' || c == '/';
}

bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

namespace {

// Every other opener may read, write or delete the file meanwhile, as with
// the runtime's own fopen.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// True when the system takes `path` for a device: names such as "nul",
// "con.qvx" or "com1.csv" in any directory open a device, not a file. It
// is found from the name alone, so that no device is ever opened: opening
// one can wait on it or, for a serial port, signal the attached hardware.
bool names_device(const char* path)
{
    const DWORD needed = GetFullPathNameA(path, 0, nullptr, nullptr);
    if (needed == 0) {
        return false;
    }
    std::string full(needed, '\0');
    const DWORD length = GetFullPathNameA(path, needed, &full[0], nullptr);
    return length > 0 && length < needed && full.compare(0, 4, "\\\\.\\") == 0;
}

// Fills `id` for the open disk file or directory `handle`. False for
// devices, consoles and pipes, which have no identity of their own.
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

// Wraps `handle` in a stream of the runtime; closes the handle on failure.
FILE* stream_of(HANDLE handle, int flags, const char* mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        _close(fd);
    }
    return stream;
}

}  // namespace

int list_directory(const std::string& directory, const std::string& name_pattern,
                   std::vector<listing_entry>* entries)
{
    entries->clear();
    std::string pattern;
    pattern.reserve(directory.size() + 1 + name_pattern.size());
    pattern.append(directory).append(1, path_separator).append(name_pattern);
    WIN32_FIND_DATAA entry;
    const HANDLE listing = FindFirstFileA(pattern.c_str(), &entry);
    if (listing == INVALID_HANDLE_VALUE) {
        return -1;
    }
    // The whole listing is taken before any entry is handed out, so files
    // the run creates meanwhile never show up in it. Entries stay in the
    // order the file system delivers them.
    do {
        if (std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0) {
            continue;
        }
        const bool is_directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries->push_back(listing_entry{entry.cFileName, is_directory});
    } while (FindNextFileA(listing, &entry));
    FindClose(listing);
    return entries->empty() ? -1 : 0;
}

int path_identity(const char* path, file_identity* id)
{
    if (names_device(path)) {
        return -1;
    }
    // No access is asked for, only the file's information; the backup
    // semantics let the same call open directories.
    const HANDLE handle = CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    DWORD attributes = 0;
    const bool identified = identity_of(handle, id, &attributes);
    CloseHandle(handle);
    return identified ? 0 : -1;
}

FILE* open_regular_input(const char* path, file_identity* id)
{
    // Devices are turned away by name, and anything else that is not a
    // disk file by its type, before a byte is read: a run never waits on a
    // console or a pipe, and never reads an endless device.
    if (names_device(path)) {
        return nullptr;
    }
    const HANDLE handle = CreateFileA(path, GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    DWORD attributes = 0;
    if (!identity_of(handle, id, &attributes) || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return nullptr;
    }
    return stream_of(handle, _O_RDONLY | _O_BINARY, "rb");
}

FILE* open_text_output(const char* path)
{
    // What fopen(path, "w+") does, except that a name which opens a device
    // (an output "nul.csv" is the null device) is not opened: the output
    // would vanish while the run reported it written.
    if (names_device(path)) {
        return nullptr;
    }
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    return stream_of(handle, _O_RDWR | _O_TEXT, "w+");
}

bool stdout_is_terminal()
{
    return _isatty(_fileno(stdout)) != 0;
}

void ignore_console_hangup()
{
    // Windows raises no signal when the reader of a pipe has gone: the write
    // just fails, which the console output ignores already.
}
