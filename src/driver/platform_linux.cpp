// POSIX implementation of the platform layer: directory handles and the
// *at() calls relative to them, links resolved one at a time so that only
// trusted ones are followed, readdir listings filtered by the wildcard
// matcher, and stat identities. Links are read through O_PATH
// descriptors, which Linux has.
#include "platform.h"

#include "wildcard.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

const char path_separator = '/';

struct directory {
    int fd;
};

namespace {

// An open descriptor as an owned resource: -1 for none.
struct descriptor_kind {
    using type = int;
    static int none() { return -1; }
    static void close(int fd) { ::close(fd); }
};
using descriptor = owned<descriptor_kind>;

// A directory stream that fdopendir made, which takes its descriptor with
// it when it is closed.
struct directory_stream_kind {
    using type = DIR*;
    static DIR* none() { return nullptr; }
    static void close(DIR* stream) { closedir(stream); }
};
using directory_stream = owned<directory_stream_kind>;

}  // namespace

bool is_path_separator(char c)
{
    return c == '/';
}

static void identity_from_stat(const struct stat& st, file_identity* id)
{
    id->volume = static_cast<unsigned long long>(st.st_dev);
    id->index = static_cast<unsigned long long>(st.st_ino);
}

// True when a link owned by `owner` may be followed: it is the user's own
// or the superuser's, never one that another user could have planted.
static bool trusted_owner(uid_t owner)
{
    return owner == geteuid() || owner == 0;
}

