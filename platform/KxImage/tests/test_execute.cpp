// The host's execute: begin, a skip question and execute per frame and view, end.
#include "TestImages.h"

#include "Kx/Image/Executable.h"

#include <gtest/gtest.h>

using namespace Kx::Image;

namespace {

class Recorder : public KxTest::CoordinateSource, public Executable {
public:
    Recorder() : CoordinateSource(4, 4), Executable(this) {}
    Executable* executable() override { return this; }
    void beginExecuting() override { log += "begin;"; }
    bool skipFrame(const OutputContext& c) override { return int(c.frame()) % 2 == 0; }
    void execute() override {
        log += std::to_string(int(frame())) + "v" + std::to_string(view()) + ";";
        next.push_back(executeNextFrame());
        if (frame() == failAt) error("no matches at frame %d", int(frame()));
    }
    void endExecuting() override { log += "end"; }
    const std::set<int>& viewsToExecute() override { return views; }

    std::string log;
    std::set<int> views{2};
    double failAt = -1;
    std::vector<std::optional<double>> next; // the next frame, seen by each frame's work
};

} // namespace

// Also: the frame that the run takes next, for sources that read ahead.
TEST(Execute, RunsUnskippedFramesBetweenBeginAndEnd) {
    Recorder r;
    int calls = 0;
    ExecuteResult res = execute(r, {1, 2, 3, 4, 5}, [&](int done, int total) {
        ++calls;
        EXPECT_EQ(total, 5);
        EXPECT_LE(done, total);
    });
    EXPECT_TRUE(res.ok);
    EXPECT_EQ(r.log, "begin;1v2;3v2;5v2;end");
    EXPECT_EQ(res.framesRun, 3);
    EXPECT_EQ(res.framesSkipped, 2);
    EXPECT_EQ(calls, 5);
    // The frame that comes next in the run's order, skipped or not; none on the last one and
    // once the run is over.
    EXPECT_EQ(r.next, (std::vector<std::optional<double>>{2.0, 4.0, std::nullopt}));
    EXPECT_FALSE(executeNextFrame());
    r.next.clear();
    execute(r, {5, 3, 1});
    EXPECT_EQ(r.next, (std::vector<std::optional<double>>{3.0, 1.0, std::nullopt}));
}

// A frame whose work goes on after execute() returns (a file written while the next frame
// renders) counts as done when it is finished: the next frame's execute or the end finishes it.
class WriterBehind : public Recorder {
public:
    void execute() override {
        Recorder::execute();
        inFlight = 1;
    }
    void endExecuting() override {
        inFlight = 0;
        Recorder::endExecuting();
    }
    int framesInFlight() const override { return inFlight; }
    int inFlight = 0;
};

TEST(Execute, AFrameInFlightCountsAsDoneWhenItIsFinished) {
    WriterBehind w;
    std::string seen;
    execute(w, {1, 3, 5, 7}, [&](int done, int total) {
        seen += std::to_string(done) + "/" + std::to_string(total) + " after " + w.log + "\n";
    });
    EXPECT_EQ(seen, "1/4 after begin;1v2;3v2;\n"
                    "2/4 after begin;1v2;3v2;5v2;\n"
                    "3/4 after begin;1v2;3v2;5v2;7v2;\n"
                    "4/4 after begin;1v2;3v2;5v2;7v2;end\n");
}

TEST(Execute, AFailingFrameStopsTheRunButEndStillRunsAndOpsWithoutFrameWorkAreRefused) {
    Recorder r;
    r.failAt = 3;
    ExecuteResult res = execute(r, {1, 3, 5});
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(r.log, "begin;1v2;3v2;end");
    EXPECT_EQ(res.error, "CoordinateSource at frame 3: no matches at frame 3");
    // An op without frame work is refused.
    KxTest::CoordinateSource s(2, 2);
    res = execute(s, {1});
    EXPECT_FALSE(res.ok);
    EXPECT_NE(res.error.find("cannot be executed"), std::string::npos);
}
