// Locks and the host's plain thread helpers.
#include "Kx/Image/Lock.h"

#include "Kx/Image/Engine.h"

#include <map>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace Kx::Image {

namespace {

// Tells the processor that this is a spin-wait loop, which saves power and lets the
// other hardware thread of the core run.
inline void cpuPause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

void Lock::lock() {
    for (int i = 0; i < _spinCount; ++i) {
        if (_mutex.try_lock()) return;
        cpuPause();
    }
    _mutex.lock();
}

namespace Thread {

namespace {

thread_local unsigned tIndex = 0;

// Threads started by spawn, by the data pointer they were given, until wait joins them.
std::mutex gSpawnedMutex;
std::multimap<void*, std::thread> gSpawned;

} // namespace

unsigned numCPUs() {
    return Engine::threads();
}

void spawn(ThreadFunction f, unsigned n, void* data) {
    std::lock_guard<std::mutex> guard(gSpawnedMutex);
    for (unsigned i = 0; i < n; ++i)
        gSpawned.emplace(data, std::thread([f, i, n, data] {
                             tIndex = i;
                             f(i, n, data);
                         }));
}

void wait(void* data) {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(gSpawnedMutex);
        auto [begin, end] = gSpawned.equal_range(data);
        for (auto it = begin; it != end; ++it) threads.push_back(std::move(it->second));
        gSpawned.erase(begin, end);
    }
    // Joined outside the lock: a spawned thread may itself spawn or wait.
    for (std::thread& t : threads) t.join();
}

unsigned thisIndex() {
    return tIndex;
}

} // namespace Thread

} // namespace Kx::Image
