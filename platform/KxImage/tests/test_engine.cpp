// The engine renders op trees row by row on several threads, keeps rendered areas by hash,
// and reads outside the data box by repeating the edge pixels.
#include "TestImages.h"

#include "Kx/Image/Blur.h"
#include "Kx/Image/Engine.h"
#include "Kx/Image/Filter.h"
#include "Kx/Image/Node.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

using namespace Kx::Image;
using KxTest::CoordinateSource;

namespace {

// Scales its input and adds a constant: the "test op" of the small graph.
class Gain : public Iop {
public:
    Gain() : Iop(nullptr) {}
    const char* Class() const override { return "Gain"; }
    void append(Hash& h) override { h.append(gain); }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        Row in(x, r);
        input_iop(0)->get(y, x, r, channels, in);
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i) out[i] = in[z][i] * gain + 0.25f;
        }
    }
    float gain = 1.5f;
};

std::vector<float> renderAll(Iop& op, const Box& b, const ChannelSet& channels) {
    std::vector<float> pixels(size_t(b.w() * b.h() * channels.size()));
    EXPECT_TRUE(Engine::renderRows(op, b, channels, [&](int y, const Row& row) {
        size_t k = size_t((y - b.y()) * b.w() * channels.size());
        for (Channel z : channels)
            for (int i = b.x(); i < b.r(); ++i) pixels[k++] = row[z][i];
    }));
    return pixels;
}

struct Graph {
    CoordinateSource source{97, 61};
    Blur blur{nullptr};
    Gain gain;
    Graph() {
        blur.size(5.0f, 3.0f);
        blur.set_input(0, &source);
        gain.set_input(0, &blur);
    }
};

} // namespace

TEST(Engine, SameRowsOnOneThreadAndOnAll) {
    Engine::clearCache();
    Engine::setThreads(1);
    Graph one;
    auto single = renderAll(one.gain, Box(-4, -3, 101, 64), Mask_RGBA);
    Engine::clearCache();
    Engine::setThreads(0);
    ASSERT_GT(Engine::threads(), 0u);
    Graph many;
    auto multi = renderAll(many.gain, Box(-4, -3, 101, 64), Mask_RGBA);
    EXPECT_EQ(single, multi); // bit for bit: each row is computed the same way on any thread
}

// A changed parameter changes the hash and the result; a change upstream reaches the hash
// downstream too.
TEST(Engine, ChangedParameterChangesHashAndResult) {
    Graph g, h, k;
    h.gain.gain = 2.5f;
    k.blur.size(7.0f, 3.0f);
    for (Graph* x : {&g, &h, &k}) x->gain.validate(true);
    EXPECT_NE(g.gain.hash(), h.gain.hash());
    EXPECT_NE(g.gain.hash(), k.gain.hash());
    EXPECT_NE(renderAll(g.gain, Box(0, 0, 97, 61), Mask_RGB),
              renderAll(h.gain, Box(0, 0, 97, 61), Mask_RGB));
}

TEST(Engine, KeptAreaIsRenderedOnceAndSharedByHash) {
    Engine::clearCache();
    CoordinateSource a(40, 30), b(40, 30);
    for (CoordinateSource* s : {&a, &b}) {
        s->validate(true);
        s->request(0, 0, 40, 30, Mask_RGB);
    }
    ASSERT_EQ(a.hash(), b.hash());
    Row row(0, 40);
    for (int y = 0; y < 30; ++y) a.get(y, 0, 40, Mask_RGB, row);
    EXPECT_EQ(a.rowsRendered.load(), 30);
    b.get(7, 0, 40, Mask_RGB, row); // the same hash: served from the store
    EXPECT_EQ(b.rowsRendered.load(), 0);
    EXPECT_EQ(row[Chan_Green][5], float(5 + 70 + 2000));
    EXPECT_GT(Engine::cacheBytes(), 0u);
    Engine::setCacheBudget(0);
    EXPECT_EQ(Engine::cacheBytes(), 0u);
    Engine::setCacheBudget(size_t(1) << 30);
}

