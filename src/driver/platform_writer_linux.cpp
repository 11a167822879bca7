// Linux implementation of what the CSV writer needs: a POSIX thread, a
// mutex with two condition variables, pwrite, and fallocate to reserve.
#include "platform_writer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

struct writer_lock {
    pthread_mutex_t mutex;
    pthread_cond_t conditions[2];
};

struct writer_thread {
    pthread_t thread;
    void (*run)(void* context);
    void* context;
};

writer_lock* create_writer_lock()
{
    writer_lock* lock = new (std::nothrow) writer_lock;
    if (lock == nullptr) {
        return nullptr;
    }
    pthread_mutex_init(&lock->mutex, nullptr);
    pthread_cond_init(&lock->conditions[WRITER_QUEUED], nullptr);
    pthread_cond_init(&lock->conditions[WRITER_WRITTEN], nullptr);
    return lock;
}

void destroy_writer_lock(writer_lock* lock)
{
    pthread_cond_destroy(&lock->conditions[WRITER_WRITTEN]);
    pthread_cond_destroy(&lock->conditions[WRITER_QUEUED]);
    pthread_mutex_destroy(&lock->mutex);
    delete lock;
}

void lock_writer(writer_lock* lock)
{
    pthread_mutex_lock(&lock->mutex);
}

void unlock_writer(writer_lock* lock)
{
    pthread_mutex_unlock(&lock->mutex);
}

void wait_writer(writer_lock* lock, writer_condition condition)
{
    pthread_cond_wait(&lock->conditions[condition], &lock->mutex);
}

void signal_writer(writer_lock* lock, writer_condition condition)
{
    pthread_cond_signal(&lock->conditions[condition]);
}

namespace {

void* run_thread(void* context)
{
    writer_thread* thread = static_cast<writer_thread*>(context);
    thread->run(thread->context);
    return nullptr;
}

}  // namespace

writer_thread* start_writer_thread(void (*run)(void* context), void* context)
{
    writer_thread* thread = new (std::nothrow) writer_thread{pthread_t(), run, context};
    if (thread == nullptr) {
        return nullptr;
    }
    // The new thread starts with the mask of the one that creates it; the
    // caller's own is put back once it is started.
    sigset_t interrupts;
    sigset_t previous;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigaddset(&interrupts, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    pthread_attr_t attributes;
    bool started = false;
    if (pthread_attr_init(&attributes) == 0) {
        // The thread only calls the kernel: a small stack does.
        pthread_attr_setstacksize(&attributes, 128 * 1024);
        started = pthread_create(&thread->thread, &attributes, run_thread, thread) == 0;
        pthread_attr_destroy(&attributes);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_writer_thread(writer_thread* thread)
{
    pthread_join(thread->thread, nullptr);
    delete thread;
}

bool write_file_at(FILE* stream, const char* text, size_t length, long long offset)
{
    const int fd = fileno(stream);
    while (length > 0) {
        const ssize_t n = pwrite(fd, text, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        text += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool reserve_file_blocks(FILE* stream, long long from, long long to)
{
    int result;
    do {
        result = fallocate(fileno(stream), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                           static_cast<off_t>(to - from));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool set_file_length(FILE* stream, long long length)
{
    // A cut that shortens a file drops every block past its new end, those
    // reserved beyond its size included; one to the size it has already
    // may keep them (some file systems skip it), so the file is made a byte
    // longer first. Should that fail (at the file-size limit, say), the cut
    // to the length still gives back what the file system lets it.
    const int fd = fileno(stream);
    int result;
    do {
        result = ftruncate(fd, static_cast<off_t>(length) + 1);
    } while (result != 0 && errno == EINTR);
    do {
        result = ftruncate(fd, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void prefer_large_pages(char* memory, size_t size)
{
    // Transparent huge pages, when the system leaves them to the program.
    madvise(memory, size, MADV_HUGEPAGE);
}
