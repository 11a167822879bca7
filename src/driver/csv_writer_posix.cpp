// The CSV writer on Linux. The conversion fills one buffer while the kernel
// copies the ones before into the file: each filled buffer becomes an
// asynchronous io_uring write at its explicit offset, made through the
// system calls themselves, and a buffer is handed out again only after its
// write has completed. The process stays single-threaded; the kernel does
// the copying in workers of its own. Where io_uring cannot be set up (an old
// kernel, or a container or policy that refuses it), each buffer is written
// synchronously instead, to the same bytes. Either way the file's blocks
// are reserved ahead of the writes where the file system supports it, and
// the file is cut to its length when it is closed.
#include "driver/csv_writer.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Buffers in flight at most, and how far ahead the file's blocks are
// reserved.
constexpr int BUFFERS = 3;
constexpr off_t RESERVE_STEP = 64 * 1024 * 1024;

alignas(4096) char buffers[BUFFERS][CSV_BUFFER_SIZE];

// The mapped rings of an io_uring instance.
struct ring {
    int fd;
    unsigned* sq_tail;
    unsigned sq_mask;
    unsigned* sq_array;
    io_uring_sqe* sqes;
    unsigned* cq_head;
    unsigned* cq_tail;
    unsigned cq_mask;
    io_uring_cqe* cqes;
};

// Whether io_uring has been tried, and the ring when it could be set up;
// set up once for the whole run.
bool ring_tried = false;
bool ring_ready = false;
ring uring;

int io_uring_setup(unsigned entries, io_uring_params* params)
{
    return static_cast<int>(syscall(__NR_io_uring_setup, entries, params));
}

int io_uring_enter(int fd, unsigned to_submit, unsigned min_complete, unsigned flags)
{
    return static_cast<int>(syscall(__NR_io_uring_enter, fd, to_submit, min_complete, flags, nullptr, 0));
}