// The store owns the areas: within a small budget, areas of many ops never take more
// than the budget together, an area the store let go is freed although its op lives on,
// and reading that op again renders it anew with the same pixels.
TEST(Engine, BudgetBoundsWhatEveryOpHoldsTogether) {
    Engine::clearCache();
    const size_t before = Engine::cacheBudget();
    const size_t oneArea = size_t(3) * Plane::strideFor(40) * 30 * 4;
    Engine::setCacheBudget(2 * oneArea + oneArea / 2); // room for two areas, not three
    Engine::resetCacheHighWater();
    std::vector<std::unique_ptr<CoordinateSource>> ops;
    std::vector<std::weak_ptr<const Plane>> areas;
    Row row(0, 40);
    for (int k = 0; k < 20; ++k) {
        SCOPED_TRACE("op " + std::to_string(k));
        auto& op = ops.emplace_back(std::make_unique<CoordinateSource>(40, 30));
        op->offset = float(k); // a hash of its own
        op->validate(true);
        op->request(0, 0, 40, 30, Mask_RGB);
        op->get(3, 0, 40, Mask_RGB, row);
        areas.push_back(op->plane());
        EXPECT_LE(Engine::cacheBytes(), Engine::cacheBudget());
    }
    EXPECT_LE(Engine::cacheHighWater(), Engine::cacheBudget());
    int alive = 0;
    for (auto& a : areas) alive += !a.expired();
    EXPECT_EQ(alive, 2); // the two most recent; the others are freed
    const int rendered = ops[0]->rowsRendered.load();
    ops[0]->get(9, 0, 40, Mask_RGB, row);
    EXPECT_EQ(ops[0]->rowsRendered.load(), rendered + 30); // rendered again, whole area
    EXPECT_EQ(row[Chan_Green][5], float(5 + 90 + 2000));
    Engine::setCacheBudget(before);
}

// An area larger than the whole budget is not stored; the op that rendered it keeps it, so
// its rows are still read from one render.
TEST(Engine, AreaLargerThanTheBudgetStaysWithItsOp) {
    Engine::clearCache();
    const size_t before = Engine::cacheBudget();
    Engine::setCacheBudget(1024);
    CoordinateSource s(40, 30);
    s.validate(true);
    s.request(0, 0, 40, 30, Mask_RGB);
    Row row(0, 40);
    for (int y = 0; y < 30; ++y) s.get(y, 0, 40, Mask_RGB, row);
    EXPECT_EQ(s.rowsRendered.load(), 30);
    EXPECT_EQ(Engine::cacheBytes(), 0u);
    Engine::setCacheBudget(before);
}

TEST(Engine, ReadsOutsideTheDataBoxRepeatTheEdge) {
    CoordinateSource s(10, 8);
    s.validate(true);
    s.request(0, 0, 10, 8, Mask_RGBA);
    Row row(-3, 14);
    s.get(-5, -3, 14, Mask_Red, row); // below the bottom row and beyond both sides
    EXPECT_EQ(row[Chan_Red][-3], 1000.0f);
    EXPECT_EQ(row[Chan_Red][4], 1004.0f);
    EXPECT_EQ(row[Chan_Red][13], 1009.0f);
    s.get(20, 0, 10, Mask_Red, row); // above the top row
    EXPECT_EQ(row[Chan_Red][2], 1072.0f);
    // A channel the op does not have reads as zero.
    s.get(2, 0, 10, ChannelSet{Chan_Z}, row);
    EXPECT_EQ(row[Chan_Z][2], 0.0f);
}

TEST(Engine, InterruptedRendersAndInputErrorsStopTheRender) {
    CoordinateSource s(64, 64);
    Engine::interruptAll();
    bool ok = Engine::renderRows(s, Box(0, 0, 64, 64), Mask_RGB, [](int, const Row&) {});
    Engine::resetInterrupt();
    EXPECT_FALSE(ok);
    EXPECT_TRUE(Engine::renderRows(s, Box(0, 0, 64, 64), Mask_RGB, [](int, const Row&) {}));
    // An input error reaches the op downstream and stops its render.
    struct Broken : CoordinateSource {
        Broken() : CoordinateSource(4, 4) {}
        void _validate(bool for_real) override {
            CoordinateSource::_validate(for_real);
            error("cannot read plate.%04d.exr", 12);
        }
    } broken;
    Gain g;
    g.set_input(0, &broken);
    g.validate(true);
    EXPECT_TRUE(g.hasError());
    EXPECT_EQ(g.errorMessage(), "cannot read plate.0012.exr");
    EXPECT_FALSE(Engine::renderRows(g, Box(0, 0, 4, 4), Mask_RGB, [](int, const Row&) {}));
}

