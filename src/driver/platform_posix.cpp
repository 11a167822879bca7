// POSIX implementation of the platform layer: readdir listings filtered by
// the wildcard matcher, stat identities, and non-blocking opens.
#include "driver/platform.h"

#include "driver/wildcard.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char path_separator = '/';
const char output_line_end[] = "\r\n";

bool is_path_separator(char c)
{
    return c == '/';
}

bool same_identity(const file_identity& a, const file_identity& b)
{
    return a.volume == b.volume && a.index == b.index;
}

static void identity_from_stat(const struct stat& st, file_identity* id)
{
    id->volume = static_cast<unsigned long long>(st.st_dev);
    id->index = static_cast<unsigned long long>(st.st_ino);
}

int list_directory(const std::string& directory, const std::string& name_pattern,
                   std::vector<listing_entry>* entries)
{
    entries->clear();
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) {
        return -1;
    }
    // The whole directory is read before any entry is handed out, so files
    // the run creates meanwhile never show up in this listing.
    std::string path;
    while (const struct dirent* d = readdir(dir)) {
        const char* name = d->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (!wildcard_match(name_pattern.c_str(), name)) {
            continue;
        }
        path.assign(directory).append(1, path_separator).append(name);
        struct stat st;
        const bool is_directory = stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        entries->push_back(listing_entry{name, is_directory});
    }
    closedir(dir);
    // Byte order of names, so that every run visits files in the same order.
    std::sort(entries->begin(), entries->end(),
              [](const listing_entry& a, const listing_entry& b) { return a.name < b.name; });
    return entries->empty() ? -1 : 0;
}

int path_identity(const char* path, file_identity* id)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        return -1;
    }
    identity_from_stat(st, id);
    return 0;
}

FILE* open_regular_input(const char* path, file_identity* id)
{
    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; the
    // type check then turns away everything that is not a regular file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    identity_from_stat(st, id);
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

FILE* open_text_output(const char* path)
{
    // The same as fopen(path, "w+"), except that an output name which is a
    // FIFO neither blocks the open nor swallows the output: O_RDWR with
    // O_NONBLOCK opens a FIFO at once, and the type check turns it away.
    const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* stream = fdopen(fd, "w+");
    if (stream == nullptr) {
        close(fd);
    }
    return stream;
}

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) != 0;
}

void ignore_console_hangup()
{
    // Without this, the first write after the reader has gone raises
    // SIGPIPE and kills the run mid-file, with its CSV file and log cut off.
    std::signal(SIGPIPE, SIG_IGN);
}
