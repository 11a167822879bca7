// The CSV writer. A thread of its own writes the filled buffers in the
// order they were given, each at the end of what came before, while the
// conversion fills the next one; a buffer is handed out again only once it
// has been written. The first buffer, and every one where the thread
// cannot be started, is written when it is given, to the same bytes. The file's blocks are
// reserved a little ahead of the writes; once the file system refuses, the
// blocks beyond the data are given back at once and the file reserves no
// more, so that whatever else still fits (its log above all) can be
// written. The system calls are the platform's (platform_writer.h).
#include "driver/csv_writer.h"

#include "driver/platform_writer.h"

namespace {

// How far the file's blocks are reserved, in steps: each reservation takes
// the blocks of the next buffer's worth of writes, so that a run killed
// midway leaves a temporary file hardly larger than its data.
constexpr long long RESERVE_STEP = static_cast<long long>(CSV_BUFFER_SIZE);

enum buffer_state { BUFFER_FREE, BUFFER_HELD, BUFFER_QUEUED };

// Reserves the file's blocks up to at least `end` where the file system
// can. When it refuses, what was reserved beyond the data goes back at
// once and the file reserves no more.
void reserve_to(csv_writer* w, long long end)
{
    // What has been written has its blocks already.
    if (w->reserved_end < w->offset) {
        w->reserved_end = w->offset;
    }
    while (w->reserving && w->reserved_end < end) {
        if (reserve_file_blocks(w->stream, w->reserved_end, w->reserved_end + RESERVE_STEP)) {
            w->reserved_end += RESERVE_STEP;
            continue;
        }
        // A file system out of room may keep part of what it was asked
        // for, past what the writer knows it holds.
        w->reserving = false;
        set_file_length(w->stream, w->offset);
        w->reserved_end = w->offset;
    }
}

// Writes `length` bytes of `text` at the writer's offset; a write that
// fails or comes back short marks the file failed, and nothing more is
// written to it. Only one thread at a time writes, and it alone moves the
// offset.
void write_buffer(csv_writer* w, const char* text, size_t length)
{
    if (w->failed || length == 0) {
        return;
    }
    // A CSV that fits in one buffer reaches the file in one write, which a
    // reservation would only slow down: blocks are reserved once it
    // outgrows it.
    const long long end = w->offset + static_cast<long long>(length);
    if (end > static_cast<long long>(CSV_BUFFER_SIZE)) {
        reserve_to(w, end);
    }
    if (!write_file_at(w->stream, text, length, w->offset)) {
        w->failed = true;
        return;
    }
    w->offset = end;
}

// The writer's thread: writes each buffer once it is queued, in turn,
// until it is told to stop and nothing is left queued.
void write_queued(void* context)
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
        write_buffer(w, w->buffers[index], w->length[index]);
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
void start_thread(csv_writer* w, int next)
{
    w->thread_tried = true;
    w->next_written = next;
    w->lock = create_writer_lock();
    if (w->lock != nullptr) {
        w->thread = start_writer_thread(write_queued, w);
        if (w->thread == nullptr) {
            destroy_writer_lock(w->lock);
            w->lock = nullptr;
        }
    }
}

char* take_buffer(void* context)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    const int index = w->next_taken;
    // A CSV that fits in its first buffer is written by the caller of give,
    // which costs less than a thread started and ended for one write; the
    // thread starts once a second buffer is taken.
    if (!w->thread_tried && w->took_first) {
        start_thread(w, index);
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

void give_buffer(void* context, char* buffer, size_t used)
{
    csv_writer* w = static_cast<csv_writer*>(context);
    int index = 0;
    while (w->buffers[index] != buffer) {
        ++index;
    }
    if (w->lock == nullptr) {
        write_buffer(w, buffer, used);
        w->state[index] = BUFFER_FREE;
        return;
    }
    lock_writer(w->lock);
    w->length[index] = used;
    w->state[index] = BUFFER_QUEUED;
    signal_writer(w->lock, WRITER_QUEUED);
    unlock_writer(w->lock);
}

}  // namespace

void open_csv_writer(csv_writer* w, FILE* csv, char* buffers)
{
    w->stream = csv;
    for (int i = 0; i < CSV_WRITER_BUFFERS; ++i) {
        w->buffers[i] = buffers + static_cast<size_t>(i) * CSV_BUFFER_SIZE;
        w->length[i] = 0;
        w->state[i] = BUFFER_FREE;
    }
    w->next_taken = 0;
    w->next_written = 0;
    w->offset = 0;
    w->reserved_end = 0;
    w->reserving = true;
    w->failed = false;
    w->stopping = false;
    w->took_first = false;
    w->thread_tried = false;
    w->lock = nullptr;
    w->thread = nullptr;
}

csv_sink csv_writer_sink(csv_writer* writer)
{
    return csv_sink{writer, take_buffer, give_buffer};
}

bool close_csv_writer(csv_writer* w)
{
    if (w->lock != nullptr) {
        lock_writer(w->lock);
        w->stopping = true;
        signal_writer(w->lock, WRITER_QUEUED);
        unlock_writer(w->lock);
        join_writer_thread(w->thread);
        destroy_writer_lock(w->lock);
    }
    // A file written whole gives back the blocks reserved past its end; a
    // failed one is removed by the caller, blocks and all.
    const bool cut = w->failed || w->reserved_end <= w->offset || set_file_length(w->stream, w->offset);
    const bool closed = std::fclose(w->stream) == 0;
    w->stream = nullptr;
    return !w->failed && cut && closed;
}
