// The render engine: worker threads (oneTBB, parallel over rows), the store of rendered
// areas, interruption.
#include "Kx/Image/Engine.h"

#include "EngineCache.h"
#include "Kx/Image/Lock.h"
#include "Kx/Image/Row.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define KX_THREAD_SANITIZER
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_THREAD_SANITIZER
#endif
#endif
#ifdef KX_THREAD_SANITIZER
#include <sanitizer/tsan_interface.h>
#endif

namespace Kx::Image {
namespace {

// oneTBB passes a task to its threads inside libtbb, which Debian builds without
// ThreadSanitizer. That sanitizer then sees neither that a task starts after the call that
// spawned it nor that the call returns after its tasks end, and takes every read of the
// caller's data for a race. Under it, parallelRows declares those two edges with these; other
// builds compile them to nothing.
void publish([[maybe_unused]] void* address) {
#ifdef KX_THREAD_SANITIZER
    __tsan_release(address);
#endif
}

void receive([[maybe_unused]] void* address) {
#ifdef KX_THREAD_SANITIZER
    __tsan_acquire(address);
#endif
}

// parallel_for copies its body into each task it spawns, on the thread that splits the range,
// and another thread may run that copy; a finished task's memory goes back to oneTBB's pool and
// may hold the next copy, made on yet another thread. Both are hand-offs like the task itself:
// a copy publishes itself once made, a thread receives a body before it copies or runs it and
// publishes it when done, and a new copy receives whatever last ran at its address.
template <class F> class HandedBody {
public:
    explicit HandedBody(const F& f) : f_(f) {}
    HandedBody(const HandedBody& other) : f_((receive(this), received(other).f_)) { publish(this); }
    HandedBody& operator=(const HandedBody&) = delete;
    void operator()(const tbb::blocked_range<int>& r) const {
        received(*this).f_(r);
        publish(const_cast<HandedBody*>(this));
    }

private:
    static const HandedBody& received(const HandedBody& body) {
        receive(const_cast<HandedBody*>(&body));
        return body;
    }
    F f_;
};

std::atomic<bool> g_interrupted{false};

struct Workers {
    std::mutex mutex;
    unsigned requested = 0; // 0: every processor
    std::shared_ptr<tbb::task_arena> arena;

    std::shared_ptr<tbb::task_arena> get() {
        std::lock_guard lock(mutex);
        if (!arena) {
            unsigned n = requested ? requested : std::max(1u, std::thread::hardware_concurrency());
            arena = std::make_shared<tbb::task_arena>(int(n));
        }
        return arena;
    }
};

Workers& workers() {
    static Workers w;
    return w;
}

// The budget starts at a quarter of the machine's memory: a frame's working set at 4K is a
// few hundred megabytes, and the rest stays free for the image files, Python and the
// other programs of a workstation.
size_t defaultBudget() {
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return size_t(4) << 30;
    return std::max(size_t(pages) * size_t(pageSize) / 4, size_t(256) << 20);
}

struct Store {
    using Key = std::tuple<uint64_t, int, int, int, int, std::string>;
    std::mutex mutex;
    size_t budget = defaultBudget();
    size_t bytes = 0, highWater = 0;
    std::list<Key> lru; // most recent first
    std::map<Key, std::pair<std::shared_ptr<const Plane>, std::list<Key>::iterator>> entries;

    // Drops the least recently used areas until `incoming` more bytes fit in the budget.
    void trim(size_t incoming = 0) {
        while (bytes + incoming > budget && !lru.empty()) {
            auto it = entries.find(lru.back());
            bytes -= it->second.first->bytes();
            entries.erase(it);
            lru.pop_back();
        }
    }
};

Store& store() {
    static Store s;
    return s;
}

// Idle frame buffers, most recently returned first. The pool is never destroyed: buffers
// released by static objects at exit still find it. Each idle buffer carries the frame
// (counted by endFrame) in which it went idle, so that the end of a frame can free what the
// frame did not take again.
struct Pool {
    static constexpr size_t kAlignment = 64;
    struct Idle {
        size_t floats;
        float* memory;
        uint64_t frame;
    };
    std::mutex mutex;
    std::list<Idle> idle;
    size_t idleBytes = 0;
    uint64_t frame = 0;