// Sets up a small ring that can make write requests; false, with nothing
// left open or mapped, when the kernel refuses any part of it.
bool set_up_ring(ring* r)
{
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    const int fd = io_uring_setup(2 * BUFFERS, &params);
    if (fd < 0) {
        return false;
    }
    // Write requests (IORING_OP_WRITE) are younger than io_uring itself.
    // The probe is a header followed by one entry for each operation.
    constexpr unsigned ops = IORING_OP_WRITE + 1;
    alignas(8) unsigned char probe[sizeof(io_uring_probe) + ops * sizeof(io_uring_probe_op)] = {};
    io_uring_probe header;
    io_uring_probe_op write_op;
    const bool probed = syscall(__NR_io_uring_register, fd, IORING_REGISTER_PROBE, probe, ops) == 0;
    std::memcpy(&header, probe, sizeof header);
    std::memcpy(&write_op, probe + sizeof header + IORING_OP_WRITE * sizeof write_op, sizeof write_op);
    if (!probed || header.last_op < IORING_OP_WRITE || (write_op.flags & IO_URING_OP_SUPPORTED) == 0 ||
        (params.features & IORING_FEAT_SINGLE_MMAP) == 0) {
        close(fd);
        return false;
    }
    size_t ring_size = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    const size_t cq_size = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    if (cq_size > ring_size) {
        ring_size = cq_size;
    }
    const size_t sqes_size = params.sq_entries * sizeof(io_uring_sqe);
    void* rings = mmap(nullptr, ring_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
    if (rings == MAP_FAILED) {
        close(fd);
        return false;
    }
    void* sqes = mmap(nullptr, sqes_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
    if (sqes == MAP_FAILED) {
        munmap(rings, ring_size);
        close(fd);
        return false;
    }
    // One kernel worker for the writes: several would take turns at the
    // file's lock and spin while they wait, on processor time the
    // formatting needs. A kernel too old to bound them runs as many as it
    // likes.
    unsigned workers[2] = {1, 0};
    syscall(__NR_io_uring_register, fd, IORING_REGISTER_IOWQ_MAX_WORKERS, workers, 2);
    char* base = static_cast<char*>(rings);
    r->fd = fd;
    r->sq_tail = reinterpret_cast<unsigned*>(base + params.sq_off.tail);
    r->sq_mask = *reinterpret_cast<unsigned*>(base + params.sq_off.ring_mask);
    r->sq_array = reinterpret_cast<unsigned*>(base + params.sq_off.array);
    r->sqes = static_cast<io_uring_sqe*>(sqes);
    r->cq_head = reinterpret_cast<unsigned*>(base + params.cq_off.head);
    r->cq_tail = reinterpret_cast<unsigned*>(base + params.cq_off.tail);
    r->cq_mask = *reinterpret_cast<unsigned*>(base + params.cq_off.ring_mask);
    r->cqes = reinterpret_cast<io_uring_cqe*>(base + params.cq_off.cqes);
    return true;
}

}  // namespace

struct csv_writer {
    FILE* stream;
    int fd;
    bool asynchronous;       // through the ring, else synchronously
    off_t offset;            // where the next buffer goes
    off_t reserved_end;      // the end of the blocks reserved so far
    bool reserving;          // false once the file system has refused a reservation
    bool failed;             // a write failed or came back short
    bool free[BUFFERS];      // buffers that may be handed out
    size_t length[BUFFERS];  // the bytes of each buffer in flight
    int in_flight;
};

namespace {

csv_writer the_writer;

int buffer_index(const char* buffer)
{
    return static_cast<int>((buffer - buffers[0]) / static_cast<ptrdiff_t>(CSV_BUFFER_SIZE));
}

// Reserves the file's blocks up to at least `end`, where the file system
// can; the file keeps its size.
void reserve_to(csv_writer* w, off_t end)
{
    while (w->reserving && w->reserved_end < end) {
        if (fallocate(w->fd, FALLOC_FL_KEEP_SIZE, w->reserved_end, RESERVE_STEP) != 0) {
            if (errno != EINTR) {
                w->reserving = false;
            }
            continue;
        }
        w->reserved_end += RESERVE_STEP;
    }
}

// Takes in the completion of one write, waiting for it when none is there.
void complete_one(csv_writer* w)
{
    for (;;) {
        const unsigned head = *uring.cq_head;
        if (head != __atomic_load_n(uring.cq_tail, __ATOMIC_ACQUIRE)) {
            const io_uring_cqe& cqe = uring.cqes[head & uring.cq_mask];
            const int index = static_cast<int>(cqe.user_data);
            if (cqe.res < 0 || static_cast<size_t>(cqe.res) != w->length[index]) {
                w->failed = true;
            }
            w->free[index] = true;
            --w->in_flight;
            __atomic_store_n(uring.cq_head, head + 1, __ATOMIC_RELEASE);
            return;
        }
        if (io_uring_enter(uring.fd, 0, 1, IORING_ENTER_GETEVENTS) < 0 && errno != EINTR && errno != EAGAIN) {
            // The ring has failed: nothing more will complete through it, so
            // what is in flight counts as not written.
            w->failed = true;
            for (int i = 0; i < BUFFERS; ++i) {
                w->free[i] = true;
            }
            w->in_flight = 0;
            return;
        }
    }
}

// Hands the write of `length` bytes of buffer `index` at the writer's
// offset to the kernel; false when it would not take it.
bool submit(csv_writer* w, int index, size_t length)
{
    const unsigned tail = *uring.sq_tail;
    const unsigned slot = tail & uring.sq_mask;
    io_uring_sqe& sqe = uring.sqes[slot];
    std::memset(&sqe, 0, sizeof sqe);
    sqe.opcode = IORING_OP_WRITE;
    sqe.flags = IOSQE_ASYNC;
    sqe.fd = w->fd;
    sqe.addr = reinterpret_cast<uintptr_t>(buffers[index]);
    sqe.len = static_cast<unsigned>(length);
    sqe.off = static_cast<uint64_t>(w->offset);
    sqe.user_data = static_cast<uint64_t>(index);
    uring.sq_array[slot] = slot;
    __atomic_store_n(uring.sq_tail, tail + 1, __ATOMIC_RELEASE);
    for (;;) {
        const int submitted = io_uring_enter(uring.fd, 1, 0, 0);
        if (submitted == 1) {
            return true;
        }
        if (submitted < 0 && errno == EINTR) {
            continue;
        }
        // Short of resources for now: once a write in flight completes,
        // the request is tried again.
        if (submitted < 0 && (errno == EAGAIN || errno == EBUSY) && w->in_flight > 0) {
            complete_one(w);
            continue;
        }
        // Not taken: the request is withdrawn from the ring.
        __atomic_store_n(uring.sq_tail, tail, __ATOMIC_RELEASE);
        return false;
    }
}

// Writes `length` bytes of `buffer` at the writer's offset and waits; a
// short write is a failed one.
void write_now(csv_writer* w, const char* buffer, size_t length)
{
    for (;;) {
        const ssize_t n = pwrite(w->fd, buffer, length, w->offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || static_cast<size_t>(n) != length) {
            w->failed = true;
        }
        return;
    }
}

char* take_buffer(void* context)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    for (;;) {
        for (int i = 0; i < BUFFERS; ++i) {
            if (w->free[i]) {
                w->free[i] = false;
                return buffers[i];
            }
        }
        complete_one(w);
    }
}

void give_buffer(void* context, char* buffer, size_t used)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    const int index = buffer_index(buffer);
    // After a failure nothing more is written: the file is not written
    // whole either way.
    if (used == 0 || w->failed) {
        w->free[index] = true;
        return;
    }
    // A CSV that fits in one buffer reaches the file in one write, which a
    // reservation would only slow down (on a file system in memory it would
    // even fill 64 MiB with zeros): blocks are reserved once it outgrows it.
    if (w->offset + static_cast<off_t>(used) > static_cast<off_t>(CSV_BUFFER_SIZE)) {
        reserve_to(w, w->offset + static_cast<off_t>(used));
    }
    if (w->asynchronous) {
        w->length[index] = used;
        if (submit(w, index, used)) {
            ++w->in_flight;
        } else {
            w->failed = true;
            w->free[index] = true;
        }
    } else {
        write_now(w, buffer, used);
        w->free[index] = true;
    }
    w->offset += static_cast<off_t>(used);
}

}  // namespace

