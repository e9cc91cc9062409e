#include "mwRWMutex.h"

namespace Marrow::Thread {

namespace {
MwRWMutex processWideMutex;
} // namespace

void MwRWMutex::lockForWrite() {
    _mutex.lock();
}

void MwRWMutex::unlock() {
    _mutex.unlock();
}

MwRWMutexWriteLocker::MwRWMutexWriteLocker(MwRWMutex& mutex) : _mutex(mutex) {
    _mutex.lockForWrite();
}

MwRWMutexWriteLocker::~MwRWMutexWriteLocker() {
    _mutex.unlock();
}

MwRWMutex& processMutex() {
    return processWideMutex;
}

} // namespace Marrow::Thread