    static float* allocate(size_t floats) {
        const size_t bytes = (floats * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
        return static_cast<float*>(::operator new(bytes, std::align_val_t(kAlignment)));
    }
    static void release(float* p) { ::operator delete(p, std::align_val_t(kAlignment)); }

    float* take(size_t floats) {
        {
            std::lock_guard lock(mutex);
            for (auto it = idle.begin(); it != idle.end(); ++it)
                if (it->floats == floats) {
                    float* p = it->memory;
                    idleBytes -= floats * sizeof(float);
                    idle.erase(it);
                    return p;
                }
        }
        return allocate(floats);
    }

    // Keeps p (when not null) for reuse, then lets the longest idle buffers go until at most
    // `limit` bytes are idle (outside the lock).
    void give(size_t floats, float* p, size_t limit) {
        std::vector<float*> dropped;
        {
            std::lock_guard lock(mutex);
            if (p) {
                idle.push_front({floats, p, frame});
                idleBytes += floats * sizeof(float);
            }
            while (idleBytes > limit && !idle.empty()) {
                idleBytes -= idle.back().floats * sizeof(float);
                dropped.push_back(idle.back().memory);
                idle.pop_back();
            }
        }
        for (float* d : dropped) release(d);
    }

    // Frees the buffers that went idle before the current frame and were not taken during
    // it, then starts the next frame.
    void endFrame() {
        std::vector<float*> dropped;
        {
            std::lock_guard lock(mutex);
            for (auto it = idle.begin(); it != idle.end();)
                if (it->frame < frame) {
                    idleBytes -= it->floats * sizeof(float);
                    dropped.push_back(it->memory);
                    it = idle.erase(it);
                } else {
                    ++it;
                }
            ++frame;
        }
        for (float* d : dropped) release(d);
    }
};

Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

// Half the cache budget: kept apart from the store's lock, under which the store drops areas
// and so returns their buffers.
std::atomic<size_t>& idleLimit() {
    static std::atomic<size_t> limit{defaultBudget() / 2};
    return limit;
}

std::string channelKey(const ChannelSet& c) {
    std::string k;
    for (Channel z : c) k += std::to_string(z) + ',';
    return k;
}

} // namespace

namespace Engine {

void setThreads(unsigned n) {
    auto& w = workers();
    std::lock_guard lock(w.mutex);
    w.requested = n;
    w.arena.reset();
}

unsigned threads() {
    return unsigned(workers().get()->max_concurrency());
}

void setCacheBudget(size_t bytes) {
    auto& s = store();
    {
        std::lock_guard lock(s.mutex);
        s.budget = bytes;
        idleLimit() = bytes / 2;
        s.trim();
    }
    pool().give(0, nullptr, bytes / 2);
}

size_t cacheBudget() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    return s.budget;
}

size_t defaultCacheBudget() {
    return defaultBudget();
}

size_t cacheBytes() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    return s.bytes;
}

size_t cacheHighWater() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    return s.highWater;
}

void resetCacheHighWater() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    s.highWater = s.bytes;
}

void clearCache() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    s.entries.clear();
    s.lru.clear();
    s.bytes = 0;
}

std::shared_ptr<float> frameBuffer(size_t floats) {
    if (floats == 0) return nullptr;
    return std::shared_ptr<float>(
        pool().take(floats), [floats](float* p) { pool().give(floats, p, idleLimit().load()); });
}

void endFrame() {
    pool().endFrame();
}

size_t frameMemoryIdle() {
    auto& p = pool();
    std::lock_guard lock(p.mutex);
    return p.idleBytes;
}

