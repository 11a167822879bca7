// POSIX implementation of the platform layer: directory handles and the
// *at() calls relative to them, readdir listings filtered by the wildcard
// matcher, stat identities, and signals.
#include "driver/platform.h"

#include "driver/wildcard.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

const char path_separator = '/';

volatile std::sig_atomic_t interrupt_signal = 0;

struct directory {
    int fd;
};

bool is_path_separator(char c)
{
    return c == '/';
}

static void identity_from_stat(const struct stat& st, file_identity* id)
{
    id->volume = static_cast<unsigned long long>(st.st_dev);
    id->index = static_cast<unsigned long long>(st.st_ino);
}

directory* open_directory(const directory* parent, const std::string& name, file_identity* id)
{
    const int fd = openat(parent != nullptr ? parent->fd : AT_FDCWD, name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    identity_from_stat(st, id);
    return new directory{fd};
}

void close_directory(directory* dir)
{
    close(dir->fd);
    delete dir;
}

// Reads the entries of `dir` that match `name_pattern` into `entries`.
// False when the directory cannot be read.
static bool read_entries(const directory* dir, const std::string& name_pattern,
                         std::vector<listing_entry>* entries)
{
    // A handle of its own for the listing, which readdir moves through.
    const int fd = openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (listing == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    while (const struct dirent* d = readdir(listing)) {
        const char* name = d->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (!wildcard_match(name_pattern.c_str(), name)) {
            continue;
        }
        struct stat st;
        const bool is_directory = fstatat(dir->fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        entries->push_back(listing_entry{name, is_directory});
    }
    closedir(listing);
    return true;
}

int list_directory(const directory* dir, const std::string& name_pattern,
                   std::vector<listing_entry>* entries)
{
    entries->clear();
    // The whole directory is read before any entry is handed out, so files
    // the run creates meanwhile never show up in this listing.
    if (!read_entries(dir, name_pattern, entries)) {
        return -1;
    }
    // Byte order of names, so that every run visits files in the same order.
    std::sort(entries->begin(), entries->end(),
              [](const listing_entry& a, const listing_entry& b) { return a.name < b.name; });
    return entries->empty() ? -1 : 0;
}

int name_identity(const directory* dir, const std::string& name, bool follow_links, file_identity* id)
{
    struct stat st;
    if (fstatat(dir->fd, name.c_str(), &st, follow_links ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    identity_from_stat(st, id);
    return 0;
}

FILE* open_input(const directory* dir, const std::string& name, file_identity* id)
{
    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; the
    // type check then turns away everything that is not a regular file.
    const int fd = openat(dir->fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

FILE* create_output(const directory* dir, const std::string& name, file_identity* id)
{
    struct stat st;
    if (fstatat(dir->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            return nullptr;
        }
        // Only the name goes: a link's target, and the other names of a
        // file with several, stay as they are.
        if (unlinkat(dir->fd, name.c_str(), 0) != 0 && errno != ENOENT) {
            return nullptr;
        }
    } else if (errno != ENOENT) {
        return nullptr;
    }
    // O_EXCL: whatever has taken the name since, a link included, makes the
    // creation fail; nothing existing is ever followed, opened or truncated.
    const int fd = openat(dir->fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                          0666);
    if (fd < 0) {
        return nullptr;
    }
    if (fstat(fd, &st) != 0) {
        close(fd);
        unlinkat(dir->fd, name.c_str(), 0);
        return nullptr;
    }
    identity_from_stat(st, id);
    FILE* stream = fdopen(fd, "wb");
    if (stream == nullptr) {
        close(fd);
        unlinkat(dir->fd, name.c_str(), 0);
    }
    return stream;
}

int remove_name(const directory* dir, const std::string& name)
{
    return unlinkat(dir->fd, name.c_str(), 0) == 0 ? 0 : -1;
}

static void note_interrupt(int signal_number)
{
    interrupt_signal = signal_number;
}

void prepare_process()
{
    // Opened in order, each on the lowest free descriptor: the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            open("/dev/null", O_RDWR);
        }
    }
    // A console reader that has gone would raise SIGPIPE, and a write past
    // the file-size limit SIGXFSZ; ignored, the write just fails.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // Every level of a deep tree holds its directory open while the levels
    // below it are walked.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // Interrupts are only noted; the run looks at the note between chunks
    // of a file and between files. SA_RESTART lets a write to a full pipe
    // finish once the pipe drains. A signal ignored from the start (as
    // nohup does for SIGHUP) stays ignored.
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

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) != 0;
}
