// Windows implementation of what the CSV writer needs: a thread of the
// system's own (CreateThread, which needs nothing of the C++ library's
// thread support), a slim reader/writer lock with two condition variables,
// and WriteFile at an explicit offset. The file's blocks are not reserved.
#include "platform_writer.h"

#include "owned.h"

#include <io.h>
#include <new>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

struct writer_lock {
    SRWLOCK lock;
    CONDITION_VARIABLE conditions[2];
};

namespace {

// A thread's handle as an owned resource: CreateThread gives null for none.
struct thread_handle_kind {
    using type = HANDLE;
    static HANDLE none() { return nullptr; }
    static void close(HANDLE thread) { CloseHandle(thread); }
};

}  // namespace

struct writer_thread {
    owned<thread_handle_kind> handle;
    void (*run)(void* context);
    void* context;
};

writer_lock* create_writer_lock()
{
    writer_lock* lock = new (std::nothrow) writer_lock;
    if (lock == nullptr) {
        return nullptr;
    }
    InitializeSRWLock(&lock->lock);
    InitializeConditionVariable(&lock->conditions[WRITER_QUEUED]);
    InitializeConditionVariable(&lock->conditions[WRITER_WRITTEN]);
    return lock;
}

void destroy_writer_lock(writer_lock* lock)
{
    delete lock;
}

void lock_writer(writer_lock* lock)
{
    AcquireSRWLockExclusive(&lock->lock);
}

void unlock_writer(writer_lock* lock)
{
    ReleaseSRWLockExclusive(&lock->lock);
}

void wait_writer(writer_lock* lock, writer_condition condition)
{
    SleepConditionVariableSRW(&lock->conditions[condition], &lock->lock, INFINITE, 0);
}

void signal_writer(writer_lock* lock, writer_condition condition)
{
    WakeConditionVariable(&lock->conditions[condition]);
}

namespace {

DWORD WINAPI run_thread(void* context)
{
    writer_thread* thread = static_cast<writer_thread*>(context);
    thread->run(thread->context);
    return 0;
}

}  // namespace

// Console control events reach the program on a thread the system starts
// for them, so this one needs no mask.
writer_thread* start_writer_thread(void (*run)(void* context), void* context)
{
    writer_thread* thread = new (std::nothrow) writer_thread{owned<thread_handle_kind>(), run, context};
    if (thread == nullptr) {
        return nullptr;
    }
    // The thread only calls the system: a small stack does.
    thread->handle.reset(
        CreateThread(nullptr, 128 * 1024, run_thread, thread, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread->handle) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_writer_thread(writer_thread* thread)
{
    WaitForSingleObject(thread->handle.get(), INFINITE);
    delete thread;
}

bool write_file_at(FILE* stream, const char* text, size_t length, long long offset)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    while (length > 0) {
        // WriteFile takes a 32-bit count; the writer's buffers are far smaller.
        const DWORD part = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(static_cast<unsigned long long>(offset) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
        DWORD written = 0;
        if (!WriteFile(file, text, part, &written, &at) || written == 0) {
            return false;
        }
        text += written;
        length -= written;
        offset += written;
    }
    return true;
}

bool reserve_file_blocks(FILE*, long long, long long)
{
    return false;
}

bool set_file_length(FILE* stream, long long length)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = length;
    return file != INVALID_HANDLE_VALUE && SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end) != 0;
}

void prefer_large_pages(char*, size_t)
{
    // Large pages need a privilege that users do not have by default, and
    // memory taken with them whole: the buffers keep the ordinary pages.
}
