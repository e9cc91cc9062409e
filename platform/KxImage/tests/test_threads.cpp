// The host's lock and its plain thread helpers.
#include "Kx/Image/Engine.h"
#include "Kx/Image/Lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

namespace {

using namespace Kx::Image;

struct Counter {
    Lock lock{100}; // a short spin, so the threads also reach the blocking path
    long value = 0; // guarded by lock
    std::atomic<unsigned> seenIndices{0};
    std::atomic<unsigned> seenCounts{0};
};

void addMany(unsigned index, unsigned n, void* data) {
    auto* c = static_cast<Counter*>(data);
    EXPECT_EQ(Thread::thisIndex(), index);
    c->seenIndices.fetch_or(1u << index);
    if (n == 4) ++c->seenCounts;
    for (int i = 0; i < 20000; ++i) {
        Guard g(c->lock);
        ++c->value;
    }
}

TEST(Threads, SpawnRunsEveryIndexAndWaitJoinsTheThreadsOfItsData) {
    Counter c;
    Thread::spawn(addMany, 4, &c);
    Thread::wait(&c);
    // Every increment happened under the lock, and wait returned after all of them.
    EXPECT_EQ(c.value, 4 * 20000);
    EXPECT_EQ(c.seenIndices.load(), 0xFu);
    EXPECT_EQ(c.seenCounts.load(), 4u);
    EXPECT_EQ(Thread::thisIndex(), 0u);
    // Wait joins only the threads of its data.
    Counter a, b;
    Thread::spawn(addMany, 2, &a);
    Thread::spawn(addMany, 2, &b);
    Thread::wait(&a);
    EXPECT_EQ(a.value, 2 * 20000);
    Thread::wait(&b);
    EXPECT_EQ(b.value, 2 * 20000);
    // Waiting for data with no threads returns at once.
    Thread::wait(&a);
}

} // namespace
