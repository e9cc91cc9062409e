#include "mwRefCounter.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// Reports its destruction through a flag owned by the test.
class Probe : public MwRefCounter {
public:
    explicit Probe(bool& destroyed) : _destroyed(&destroyed) {}
    ~Probe() override { *_destroyed = true; }

private:
    bool* _destroyed;
};

TEST(MwRefCounter, DeletesItselfAtTheLastRelease) {
    bool destroyed = false;
    MwRefOwner<Probe> owner(new Probe(destroyed));
    Probe* shared = owner.get();
    EXPECT_EQ(shared->refCount(), 1);
    shared->addRef();
    owner.reset();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(shared->refCount(), 1);
    shared->release();
    EXPECT_TRUE(destroyed);
}

TEST(MwRefCounter, CountsReferencesTakenFromManyThreads) {
    bool destroyed = false;
    MwRefOwner<Probe> owner(new Probe(destroyed));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&owner] {
            for (int i = 0; i < 20000; ++i) {
                owner->addRef();
                owner->release();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(owner->refCount(), 1);
}

} // namespace
