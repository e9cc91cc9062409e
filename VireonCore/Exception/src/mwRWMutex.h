#pragma once

#include <mutex>

namespace Marrow::Thread {

// An exclusive lock that the thread holding it may take again; every lockForWrite() needs its own
// unlock(). Of a reader/writer lock it offers the writer side, which is all the core library
// takes.
class MwRWMutex {
public:
    MwRWMutex() = default;
    MwRWMutex(const MwRWMutex&) = delete;
    MwRWMutex& operator=(const MwRWMutex&) = delete;

    void lockForWrite();
    void unlock();

private:
    std::recursive_mutex _mutex;
};

// Holds a write lock on a mutex for the guard's lifetime.
class MwRWMutexWriteLocker {
public:
    explicit MwRWMutexWriteLocker(MwRWMutex& mutex);
    ~MwRWMutexWriteLocker();
    MwRWMutexWriteLocker(const MwRWMutexWriteLocker&) = delete;
    MwRWMutexWriteLocker& operator=(const MwRWMutexWriteLocker&) = delete;

private:
    MwRWMutex& _mutex;
};

// The core library's process-wide lock, under which exception messages are formatted. It is
// created when the library is loaded and destroyed when it is unloaded.
MwRWMutex& processMutex();

} // namespace Marrow::Thread
