#include "mwException.h"
#include "mwExceptionTemplate.h"
#include "mwRWMutex.h"
#include "mwRaised.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Marrow::Exceptions;

const MwExceptionLocation kSomewhere{"load()", "mwImage.cpp", 96};

TEST(MwException, RaiseRecordsItsLocationAndNumberedParametersAndClonesKeepThem) {
    int line = 0;
    const auto range = raisedBy<OutOfRange>([&line] {
        line = __LINE__ + 1;
        MW_RAISE(OutOfRange, "x", std::string("0"), "10");
    });
    EXPECT_EQ(range.location().function, "unknown()");
    EXPECT_EQ(range.location().file, __FILE__);
    EXPECT_EQ(range.location().line, line);
    EXPECT_EQ(range.parameters(), (MwExceptionParameters{{0, "x"}, {1, "0"}, {2, "10"}}));

    int index = 1;
    EXPECT_NO_THROW(MW_ASSERT(index < 2 && index >= 0));
    index = 2;
    const auto assertion =
        raisedBy<AssertionFailed>([index] { MW_ASSERT(index < 2 && index >= 0); });
    EXPECT_EQ(assertion.message(), "Assertion failed: index < 2 && index >= 0");
    // A clone keeps class, code, location and parameters.
    auto raised = raisedBy<AssertionFailed>([] {
        raiseException<AssertionFailed>({kUnknownFunction, "mwDisplayManager.cpp", 125}, "a == b");
    });
    raised.addRef();
    const MwRefOwner<ExceptionI> copy = static_cast<const ExceptionI&>(raised).clone();
    EXPECT_EQ(copy->refCount(), 1) << "a copy starts with its own single reference";
    EXPECT_STREQ(copy->className(), "AssertionFailed");
    EXPECT_EQ(copy->location().file, "mwDisplayManager.cpp");
    EXPECT_EQ(copy->location().line, 125);
    EXPECT_EQ(copy->parameters(), raised.parameters());
}

TEST(MwException, MessageUsesTheTemplateForItsParameterCountOrTheDefault) {
    EXPECT_EQ(OutOfRange(kSomewhere, {{0, "a"}, {1, "b"}}).message(), "Range is a to b");
    EXPECT_EQ(OutOfRange(kSomewhere, {}).message(), "Out of range");
    EXPECT_EQ(OutOfMemory(kSomewhere, {{0, "1024"}, {1, "Image allocation"}}).message(),
              "Image allocation failed to allocate 1024 bytes");
    EXPECT_EQ(ExException::TooManyTemplateVars(kSomewhere, {{0, "Knots"}}).message(),
              "Knots exceeds maximum allowable 'items'");
    EXPECT_EQ(AssertionFailed(kSomewhere, {{0, "a"}, {1, "b"}}).message(), "Assertion failed.");
    EXPECT_EQ(MwExceptionTemplates::processRegistry().format(16, {}), "Missing item.");
    EXPECT_EQ(MwExceptionTemplates::processRegistry().format(15, {}), "Missing item.");
}

// A boundary that knows only std::exception catches every exception of the tree, with its
// message; a copy answers the same, and a message that cannot be made answers the class name.
TEST(MwException, EveryExceptionIsAStdExceptionWithItsMessage) {
    try {
        MW_RAISE(AssertionFailed, "index < 2 && index >= 0");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Assertion failed: index < 2 && index >= 0");
    }
    const OutOfMemory memory(kSomewhere, {{0, "1024"}, {1, "Image allocation"}});
    const MwRefOwner<ExceptionI> copy = memory.clone();
    EXPECT_STREQ(copy->what(), "Image allocation failed to allocate 1024 bytes");
    EXPECT_STREQ(memory.what(), copy->what());
    EXPECT_STREQ(OutOfRange(kSomewhere, {{0, "a"}, {2, "c"}}).what(), "OutOfRange");
}

TEST(MwException, TemplateNamingAMissingParameterRaisesAnAssertion) {
    const OutOfRange gap(kSomewhere, {{0, "a"}, {2, "c"}});
    const auto e = raisedBy<AssertionFailed>([&gap] { (void)gap.message(); });
    EXPECT_EQ(e.parameters(), (MwExceptionParameters{{0, "false"}}));
    EXPECT_TRUE(e.location().file.ends_with("mwException.cpp")) << e.location().file;
}

TEST(MwException, FormattingTakesTheReentrantProcessLock) {
    std::atomic<bool> formatted = false;
    std::thread other;
    {
        const Marrow::Thread::MwRWMutexWriteLocker lock(Marrow::Thread::processMutex());
        EXPECT_EQ(OutOfRange(kSomewhere, {}).message(), "Out of range");
        other = std::thread([&formatted] {
            (void)OutOfRange(kSomewhere, {}).message();
            formatted = true;
        });
        // Time for the other thread to reach the lock; it cannot pass while this one holds it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(formatted);
    }
    other.join();
    EXPECT_TRUE(formatted);
}

TEST(MwException, ManyThreadsFormatWholeMessages) {
    constexpr int kThreads = 8;
    constexpr int kMessages = 2000;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string name = "thread " + std::to_string(t);
            for (int i = 0; i < kMessages; ++i) {
                const std::string value = std::to_string(i);
                const OutOfMemory memory(kSomewhere, {{0, value}, {1, name}});
                if (memory.message() != name + " failed to allocate " + value + " bytes") ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