csv_writer* open_csv_writer(FILE* csv)
{
    if (!ring_tried) {
        ring_tried = true;
        ring_ready = set_up_ring(&uring);
    }
    csv_writer* w = &the_writer;
    w->stream = csv;
    w->fd = fileno(csv);
    w->asynchronous = ring_ready;
    // The rows follow the header, which the stream wrote straight to the file.
    w->offset = lseek(w->fd, 0, SEEK_CUR);
    w->failed = w->offset < 0;
    if (w->offset < 0) {
        w->offset = 0;
    }
    w->reserved_end = w->offset;
    w->reserving = true;
    // Without a ring one buffer serves, written before it is handed out again.
    for (int i = 0; i < BUFFERS; ++i) {
        w->free[i] = i == 0 || w->asynchronous;
        w->length[i] = 0;
    }
    w->in_flight = 0;
    return w;
}

csv_sink csv_writer_sink(csv_writer* writer)
{
    return csv_sink{writer, take_buffer, give_buffer};
}

bool close_csv_writer(csv_writer* w)
{
    while (w->in_flight > 0) {
        complete_one(w);
    }
    // Blocks reserved past the end are given back by cutting the file to
    // its length: all it was given, or after a failed write whatever it
    // holds, never lengthened with zeros.
    bool cut = true;
    if (w->reserved_end > w->offset || w->failed) {
        struct stat st;
        off_t length = w->offset;
        if (w->failed && fstat(w->fd, &st) == 0 && st.st_size < length) {
            length = st.st_size;
        }
        int result;
        do {
            result = ftruncate(w->fd, length);
        } while (result != 0 && errno == EINTR);
        cut = result == 0;
    }
    const bool header_written = std::ferror(w->stream) == 0;
    const bool closed = std::fclose(w->stream) == 0;
    w->stream = nullptr;
    return !w->failed && cut && header_written && closed;
}
