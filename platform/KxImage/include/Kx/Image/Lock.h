// Locks and thread helpers of the host.
//
// Lock is a critical section: a mutual-exclusion lock that a thread first tries to take by
// spinning a given number of times before it sleeps, which suits short sections taken from
// many render threads. It is not re-entrant.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

namespace Kx::Image {

class Lock {
public:
    explicit Lock(int spinCount = 4000) : _spinCount(spinCount) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock();
    bool trylock() { return _mutex.try_lock(); }
    void unlock() { _mutex.unlock(); }
    int spinCount() const { return _spinCount; }

private:
    std::mutex _mutex;
    int _spinCount;
};

class Guard {
public:
    explicit Guard(Lock& l) : _lock(l) { _lock.lock(); }
    ~Guard() { _lock.unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Lock& _lock;
};

namespace Thread {

using ThreadFunction = void (*)(unsigned index, unsigned nThreads, void* data);

// Number of processors the host may use (Engine::setThreads caps it).
unsigned numCPUs();
// Runs f(index, n, data) on n threads and returns at once; wait(data) blocks until every
// thread started with that data has finished.
void spawn(ThreadFunction f, unsigned n, void* data);
void wait(void* data);
// Index of the calling thread among those spawn started (0 outside them).
unsigned thisIndex();

} // namespace Thread

} // namespace Kx::Image
