// quendix_io_floor: the input and output that no single-threaded converter
// can avoid, with no conversion at all. It reads a recording in the chunks
// quendix reads, and writes as many CSV, log and console bytes as quendix
// wrote for it, in quendix's write sizes, from memory filled once at start.
// bench/run.sh times it beside quendix: what quendix takes beyond it is the
// cost of converting.
//
//   quendix_io_floor [--reserve] <recording> <csv> <csv_bytes> <log> <log_bytes> [<console_bytes>]
//   quendix_io_floor --sizes
//
// With --reserve, the cheapest way found for the same bytes to reach the
// files: the CSV's blocks are reserved 64 MiB ahead of its writes
// (fallocate with FALLOC_FL_KEEP_SIZE) and the file is cut to its length at
// the end, so the writes fill blocks already allocated.
//
// The console bytes go to standard output. The outputs are written as the
// recording is read, each one in step with the share of the input read so
// far, so reads and writes interleave as they do in quendix.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The sizes quendix reads and writes in: whole chunks of 496 frames of 132
// bytes, a 1 MiB CSV buffer, the log's 32 KiB report buffer, and the
// console's 64 KiB report buffer, which reaches standard output through its
// stream: the C library writes the whole 4 KiB blocks of it at once, 60 KiB,
// and keeps the rest for the next write. bench/run.sh compares the sizes
// with quendix's own system calls when strace is installed.
constexpr size_t READ_SIZE = 496 * 132;
constexpr size_t CSV_WRITE_SIZE = 1024 * 1024;
constexpr size_t LOG_WRITE_SIZE = 32 * 1024;
constexpr size_t CONSOLE_WRITE_SIZE = 60 * 1024;

unsigned char input_chunk[READ_SIZE];
// What every write sends: CSV-like text, made once.
char text[CSV_WRITE_SIZE];

// One output: its descriptor, the bytes it must get in all, the bytes due
// so far and the bytes written.
struct output {
    const char* name;
    int fd;
    size_t write_size;
    uint64_t total;
    uint64_t due;
    uint64_t written;
};

// Ends the run with status 1 and a message naming `name` and the error.
void fail(const char* what, const char* name)
{
    std::fprintf(stderr, "quendix_io_floor: %s %s: %s\n", what, name, std::strerror(errno));
    std::exit(1);
}

// Writes `length` bytes of `text` to `out`, however many calls it takes.
void write_text(output* out, size_t length)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = write(out->fd, text + done, length - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            fail("cannot write", out->name);
        }
        done += static_cast<size_t>(n);
    }
    out->written += length;
}

// Writes the whole writes that the bytes due so far fill.
void write_due(output* out)
{
    while (out->due - out->written >= out->write_size) {
        write_text(out, out->write_size);
    }
}

// Writes whatever is still owed.
void write_rest(output* out)
{
    out->due = out->total;
    write_due(out);
    if (out->written < out->total) {
        write_text(out, static_cast<size_t>(out->total - out->written));
    }
}

// The name an output is written under until it is whole, as quendix writes
// its outputs under temporary names and renames them into place.
std::string temporary_of(const char* name)
{
    return std::string(name) + ".floor-tmp";
}

// Creates an output the way quendix does: a new file under a temporary
// name, made exclusively, then looked at with fstat.
int open_output(const char* name)
{
    const std::string temporary = temporary_of(name);
    if (unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        fail("cannot remove", temporary.c_str());
    }
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail("cannot create", temporary.c_str());
    }
    return fd;
}

// Renames the whole output `name` into place.
void put_in_place(const char* name)
{
    if (rename(temporary_of(name).c_str(), name) != 0) {
        fail("cannot rename", name);
    }
}

// The byte count `arg`, or an exit with the usage text.
uint64_t byte_count(const char* arg)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(arg, &end, 10);
    if (errno != 0 || end == arg || *end != '\0' || arg[0] == '-') {
        std::fprintf(stderr, "quendix_io_floor: not a byte count: %s\n", arg);
        std::exit(2);
    }
    return value;
}

}  // namespace

