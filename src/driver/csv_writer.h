// The writing of a CSV file: the sink the conversion fills, and how its
// buffers reach the file. The caller owns the writer's buffers, opens the
// writer and closes it; the header reaches the file through the sink like
// the rows. Once a CSV outgrows its first buffer, one writer thread
// writes buffer k, with plain writes in the order the buffers were given,
// while the conversion fills buffer k+1, a few buffers in flight; where
// the thread cannot be started (the user at its process limit) the same
// buffers are written synchronously.
#ifndef QUENDIX_DRIVER_CSV_WRITER_H
#define QUENDIX_DRIVER_CSV_WRITER_H

#include "convert/frame_file.h"

#include <cstdio>

// The buffers a writer hands out, each CSV_BUFFER_SIZE bytes.
constexpr int CSV_WRITER_BUFFERS = 3;

struct writer_lock;
struct writer_thread;

// The writer of one open CSV file, the caller's; its fields are the
// writer's own.
struct csv_writer {
    FILE* stream;
    char* buffers[CSV_WRITER_BUFFERS];
    size_t length[CSV_WRITER_BUFFERS];  // the bytes of each queued buffer
    int state[CSV_WRITER_BUFFERS];      // free, held by the conversion, or queued
    int next_taken;                     // the buffer handed out next, in turn
    int next_written;                   // the buffer written next, in turn
    long long offset;                   // where the next write goes
    long long reserved_end;             // the end of the blocks reserved so far
    bool reserving;                     // false once the file system has refused a reservation
    bool failed;                        // a write failed or came back short
    bool stopping;                      // the thread ends once nothing is queued
    bool took_first;                    // the first buffer has been handed out
    bool thread_tried;                  // whether the thread was started, or failed to start
    writer_lock* lock;                  // with the thread; null when the caller of give writes
    writer_thread* thread;
};

// Starts `writer` writing to `csv`, a new and empty file opened for binary
// writing, from `buffers`, CSV_WRITER_BUFFERS * CSV_BUFFER_SIZE bytes that
// stay the caller's and that it leaves alone until close_csv_writer
// returns. The writer owns the stream from now on.
void open_csv_writer(csv_writer* writer, FILE* csv, char* buffers);

// The sink that hands the conversion the writer's buffers.
csv_sink csv_writer_sink(csv_writer* writer);

// Waits for every write in flight and ends the writer's thread, gives back
// the blocks reserved beyond what was written and closes the file. True when every buffer given to the sink was written
// whole and the file was closed; a write that failed or came back short makes it false.
bool close_csv_writer(csv_writer* writer);

#endif