namespace {

// An op that reads its input at two views through splits, as a stereo node does.
class TwoViews : public Iop {
public:
    explicit TwoViews(Node* n) : Iop(n) {}
    const char* Class() const override { return "TwoViews"; }
    int split_input(int) const override { return 2; }
    const OutputContext& inputContext(int, int offset, OutputContext& scratch) const override {
        scratch = outputContext();
        scratch.setView(offset + 1);
        return scratch;
    }
    void engine(int, int, int, ChannelSet, Row&) override {}
};

class ViewSource : public CoordinateSource {
public:
    explicit ViewSource(Node*) : CoordinateSource(8, 8) {}
    void append(Hash& h) override { h.append(view()); }
};

const Op::Description twoViewsDescription("TwoViews",
                                          [](Node* n) -> Op* { return new TwoViews(n); });
const Op::Description viewSourceDescription("ViewSource",
                                            [](Node* n) -> Op* { return new ViewSource(n); });

} // namespace

TEST(Node, SplitsWireAnInputOpPerContext) {
    Node source("ViewSource", "Source1");
    Node stereo("TwoViews", "Stereo1");
    ASSERT_TRUE(stereo.setInput(0, &source));
    std::string why;
    EXPECT_FALSE(stereo.setInput(3, &source, &why));
    EXPECT_EQ(why, "Stereo1 has no input 3");

    Op* op = stereo.op(OutputContext(5.0, 2));
    ASSERT_EQ(op->inputs(), 2);
    EXPECT_EQ(op->inputNumber(0, 1), 1);
    EXPECT_EQ(op->input(0)->outputContext().view(), 1);
    EXPECT_EQ(op->input(1)->outputContext().view(), 2);
    EXPECT_EQ(op->input(1)->outputContext().frame(), 5.0);
    EXPECT_EQ(stereo.op(OutputContext(5.0, 2)), op); // kept until invalidated
    op->validate(true);
    EXPECT_NE(op->input(0)->hash(), op->input(1)->hash());
    EXPECT_THROW(Node("NoSuchClass", "x"), std::runtime_error);
}

// Frame memory comes back: a buffer let go is handed out again for the same size, aligned to
// a cache line, and the pool keeps at most half the cache budget idle.
TEST(Engine, FrameMemoryIsReusedAndItsIdleBytesBounded) {
    const size_t before = Engine::cacheBudget();
    Engine::setCacheBudget(size_t(64) << 20); // at most 32 MB idle
    const size_t odd = 1000003;
    const float* first = nullptr;
    {
        std::shared_ptr<float> a = Engine::frameBuffer(odd);
        first = a.get();
        a.get()[odd - 1] = 1.0f;
    }
    const std::shared_ptr<float> again = Engine::frameBuffer(odd);
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(again.get()) % 64, 0u);
    const std::shared_ptr<float> other = Engine::frameBuffer(odd);
    EXPECT_NE(other.get(), again.get()); // the idle one is taken: a new buffer
    EXPECT_EQ(Engine::frameBuffer(0), nullptr);
    {
        std::vector<std::shared_ptr<float>> frame;
        for (int i = 0; i < 10; ++i) frame.push_back(Engine::frameBuffer(size_t(2) << 20));
    } // 80 MB let go at once
    EXPECT_LE(Engine::frameMemoryIdle(), size_t(32) << 20);
    EXPECT_GE(Engine::frameMemoryIdle(), size_t(24) << 20);
    Engine::setCacheBudget(size_t(16) << 20); // a smaller budget lets idle memory go at once
    EXPECT_LE(Engine::frameMemoryIdle(), size_t(8) << 20);
    Engine::setCacheBudget(before);
}