// Reserves the blocks of `out` 64 MiB at a time ahead of the bytes it is
// due to have written; the file keeps its size.
constexpr off_t RESERVE_STEP = 64 * 1024 * 1024;
off_t reserved_end = 0;

void reserve_due(const output& out)
{
    while (reserved_end < static_cast<off_t>(out.due) + static_cast<off_t>(out.write_size)) {
        if (fallocate(out.fd, FALLOC_FL_KEEP_SIZE, reserved_end, RESERVE_STEP) != 0) {
            fail("cannot reserve blocks of", out.name);
        }
        reserved_end += RESERVE_STEP;
    }
}

int main(int argc, char** argv)
{
    bool reserve = false;
    if (argc > 1 && std::strcmp(argv[1], "--reserve") == 0) {
        reserve = true;
        --argc;
        ++argv;
    }
    if (argc == 2 && std::strcmp(argv[1], "--sizes") == 0) {
        std::printf("%zu %zu %zu %zu\n", READ_SIZE, CSV_WRITE_SIZE, LOG_WRITE_SIZE, CONSOLE_WRITE_SIZE);
        return 0;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr,
                     "usage: quendix_io_floor [--reserve] <recording> <csv> <csv_bytes> <log> <log_bytes> "
                     "[<console_bytes>]\n"
                     "       quendix_io_floor --sizes\n");
        return 2;
    }
    output csv = {argv[2], -1, CSV_WRITE_SIZE, byte_count(argv[3]), 0, 0};
    output log = {argv[4], -1, LOG_WRITE_SIZE, byte_count(argv[5]), 0, 0};
    output console = {"standard output", STDOUT_FILENO, CONSOLE_WRITE_SIZE, argc == 7 ? byte_count(argv[6]) : 0, 0, 0};

    static const char row[] = "1234,-2814,-81,8208,-2935,-71,742,105,46\r\n";
    std::memcpy(text, row, sizeof row - 1);
    for (size_t filled = sizeof row - 1; filled < sizeof text; filled *= 2) {
        std::memcpy(text + filled, text, std::min(filled, sizeof text - filled));
    }

    const char* recording = argv[1];
    const int input = open(recording, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (input < 0 || fstat(input, &st) != 0) {
        fail("cannot open", recording);
    }
    const double size = st.st_size > 0 ? static_cast<double>(st.st_size) : 1.0;
    csv.fd = open_output(csv.name);
    log.fd = open_output(log.name);

    output* outputs[] = {&csv, &log, &console};
    uint64_t read_so_far = 0;
    for (;;) {
        const ssize_t got = read(input, input_chunk, sizeof input_chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail("cannot read", recording);
        }
        if (got == 0) {
            break;
        }
        read_so_far += static_cast<uint64_t>(got);
        const double share = read_so_far < static_cast<uint64_t>(st.st_size) ? read_so_far / size : 1.0;
        for (output* out : outputs) {
            out->due = static_cast<uint64_t>(static_cast<double>(out->total) * share);
            if (reserve && out == &csv) {
                reserve_due(csv);
            }
            write_due(out);
        }
    }
    // The end in quendix's order: the log's rest, the CSV's rest, the
    // closes, and standard output's rest when the program ends.
    write_rest(&log);
    write_rest(&csv);
    if (reserve && ftruncate(csv.fd, static_cast<off_t>(csv.total)) != 0) {
        fail("cannot cut", csv.name);
    }
    if (close(log.fd) != 0) {
        fail("cannot close", log.name);
    }
    if (close(csv.fd) != 0) {
        fail("cannot close", csv.name);
    }
    put_in_place(csv.name);
    put_in_place(log.name);
    close(input);
    write_rest(&console);
    return 0;
}