// Opens `name` (it may hold separators) relative to `dir_fd` with `flags`,
// resolving every link on the way itself: each is looked at through a
// descriptor of its own, so that what is read is what was checked, and
// followed only when trusted_owner says so, 40 at most. Returns the
// descriptor, -1 when it cannot be opened so.
static descriptor open_through_trusted_links(int dir_fd, const std::string& name, int flags)
{
    constexpr int MOST_LINKS = 40;
    int at = dir_fd;   // the directory that `rest` is relative to
    descriptor owned;  // `at` when it was opened here
    std::string rest = name;
    int links = 0;
    for (;;) {
        if (!rest.empty() && rest[0] == '/') {
            descriptor top(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!top) {
                return descriptor();
            }
            owned = std::move(top);
            at = owned.get();
            const size_t start = rest.find_first_not_of('/');
            rest.erase(0, start == std::string::npos ? rest.size() : start);
            if (rest.empty()) {
                rest = ".";
            }
            continue;
        }
        const size_t end = rest.find('/');
        std::string part = rest.substr(0, end);
        rest.erase(0, end == std::string::npos ? rest.size() : end + 1);
        const bool last = rest.find_first_not_of('/') == std::string::npos;
        if (part.empty()) {
            if (!last) {
                continue;
            }
            part = ".";
        }
        descriptor fd(openat(at, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (!fd || fstat(fd.get(), &st) != 0) {
            return descriptor();
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = readlinkat(fd.get(), "", target, sizeof target);
            fd.reset();
            if (!trusted_owner(st.st_uid) || length <= 0 || length == sizeof target || ++links > MOST_LINKS) {
                return descriptor();
            }
            rest = last ? std::string(target, static_cast<size_t>(length))
                        : std::string(target, static_cast<size_t>(length)) + "/" + rest;
            continue;
        }
        if (last) {
            // O_NOFOLLOW: a link put in its place since fails the open.
            fd.reset();
            return descriptor(openat(at, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
        }
        owned = std::move(fd);
        at = owned.get();
    }
}

directory_handle open_directory(const directory* parent, const std::string& name, file_identity* id)
{
    descriptor fd = open_through_trusted_links(parent != nullptr ? parent->fd : AT_FDCWD, name,
                                               O_RDONLY | O_DIRECTORY | O_NONBLOCK);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        return directory_handle();
    }
    directory* dir = new (std::nothrow) directory{fd.get()};
    if (dir == nullptr) {
        return directory_handle();
    }
    fd.release();
    identity_from_stat(st, id);
    return directory_handle(dir);
}

void close_directory(directory* dir)
{
    close(dir->fd);
    delete dir;
}

// Reads the entries of `dir` that match `name_pattern` into `entries`.
// False when the directory cannot be read.
static bool read_entries(const directory* dir, const std::string& name_pattern, std::vector<listing_entry>* entries)
{
    // A handle of its own for the listing, which readdir moves through.
    descriptor fd(openat(dir->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const directory_stream listing(fd ? fdopendir(fd.get()) : nullptr);
    if (!listing) {
        return false;
    }
    fd.release();  // the stream's now, closed with it
    while (const struct dirent* d = readdir(listing.get())) {
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
    return true;
}

int list_directory(const directory* dir, const std::string& name_pattern, std::vector<listing_entry>* entries)
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

int name_version(const directory* dir, const std::string& name, file_identity* id, file_version* version)
{
    struct statx st;
    if (statx(dir->fd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_CTIME | STATX_SIZE | STATX_BTIME, &st) !=
        0) {
        return -1;
    }
    id->volume = static_cast<unsigned long long>(makedev(st.stx_dev_major, st.stx_dev_minor));
    id->index = static_cast<unsigned long long>(st.stx_ino);
    version->changed_seconds = static_cast<long long>(st.stx_ctime.tv_sec);
    version->changed_nanoseconds = static_cast<long long>(st.stx_ctime.tv_nsec);
    const bool born = (st.stx_mask & STATX_BTIME) != 0;
    version->born_seconds = born ? static_cast<long long>(st.stx_btime.tv_sec) : 0;
    version->born_nanoseconds = born ? static_cast<long long>(st.stx_btime.tv_nsec) : 0;
    version->size = static_cast<unsigned long long>(st.stx_size);
    return 0;
}

FILE* open_input(const directory* dir, const std::string& name, file_identity* id, file_access* access)
{
    // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; the
    // type check then turns away everything that is not a regular file.
    descriptor fd = open_through_trusted_links(dir->fd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return nullptr;
    }
    identity_from_stat(st, id);
    access->permissions = static_cast<unsigned>(st.st_mode & 0666);
    access->group = static_cast<unsigned long long>(st.st_gid);
    FILE* stream = fdopen(fd.get(), "rb");
    if (stream != nullptr) {
        fd.release();  // the stream's now, closed with it
    }
    return stream;
}

bool may_replace(const directory* dir, const std::string& name)
{
    struct stat st;
    if (fstatat(dir->fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return false;
    }
    // In a sticky directory (such as /tmp) the system lets only the file's
    // owner, the directory's owner or the superuser replace a file: the
    // rename would fail, and after the CSV was put in place, not before.
    const uid_t user = geteuid();
    if (user == 0 || st.st_uid == user) {
        return true;
    }
    struct stat dir_st;
    return fstat(dir->fd, &dir_st) == 0 && ((dir_st.st_mode & S_ISVTX) == 0 || dir_st.st_uid == user);
}

FILE* create_new_file(const directory* dir, const std::string& name, const file_access& access, file_identity* id,
                      bool* name_taken)
{
    // O_EXCL: whatever holds the name, a link included, makes the creation
    // fail; nothing existing is ever followed, opened or truncated.
    descriptor fd(openat(dir->fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                         static_cast<mode_t>(access.permissions)));
    *name_taken = !fd && errno == EEXIST;
    if (!fd) {
        return nullptr;
    }
    // The new file has the directory's group where the directory is
    // set-group-ID, else the user's: either may hold users who may not read
    // the recording. It takes the recording's group where the user may give
    // it that (a member of the group, or the superuser); where not, only
    // the user may read it.
    struct stat st;
    const gid_t group = static_cast<gid_t>(access.group);
    if (fstat(fd.get(), &st) != 0 || (st.st_gid != group && fchown(fd.get(), static_cast<uid_t>(-1), group) != 0 &&
                                      fchmod(fd.get(), st.st_mode & 0600) != 0)) {
        unlinkat(dir->fd, name.c_str(), 0);
        return nullptr;
    }
    identity_from_stat(st, id);
    FILE* stream = fdopen(fd.get(), "wb");
    if (stream == nullptr) {
        unlinkat(dir->fd, name.c_str(), 0);
        return nullptr;
    }
    fd.release();  // the stream's now, closed with it
    return stream;
}

int rename_name(const directory* dir, const std::string& from, const std::string& to)
{
    return renameat(dir->fd, from.c_str(), dir->fd, to.c_str()) == 0 ? 0 : -1;
}

int remove_name(const directory* dir, const std::string& name)
{
    return unlinkat(dir->fd, name.c_str(), 0) == 0 ? 0 : -1;
}

void prepare_process()
{
    // Opened in order, each on the lowest free descriptor: the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            open("/dev/null", O_RDWR);
        }
    }
    // Every level of a deep tree holds its directory open while the levels
    // below it are walked.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) != 0;
}
