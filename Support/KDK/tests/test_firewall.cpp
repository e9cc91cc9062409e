// The framework's firewall: whatever a node throws from a call of the host (validation,
// requests, rows, samples, knob changes, frame work, viewer drawing and events) becomes the
// node's error with the exception's message, the call returns a defined result, and nothing
// reaches the host. Frame buffers too large to allocate raise the core library's OutOfMemory.
#include "PluginExecutable.h"
#include "TestPlugins.h"

#include "TestImages.h"

#include "Kx/Image/Node.h"
#include "Kx/Image/Row.h"

#include "mwException.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>

using namespace KdkTest;
using Marrow::Exceptions::AssertionFailed;
using Marrow::Exceptions::OutOfMemory;
using Marrow::Exceptions::OutOfRange;

namespace {

// Throws from the hook named in `where`: a core-library exception, a standard one, or an int.
class Thrower : public IopPlugin {
public:
    explicit Thrower(Node* node) : IopPlugin(node), _execution(this, *this) {
        _interact2D = true;
        _draw2D = true;
    }
    const char* Class() const override { return "KdkThrower"; }
    const char* pluginDisplayName() const override { return "Thrower"; }
    const char* pluginHelp() const override { return ""; }
    Executable* executable() override { return &_execution; }

    void pluginValidate(bool forReal) override {
        if (where == "validate") MW_RAISE(AssertionFailed, "index < 2 && index >= 0");
        IopPlugin::pluginValidate(forReal);
    }
    void pluginRequest(int x, int y, int r, int t, ChannelSet c, int n) override {
        if (where == "request") throw std::runtime_error("request refused");
        IopPlugin::pluginRequest(x, y, r, t, c, n);
    }
    void pluginEngine(int, int x, int r, ChannelSet c, Row& row) override {
        for (Channel z : c) std::fill(row.writable(z) + x, row.writable(z) + r, 5.0f);
        if (where == "engine") throw 42;
    }
    void pluginSampleDerivatives(float, float, float, float, float, float, Filter*,
                                 Pixel& out) override {
        for (Channel z : out.channels()) out[z] = 5.0f;
        if (where == "sample") MW_RAISE(OutOfRange, "x", "0", "10");
    }
    int pluginKnobChanged(Knob*) override {
        if (where == "knob") throw std::invalid_argument("no such preset");
        return 1;
    }
    void pluginBuildHandles(ViewerContext* ctx) override {
        if (where == "handles") throw std::runtime_error("no handles");
        IopPlugin::pluginBuildHandles(ctx);
    }
    void draw2D(ViewerContext*) override {
        if (where == "draw") throw std::runtime_error("no GL context");
    }
    bool onPush(ViewerContext*) override {
        if (where == "push") throw std::runtime_error("no selection");
        return true;
    }

    std::string where;

private:
    struct Execution : PluginExecutable {
        using PluginExecutable::PluginExecutable;
        void executeFrame() override {
            auto* t = static_cast<Thrower*>(op());
            if (t->where == "execute") MW_RAISE(AssertionFailed, "frame < last");
        }
    };
    Execution _execution;
};

const Op::Description throwerDescription("KdkThrower",
                                         [](Node* n) -> Op* { return new Thrower(n); });

struct Case {
    const char* where;
    const char* message;
};

} // namespace

// The pixel calls: validation, request, a row and a sample each fail into the node's error;
// the row is black and the sample 0 rather than what the hook half wrote.
TEST(Firewall, PixelCallsTurnExceptionsIntoTheNodesError) {
    const Case cases[] = {
        {"validate", "Assertion failed: index < 2 && index >= 0"},
        {"request", "request refused"},
        {"engine", kUnknownFailure},
        {"sample", "x not in range 0 to 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        KxTest::CoordinateSource source(8, 4);
        Thrower t(nullptr);
        t.where = c.where;
        t.set_input(0, &source);
        EXPECT_NO_THROW(t.validate(true));
        EXPECT_NO_THROW(t.request(0, 0, 8, 4, Mask_Red));
        Row row(0, 8);
        EXPECT_NO_THROW(t.engine(1, 0, 8, Mask_Red, row));
        Pixel pixel(Mask_Red);
        EXPECT_NO_THROW(t.sample(1.5f, 1.5f, 1, 1, nullptr, pixel));
        EXPECT_TRUE(t.hasError());
        EXPECT_EQ(t.errorMessage(), c.message);
        const float expected = std::string(c.where) == "engine" ? 0.0f : 5.0f;
        EXPECT_EQ(row[Chan_Red][3], expected);
        EXPECT_EQ(pixel[Chan_Red], std::string(c.where) == "sample" ? 0.0f : 5.0f);
    }
}

// The interface calls: a knob change is reported unhandled, the handles and the drawing stop,
// a viewer event is not taken, and a frame of the execution stops the run with the message.
TEST(Firewall, InterfaceCallsTurnExceptionsIntoTheNodesError) {
    const Case cases[] = {
        {"knob", "no such preset"},
        {"handles", "no handles"},
        {"draw", "no GL context"},
        {"push", "no selection"},
        {"execute", "Assertion failed: frame < last"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        Node node{"KdkThrower", "Thrower1"};
        auto& t = *static_cast<Thrower*>(node.firstOp());
        t.where = c.where;
        node.setPanelOpen(true);
        EXPECT_EQ(t.knob_changed(t.interactKnob()), std::string(c.where) == "knob" ? 0 : 1);
        ViewerContext viewer;
        EXPECT_NO_THROW(t.build_handles(&viewer));
        EXPECT_NO_THROW(viewer.draw());
        EXPECT_EQ(viewer.deliver(ViewerContext::kPush),
                  std::string(c.where) != "push" && std::string(c.where) != "handles");
        if (std::string(c.where) == "execute") {
            const ExecuteResult r = execute(t, {1});
            EXPECT_FALSE(r.ok);
            EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
        }
        EXPECT_TRUE(t.hasError());
        EXPECT_EQ(t.errorMessage(), c.message);
    }
}

// A frame buffer larger than memory raises OutOfMemory "Image allocation" with its byte count.
TEST(Firewall, FrameBufferAllocationFailureIsOutOfMemory) {
    const int big = std::numeric_limits<int>::max() / 2;
    try {
        FrameBuffer buffer(Box(-big, -big, big, big));
        FAIL() << "allocated " << buffer.samples.size() << " samples";
    } catch (const OutOfMemory& e) {
        EXPECT_EQ(e.parameters().at(1), "Image allocation");
        EXPECT_NE(std::string(e.what()).find("Image allocation failed to allocate"),
                  std::string::npos)
            << e.what();
    }
}