// A buffer idle through a whole frame is freed at that frame's end; one a frame took again,
// and one that only went idle as the frame ended, stay for the next frame.
TEST(Engine, FrameMemoryIdleThroughAFrameIsFreedAtItsEnd) {
    const size_t mb = size_t(1) << 20, floats = mb / sizeof(float);
    Engine::endFrame();
    Engine::endFrame(); // whatever earlier work left idle is gone
    ASSERT_EQ(Engine::frameMemoryIdle(), 0u);
    const float* reused = nullptr;
    {
        std::shared_ptr<float> a = Engine::frameBuffer(floats);     // sizes every frame uses
        std::shared_ptr<float> b = Engine::frameBuffer(3 * floats); // a size frame 1 used once
        reused = a.get();
    }
    Engine::endFrame(); // end of frame 1: both went idle during it, both stay
    EXPECT_EQ(Engine::frameMemoryIdle(), 4 * mb);
    {
        std::shared_ptr<float> a = Engine::frameBuffer(floats);
        EXPECT_EQ(a.get(), reused);
        Engine::endFrame(); // end of frame 2: the unused 3 MB go; `a` is still in use
        EXPECT_EQ(Engine::frameMemoryIdle(), 0u);
    } // `a` goes idle as frame 3 starts
    EXPECT_EQ(Engine::frameMemoryIdle(), mb);
    Engine::endFrame();
    EXPECT_EQ(Engine::frameMemoryIdle(), mb) << "went idle during frame 3";
    Engine::endFrame();
    EXPECT_EQ(Engine::frameMemoryIdle(), 0u) << "idle through frame 4";
}

namespace {

// Its input with channels `added` as zero; it passes the input's kept area on unless told to
// render its own.
class PassOn : public Iop {
public:
    PassOn(bool pass, ChannelSet added) : Iop(nullptr), _pass(pass), _added(added) {}
    const char* Class() const override { return "PassOn"; }
    void append(Hash& h) override { h.append(_pass); }
    void _validate(bool for_real) override {
        Iop::_validate(for_real);
        info().channels += _added;
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        for (Channel z : channels& _added) std::fill_n(row.writable(z) + x, r - x, 0.0f);
        input_iop(0)->get(y, x, r, channels - _added, row);
    }
    std::shared_ptr<const Plane> passArea(const Box& area, const ChannelSet& channels) override {
        return _pass ? passInput(input_iop(0), area, channels, channels & _added) : nullptr;
    }

private:
    bool _pass;
    ChannelSet _added;
};

} // namespace

// An op that passes its input's kept area on reads the input's own memory, and gives the rows
// and samples, inside the area and beyond it, that rendering its own kept area gives; a
// channel it adds reads as zero.
TEST(Engine, APassedAreaIsTheInputsMemoryWithTheRenderedPixels) {
    Engine::clearCache();
    CoordinateSource source(40, 30, Mask_RGB);
    PassOn passing(true, Mask_Alpha), rendering(false, Mask_Alpha);
    const Box area(2, 3, 38, 27);
    for (PassOn* op : {&passing, &rendering}) {
        op->set_input(0, &source);
        op->validate(true);
        op->request(area, Mask_RGBA);
    }
    Row a(-3, 43), b(-3, 43);
    for (int y = -2; y < 32; ++y) {
        SCOPED_TRACE("row " + std::to_string(y));
        passing.get(y, -3, 43, Mask_RGBA, a);
        rendering.get(y, -3, 43, Mask_RGBA, b);
        for (Channel z : Mask_RGBA)
            for (int x = -3; x < 43; ++x)
                ASSERT_EQ(a[z][x], b[z][x]) << "channel " << z << " x " << x;
    }
    const Filter cubic(Filter::Cubic);
    std::vector<float> xs, ys;
    for (int i = 0; i < 46; ++i) {
        xs.push_back(-3.3f + 1.07f * float(i));
        ys.push_back(1.0f + 0.61f * float(i));
    }
    passing.sampleRow(xs.data(), ys.data(), -3, 43, Mask_RGBA, &cubic, a);
    rendering.sampleRow(xs.data(), ys.data(), -3, 43, Mask_RGBA, &cubic, b);
    for (Channel z : Mask_RGBA)
        for (int i = -3; i < 43; ++i)
            EXPECT_EQ(a[z][i], b[z][i]) << "channel " << z << " point " << i;
    EXPECT_EQ(passing.plane()->row(Chan_Green, 5), source.plane()->row(Chan_Green, 5));
    EXPECT_EQ(passing.plane()->row(Chan_Alpha, 5), nullptr);
}