void parallelRows(int y0, int y1, const std::function<void(int)>& f) {
    if (y1 <= y0) return;
    auto arena = workers().get();
    if (arena->max_concurrency() == 1) {
        for (int y = y0; y < y1; ++y) f(y);
        return;
    }
    // The call's start and its end are two addresses, so that its tasks stay unordered among
    // themselves for ThreadSanitizer. The arena may run the outer function on another thread.
    char start = 0, end = 0;
    publish(&start);
    // Isolation keeps a thread that waits for a nested render from picking up an unrelated
    // outer row, which could wait on the very area this thread is producing.
    arena->execute([&] {
        receive(&start);
        tbb::this_task_arena::isolate([&] {
            auto rows = [&](const tbb::blocked_range<int>& r) {
                receive(&start);
                for (int y = r.begin(); y < r.end(); ++y) f(y);
                publish(&end);
            };
            tbb::parallel_for(tbb::blocked_range<int>(y0, y1, 1), HandedBody<decltype(rows)>(rows));
        });
    });
    receive(&end);
}

bool renderRows(Iop& op, const Box& box, const ChannelSet& channels,
                const std::function<void(int, const Row&)>& sink) {
    op.validate(true);
    if (op.hasError()) return false;
    op.request(box, channels);
    op.open();
    std::atomic<bool> stopped{false};
    parallelRows(box.y(), box.t(), [&](int y) {
        if (stopped || op.aborted()) {
            stopped = true;
            return;
        }
        Row row(box.x(), box.r());
        EngineCache::renderRow(op, y, box.x(), box.r(), channels, row);
        sink(y, row);
    });
    return !stopped && !op.hasError() && !interrupted();
}

void interruptAll() {
    g_interrupted = true;
}
void resetInterrupt() {
    g_interrupted = false;
}
bool interrupted() {
    return g_interrupted.load();
}

} // namespace Engine

std::shared_ptr<const Plane> EngineCache::render(Iop& op, const Box& area,
                                                 const ChannelSet& channels, bool& stored) {
    stored = false;
    auto plane = std::make_shared<Plane>();
    plane->box = area.empty() ? Box() : area;
    plane->channels = area.empty() ? ChannelSet() : channels;
    if (plane->channels.empty()) return plane;

    Store::Key key{op.hash().value(), area.x(), area.y(), area.r(), area.t(), channelKey(channels)};
    auto& s = store();
    {
        std::lock_guard lock(s.mutex);
        if (auto it = s.entries.find(key); it != s.entries.end()) {
            s.lru.splice(s.lru.begin(), s.lru, it->second.second);
            stored = true;
            return it->second.first;
        }
    }

    plane->index.assign(size_t(kMaxChannels) + 1, -1);
    plane->stride = Plane::strideFor(area.w());
    // Every row is written below before anything reads it, so the memory is not cleared.
    for (Channel z : channels) {
        plane->index[size_t(z)] = int(plane->data.size());
        plane->data.push_back({Engine::frameBuffer(plane->stride * size_t(area.h()))});
    }
    std::atomic<bool> stopped{false};
    Engine::parallelRows(area.y(), area.t(), [&](int y) {
        if (stopped || op.aborted()) {
            stopped = true;
            return;
        }
        Row row(area.x(), area.r());
        op.engine(y, area.x(), area.r(), channels, row);
        for (Channel z : channels)
            std::memcpy(const_cast<float*>(plane->row(z, y)) + area.x(), row[z] + area.x(),
                        size_t(area.w()) * 4);
    });
    // An interrupted render is not kept: its rows may be incomplete, and read as black.
    if (stopped) {
        for (const PlaneBuffer& b : plane->data)
            std::fill_n(const_cast<float*>(b.data()), plane->stride * size_t(area.h()), 0.0f);
        return plane;
    }
    if (op.hasError()) return plane;

    // An area larger than the whole budget is not stored: the op that asked keeps it alone.
    std::lock_guard lock(s.mutex);
    if (plane->bytes() > s.budget) return plane;
    if (auto it = s.entries.find(key); it != s.entries.end()) {
        // Another op of the same hash rendered it meanwhile.
        stored = true;
        return it->second.first;
    }
    s.trim(plane->bytes());
    s.lru.push_front(key);
    s.entries[key] = {plane, s.lru.begin()};
    s.bytes += plane->bytes();
    s.highWater = std::max(s.highWater, s.bytes);
    stored = true;
    return plane;
}

} // namespace Kx::Image
