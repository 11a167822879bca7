#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string scratch;
int saved_stdout = -1;

void remove_scratch()
{
    // The targets leave plain files only, never subdirectories.
    if (DIR* dir = opendir(scratch.c_str())) {
        while (const struct dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                unlink((scratch + "/" + name).c_str());
            }
        }
        closedir(dir);
    }
    rmdir(scratch.c_str());
}

}  // namespace

const std::string& scratch_dir()
{
    if (scratch.empty()) {
        // TMPDIR when it is set; otherwise memory-backed /dev/shm, which
        // makes the few files of each input several times faster than a disk.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "";
        if (base.empty()) {
            base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
        }
        std::string pattern = base + "/quendix-fuzz-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            check_failed("scratch directory", pattern);
        }
        scratch = pattern;
        std::atexit(remove_scratch);
    }
    return scratch;
}

int begin_capture(const std::string& path)
{
    std::fflush(stdout);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return -1;
    }
    saved_stdout = dup(STDOUT_FILENO);
    const bool redirected = saved_stdout >= 0 && dup2(fd, STDOUT_FILENO) >= 0;
    close(fd);
    return redirected ? 0 : -1;
}

void end_capture()
{
    std::fflush(stdout);
    if (saved_stdout >= 0) {
        dup2(saved_stdout, STDOUT_FILENO);
        close(saved_stdout);
        saved_stdout = -1;
    }
}

std::string read_whole_file(const std::string& path)
{
    std::string bytes;
    FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return bytes;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
        bytes.append(buffer, n);
    }
    std::fclose(in);
    return bytes;
}

int write_whole_file(const std::string& path, const void* data, size_t size)
{
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return -1;
    }
    const bool written = std::fwrite(data, 1, size, out) == size;
    return (std::fclose(out) == 0 && written) ? 0 : -1;
}

void check_failed(const char* check, const std::string& detail)
{
    end_capture();
    std::fprintf(stderr, "check failed: %s\n%s\n", check, detail.c_str());
    std::abort();
}
