// The writing of a CSV file: the sink the conversion fills, and how its
// buffers reach the file. The header reaches the file through the sink
// like the rows. Once a CSV outgrows its first buffer, one writer thread
// writes buffer k, with plain writes in the order the buffers were given,
// while the conversion fills buffer k+1, a few buffers in flight; where
// the thread cannot be started (the user at its process limit) the same
// buffers are written synchronously.
#ifndef QUENDIX_DRIVER_CSV_WRITER_H
#define QUENDIX_DRIVER_CSV_WRITER_H

#include "csv_sink.h"
#include "owned.h"
#include "platform_writer.h"

#include <cstddef>
#include <cstdio>

// The buffers a writer hands out, each CSV_BUFFER_SIZE bytes.
constexpr int CSV_WRITER_BUFFERS = 3;

// The buffers the CSV writers of a run write from, one writer at a time.
// They start at the first large page boundary in the pool's memory and
// fill whole large pages, so that the system may back them with a few
// large pages in place of hundreds of small ones; the memory around them
// is never touched. The pool is large: it belongs in memory taken from the
// heap, never on a stack.
class csv_buffer_pool {
public:
    csv_buffer_pool();
    csv_buffer_pool(const csv_buffer_pool&) = delete;
    csv_buffer_pool& operator=(const csv_buffer_pool&) = delete;

    // The first of the CSV_WRITER_BUFFERS buffers, which follow each other.
    char* buffers() const { return start; }

private:
    static constexpr size_t BUFFERS_SIZE = CSV_WRITER_BUFFERS * CSV_BUFFER_SIZE;
    static constexpr size_t PAGES_SIZE = (BUFFERS_SIZE + LARGE_PAGE_SIZE - 1) / LARGE_PAGE_SIZE * LARGE_PAGE_SIZE;

    char* start;
    char memory[PAGES_SIZE + LARGE_PAGE_SIZE];
};

// The writer of one CSV file, from its first buffer to its close.
class csv_writer {
public:
    // Starts writing to `stream`, a new and empty file opened for binary
    // writing, which is the writer's from now on, from the buffers of
    // `pool`, which no one else uses until the writer is finished.
    csv_writer(owned_stream stream, const csv_buffer_pool& pool);
    csv_writer(const csv_writer&) = delete;
    csv_writer& operator=(const csv_writer&) = delete;
    // Waits for the writes in flight, ends the thread and closes the file,
    // unless finish has.
    ~csv_writer();

    // The sink that hands the conversion the writer's buffers; it is the
    // writer's, and is used no more once the writer is finished.
    csv_sink sink();

    // Waits for every write in flight and ends the writer's thread, gives
    // back the blocks reserved beyond what was written and closes the
    // file. True when every buffer given to the sink was written whole and
    // the file was closed; a write that failed or came back short makes it
    // false.
    bool finish();

private:
    static char* take_buffer(void* context);
    static void give_buffer(void* context, char* buffer, size_t used);
    static void write_queued(void* context);

    void start_thread(int next);
    void stop_thread();
    void reserve_to(long long end);
    void write_buffer(const char* text, size_t length);

    owned_stream stream;
    char* buffers[CSV_WRITER_BUFFERS];
    size_t length[CSV_WRITER_BUFFERS];  // the bytes of each queued buffer
    int state[CSV_WRITER_BUFFERS];      // free, held by the conversion, or queued
    int next_taken = 0;                 // the buffer handed out next, in turn
    int next_written = 0;               // the buffer written next, in turn
    long long offset = 0;               // where the next write goes
    long long reserved_end = 0;         // the end of the blocks reserved so far
    bool reserving = true;              // false once the file system has refused a reservation
    bool failed = false;                // a write failed or came back short
    bool stopping = false;              // the thread ends once nothing is queued
    bool took_first = false;            // the first buffer has been handed out
    bool thread_tried = false;          // whether the thread was started, or failed to start
    writer_lock* lock = nullptr;        // with the thread; null when the caller of give writes
    writer_thread* thread = nullptr;
};

#endif
