// What the CSV writer needs of the system, behind a small interface of its
// own beside platform.h: a thread, a lock with two conditions to wait on,
// writes at an offset into a file, with its blocks reserved ahead where
// the file system can, and large pages for its buffers. Each platform has
// its implementation file, chosen by the build.
#ifndef QUENDIX_DRIVER_PLATFORM_WRITER_H
#define QUENDIX_DRIVER_PLATFORM_WRITER_H

#include <cstddef>
#include <cstdio>

// A lock and two conditions that threads holding it may wait on.
struct writer_lock;

// The two conditions of a writer_lock.
enum writer_condition { WRITER_QUEUED, WRITER_WRITTEN };

// A new lock, or null when its memory cannot be had.
writer_lock* create_writer_lock();
void destroy_writer_lock(writer_lock* lock);
void lock_writer(writer_lock* lock);
void unlock_writer(writer_lock* lock);

// Releases the held `lock`, waits until `condition` is signalled (or for no
// reason: the caller looks again at what it waits for) and takes the lock
// again.
void wait_writer(writer_lock* lock, writer_condition condition);

// Wakes one thread waiting on `condition` of `lock`.
void signal_writer(writer_lock* lock, writer_condition condition);

// A thread of the program.
struct writer_thread;

// Starts `run(context)` on a thread of its own, which gets none of the
// interrupts (POSIX: SIGINT, SIGTERM and SIGHUP stay blocked in it, so that
// their handlers run in the main thread). Null when no thread can be
// started: the user at its process limit, or no memory.
writer_thread* start_writer_thread(void (*run)(void* context), void* context);

// Waits until the thread's `run` has returned, and frees the thread.
void join_writer_thread(writer_thread* thread);

// Writes the `length` bytes of `text` at `offset` in the file of `stream`,
// however many calls it takes, without the stream's buffer. False when a
// write fails or writes nothing.
bool write_file_at(FILE* stream, const char* text, size_t length, long long offset);

// Reserves the blocks from `from` to `to` for the file of `stream`, which
// keeps its size, so that the writes there find them allocated. False when
// the file system cannot, or has no room (it may then keep part of what it
// reserved, which set_file_length gives back).
bool reserve_file_blocks(FILE* stream, long long from, long long to);

// Makes `length` the length of the file of `stream`, which is at most its
// size, and gives back every block reserved beyond it. False when it
// cannot.
bool set_file_length(FILE* stream, long long length);

// The size of a large page, where the system has them: 2 MiB.
constexpr size_t LARGE_PAGE_SIZE = 2 * 1024 * 1024;

// Asks the system to back `memory`, `size` bytes from a LARGE_PAGE_SIZE
// boundary, with large pages where it can, as it does where the memory is
// first touched. Without them each 4 KiB page faults in on its own, which
// on some virtual machines costs more than filling it. Memory the system
// cannot back so stays as it was.
void prefer_large_pages(char* memory, size_t size);

#endif
