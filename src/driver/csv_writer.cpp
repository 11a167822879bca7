// The CSV writer. A thread of its own writes the filled buffers in the
// order they were given, each at the end of what came before, while the
// conversion fills the next one; a buffer is handed out again only once it
// has been written. The first buffer, and every one where the thread
// cannot be started, is written when it is given, to the same bytes. The file's blocks are
// reserved a little ahead of the writes; once the file system refuses, the
// blocks beyond the data are given back at once and the file reserves no
// more, so that whatever else still fits (its log above all) can be
// written. The system calls are the platform's (platform_writer.h).
#include "csv_writer.h"

#include <cstdint>
#include <utility>

namespace {

// How far the file's blocks are reserved, in steps: each reservation takes
// the blocks of the next buffer's worth of writes, so that a run killed
// midway leaves a temporary file hardly larger than its data.
constexpr long long RESERVE_STEP = static_cast<long long>(CSV_BUFFER_SIZE);

enum buffer_state { BUFFER_FREE, BUFFER_HELD, BUFFER_QUEUED };

}  // namespace

csv_buffer_pool::csv_buffer_pool()
{
    const uintptr_t at = reinterpret_cast<uintptr_t>(memory);
    start = memory + (LARGE_PAGE_SIZE - at % LARGE_PAGE_SIZE) % LARGE_PAGE_SIZE;
    prefer_large_pages(start, PAGES_SIZE);
}

// Reserves the file's blocks up to at least `end` where the file system
// can. When it refuses, what was reserved beyond the data goes back at
// once and the file reserves no more.
void csv_writer::reserve_to(long long end)
{
    // What has been written has its blocks already.
    if (reserved_end < offset) {
        reserved_end = offset;
    }
    while (reserving && reserved_end < end) {
        if (reserve_file_blocks(stream.get(), reserved_end, reserved_end + RESERVE_STEP)) {
            reserved_end += RESERVE_STEP;
            continue;
        }
        // A file system out of room may keep part of what it was asked
        // for, past what the writer knows it holds.
        reserving = false;
        set_file_length(stream.get(), offset);
        reserved_end = offset;
    }
}

// Writes `length` bytes of `text` at the writer's offset; a write that
// fails or comes back short marks the file failed, and nothing more is
// written to it. Only one thread at a time writes, and it alone moves the
// offset.
void csv_writer::write_buffer(const char* text, size_t size)
{
    if (failed || size == 0) {
        return;
    }
    // A CSV that fits in one buffer reaches the file in one write, which a
    // reservation would only slow down: blocks are reserved once it
    // outgrows it.
    const long long end = offset + static_cast<long long>(size);
    if (end > static_cast<long long>(CSV_BUFFER_SIZE)) {
        reserve_to(end);
    }
    if (!write_file_at(stream.get(), text, size, offset)) {
        failed = true;
        return;
    }
    offset = end;
}

// The writer's thread: writes each buffer once it is queued, in turn,
// until it is told to stop and nothing is left queued.
void csv_writer::write_queued(void* context)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    lock_writer(w->lock);
    for (;;) {
        const int index = w->next_written;
        if (w->state[index] != BUFFER_QUEUED) {
            if (w->stopping) {
                break;
            }
            wait_writer(w->lock, WRITER_QUEUED);
            continue;
        }
        unlock_writer(w->lock);
        w->write_buffer(w->buffers[index], w->length[index]);
        lock_writer(w->lock);
        w->state[index] = BUFFER_FREE;
        w->next_written = (index + 1) % CSV_WRITER_BUFFERS;
        signal_writer(w->lock, WRITER_WRITTEN);
    }
    unlock_writer(w->lock);
}

// Starts the writer's thread, which writes the buffers from `next` on; the
// ones before were written already. Where it cannot be started the caller
// of give goes on writing them.
void csv_writer::start_thread(int next)
{
    thread_tried = true;
    next_written = next;
    lock = create_writer_lock();
    if (lock != nullptr) {
        thread = start_writer_thread(write_queued, this);
        if (thread == nullptr) {
            destroy_writer_lock(lock);
            lock = nullptr;
        }
    }
}

// Ends the thread once it has written every queued buffer; the caller of
// give writes from then on.
void csv_writer::stop_thread()
{
    if (lock == nullptr) {
        return;
    }
    lock_writer(lock);
    stopping = true;
    signal_writer(lock, WRITER_QUEUED);
    unlock_writer(lock);
    join_writer_thread(thread);
    destroy_writer_lock(lock);
    lock = nullptr;
    thread = nullptr;
}

char* csv_writer::take_buffer(void* context)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    const int index = w->next_taken;
    // A CSV that fits in its first buffer is written by the caller of give,
    // which costs less than a thread started and ended for one write; the
    // thread starts once a second buffer is taken.
    if (!w->thread_tried && w->took_first) {
        w->start_thread(index);
    }
    w->took_first = true;
    if (w->lock != nullptr) {
        lock_writer(w->lock);
        while (w->state[index] != BUFFER_FREE) {
            wait_writer(w->lock, WRITER_WRITTEN);
        }
        w->state[index] = BUFFER_HELD;
        unlock_writer(w->lock);
    } else {
        w->state[index] = BUFFER_HELD;
    }
    w->next_taken = (index + 1) % CSV_WRITER_BUFFERS;
    return w->buffers[index];
}

void csv_writer::give_buffer(void* context, char* buffer, size_t used)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    int index = 0;
    while (w->buffers[index] != buffer) {
        ++index;
    }
    if (w->lock == nullptr) {
        w->write_buffer(buffer, used);
        w->state[index] = BUFFER_FREE;
        return;
    }
    lock_writer(w->lock);
    w->length[index] = used;
    w->state[index] = BUFFER_QUEUED;
    signal_writer(w->lock, WRITER_QUEUED);
    unlock_writer(w->lock);
}

csv_writer::csv_writer(owned_stream file, const csv_buffer_pool& pool) : stream(std::move(file))
{
    for (int i = 0; i < CSV_WRITER_BUFFERS; ++i) {
        buffers[i] = pool.buffers() + static_cast<size_t>(i) * CSV_BUFFER_SIZE;
        length[i] = 0;
        state[i] = BUFFER_FREE;
    }
}

csv_writer::~csv_writer()
{
    stop_thread();
}

csv_sink csv_writer::sink()
{
    return csv_sink{this, take_buffer, give_buffer};
}

bool csv_writer::finish()
{
    stop_thread();
    // A file written whole gives back the blocks reserved past its end; a
    // failed one is removed by the caller, blocks and all.
    const bool cut = failed || reserved_end <= offset || set_file_length(stream.get(), offset);
    const bool closed = std::fclose(stream.release()) == 0;
    return !failed && cut && closed;
}
