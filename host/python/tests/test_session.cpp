// The host's nodes and runs without Python: Read and Write round trips through both
// multi-view OpenEXR layouts, their error messages, an interrupted render,
// the corner pin's homography, JoinViews and the camera table.
#include "HostTest.h"

#include "nodes/Camera.h"
#include "nodes/CornerPin2D.h"

#include <Kestrel/IO/ImageReader.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Row.h>

#include <gmock/gmock.h>

#include <cmath>
#include <fstream>
#include <numbers>

using namespace Kx::Image;
using namespace Kestrel::Python;
using namespace Kestrel::Python::Test;
namespace IO = Kestrel::IO;
using ::testing::HasSubstr;

namespace {

const ChannelSet kDisparity{Chan_DisparityL_X, Chan_DisparityL_Y};

// Every pixel of every channel of a node's output at a view, over its format.
std::map<Channel, std::vector<float>> render(Node& node, int view, double frame = 1) {
    Session::current().freshOps();
    Iop* op = node.iop(OutputContext(frame, view));
    op->validate(true);
    EXPECT_FALSE(op->hasError()) << op->errorMessage();
    const int w = op->format().width(), h = op->format().height();
    std::map<Channel, std::vector<float>> out;
    for (Channel z : op->channels()) out[z].assign(size_t(w * h), 0.0f);
    EXPECT_TRUE(Engine::renderRows(*op, Box(0, 0, w, h), op->channels(), [&](int y, const Row& r) {
        for (Channel z : op->channels()) std::copy(r[z], r[z] + w, out[z].begin() + y * w);
    }));
    return out;
}

std::string errorOf(Node& node, int view = 1, double frame = 1) {
    Session::current().freshOps();
    Iop* op = node.iop(OutputContext(frame, view));
    op->validate(true);
    return op->hasError() ? op->errorMessage() : "no error";
}

// The message of the SessionError a render throws; a test failure when it renders.
std::string renderError(const std::vector<Node*>& writes, const std::vector<double>& frames,
                        const ProgressFn& progress = {}) {
    try {
        Session::current().render(writes, frames, {}, progress);
    } catch (const SessionError& e) {
        return e.what();
    }
    ADD_FAILURE() << "the render went through";
    return {};
}

class HostNodes : public HostTest {
protected:
    // A stereo EXR with colour, a disparity layer, the STMap and rig metadata.
    std::string stereoPlate() {
        OutputContext::setViews({"left", "right"});
        IO::ImageData image;
        ChannelSet channels = Mask_RGBA + kDisparity;
        channels.insert(getChannel("stitch_map.u"));
        channels.insert(getChannel("stitch_map.v"));
        image.addView("left", codedView(12, 8, channels, 0));
        image.addView("right", codedView(12, 8, channels, 1));
        image.metadata.setData("rig/cameraCount", 2);
        image.metadata.setData("rig/interaxial", std::vector<double>{0.065, 0, 0});
        image.metadata.setData("exr/owner", std::string("plate dept"));
        std::string p = path("plate.exr");
        IO::writeImage(p, image);
        return p;
    }
    Node& read(const std::string& file, const std::string& name = {}) {
        Node* n = Session::current().createNode("Read", name);
        n->knob("file")->setText(file);
        return *n;
    }
    // A Read of a one-view RGB file of coded pixels for view v.
    Node& readCoded(const std::string& name, int w, int h, int v) {
        IO::ImageData image;
        image.addView("", codedView(w, h, Mask_RGB, v));
        IO::writeImage(path(name), image);
        return read(path(name));
    }
    Node& write(Node& input, const std::string& file) {
        Node* n = Session::current().createNode("Write");
        n->setInput(0, &input);
        n->knob("file")->setText(file);
        return *n;
    }
};

class ExrLayouts : public HostNodes, public ::testing::WithParamInterface<int> {};

TEST_P(ExrLayouts, StereoRoundTripsPixelsLayersAndMetadata) {
    Session& s = Session::current();
    Node& source = read(stereoPlate());
    Node& out = write(source, path("out.exr"));
    out.knob("exr_layout")->setValue(GetParam());
    out.knob("datatype")->setValue(1);
    s.render({&out}, {1}, {});
    Node& back = read(path("out.exr"));
    for (int v : {1, 2}) {
        auto expected = render(source, v);
        auto got = render(back, v);
        ASSERT_EQ(got.size(), expected.size()) << "view " << v;
        for (auto& [z, pixels] : expected) EXPECT_EQ(got[z], pixels) << getName(z) << " view " << v;
        Iop* op = back.iop(OutputContext(1, v));
        const MetaData::Bundle& meta = op->fetchMetaData();
        std::vector<double> interaxial;
        int count = 0;
        std::string owner;
        EXPECT_TRUE(meta.getInt("rig/cameraCount", count) && count == 2);
        EXPECT_TRUE(meta.getDoubles("rig/interaxial", interaxial));
        EXPECT_EQ(interaxial, (std::vector<double>{0.065, 0, 0}));
        EXPECT_TRUE(meta.getString("exr/owner", owner) && owner == "plate dept");
    }
}

INSTANTIATE_TEST_SUITE_P(SingleAndMultiPart, ExrLayouts, ::testing::Values(0, 1));

TEST_F(HostNodes, ReadErrorsNameTheNodeAndTheFileOrKnob) {
    Node& missing = read(path("nowhere.####.exr"), "Plate");
    EXPECT_THAT(errorOf(missing), HasSubstr("Plate"));
    EXPECT_THAT(errorOf(missing), HasSubstr(path("nowhere.0001.exr")));
    Node& backwards = read(stereoPlate(), "Plate2");
    backwards.knob("first")->setValue(10);
    backwards.knob("last")->setValue(5);
    EXPECT_THAT(errorOf(backwards), HasSubstr("Plate2: the frame range 10-5 ends before it "
                                              "starts: set the first knob to at most the last"));
}

TEST_F(HostNodes, RefusedRendersSayWhatToFixAndWriteNothing) {
    EXPECT_THAT(renderError({}, {1}), HasSubstr("no Write node"));
    Node& w = write(read(stereoPlate()), path("out.exr"));
    w.knob("channels")->setText("rgba motionless");
    EXPECT_THAT(renderError({&w}, {1}), HasSubstr("Write1: the channels knob names \"motionless\", "
                                                  "which its input does not have"));
    EXPECT_EQ(files(), std::vector<std::string>{"plate.exr"});
    Node& lost = write(read(stereoPlate()), path("no/such/folder/out.exr"));
    const std::string message = renderError({&lost}, {1});
    EXPECT_THAT(message, HasSubstr("Write2"));
    EXPECT_THAT(message, HasSubstr(path("no/such/folder")));
}

TEST_F(HostNodes, InterruptedRenderKeepsFinishedFramesAndLeavesNoPartialFile) {
    Node& w = write(read(stereoPlate()), path("seq.####.exr"));
    std::vector<double> frames;
    for (int f = 1; f <= 10; ++f) frames.push_back(f);
    EXPECT_THAT(renderError({&w}, frames,
                            [](int done, int) {
                                if (done == 3) Engine::interruptAll();
                            }),
                HasSubstr("interrupted after 3 finished frame(s)"));
    Engine::resetInterrupt();
    EXPECT_EQ(files(), (std::vector<std::string>{"plate.exr", "seq.0001.exr", "seq.0002.exr",
                                                 "seq.0003.exr"}));
}

// A sequence renders within the cache's budget: with a budget of a few frames' areas, the
// accounted bytes never pass it over 20 frames of both views, and what a frame used is let
// go when it is done, so the cache is empty between frames.
TEST_F(HostNodes, SequenceRendersWithinASmallCacheBudget) {
    OutputContext::setViews({"left", "right"});
    Node* plate = Session::current().createNode("SyntheticStereo");
    for (auto [name, value] : {std::pair{"width", 96.0}, {"height", 54.0}, {"lastFrame", 20.0}})
        plate->knob(name)->setValue(value);
    // JoinViews reads its inputs through the engine's cache, as every filtering node does.
    Node* join = Session::current().createNode("JoinViews");
    join->setInput(0, plate);
    join->setInput(1, plate);
    Node& w = write(*join, path("seq_%V.####.exr"));
    w.knob("channels")->setText("rgba disparityL");
    const size_t before = Engine::cacheBudget();
    const size_t budget = size_t(96 + 32) * 54 * 4 * 20; // about five areas of four channels
    Engine::setCacheBudget(budget);
    Engine::resetCacheHighWater();
    std::vector<double> frames;
    for (int f = 1; f <= 20; ++f) frames.push_back(f);
    size_t mostBetweenFrames = 0;
    Session::current().render({&w}, frames, {}, [&](int, int) {
        mostBetweenFrames = std::max(mostBetweenFrames, Engine::cacheBytes());
    });
    EXPECT_GT(Engine::cacheHighWater(), 0u);
    EXPECT_LE(Engine::cacheHighWater(), budget);
    EXPECT_EQ(mostBetweenFrames, 0u);
    EXPECT_EQ(files().size(), 40u);
    Engine::setCacheBudget(before);
}

TEST_F(HostNodes, JoinViewsGivesEachViewItsOwnInput) {
    OutputContext::setViews({"left", "right"});
    Node* join = Session::current().createNode("JoinViews");
    join->setInput(0, &readCoded("a.exr", 4, 3, 0));
    join->setInput(1, &readCoded("b.exr", 4, 3, 1));
    EXPECT_EQ(render(*join, 1)[Chan_Red][0], coded(0, 0, 0, 0));
    EXPECT_EQ(render(*join, 2)[Chan_Red][0], coded(0, 0, 0, 1));
}

TEST(CornerPinHomography, MapsEachCornerToItsTargetAndRefusesNonConvexAndMirroredPins) {
    using Corners = std::array<std::array<double, 2>, 4>;
    const Corners from{{{0, 0}, {100, 0}, {100, 50}, {0, 50}}};
    const Corners to{{{10, 5}, {90, 0}, {110, 60}, {-5, 45}}};
    const auto h = Kestrel::Nodes::cornerPinHomography(from, to);
    ASSERT_TRUE(h);
    const auto& m = *h;
    for (size_t i = 0; i < 4; ++i) {
        const double x = from[i][0], y = from[i][1], w = m[6] * x + m[7] * y + m[8];
        // A solve of an 8 x 8 system: a few ulps of the coordinates.
        EXPECT_NEAR((m[0] * x + m[1] * y + m[2]) / w, to[i][0], 1e-9);
        EXPECT_NEAR((m[3] * x + m[4] * y + m[5]) / w, to[i][1], 1e-9);
    }
    const Corners square{{{0, 0}, {10, 0}, {10, 10}, {0, 10}}};
    const Corners bowtie{{{0, 0}, {10, 10}, {10, 0}, {0, 10}}},
        dart{{{0, 0}, {10, 0}, {3, 3}, {0, 10}}}, mirrored{{{0, 0}, {0, 10}, {10, 10}, {10, 0}}};
    for (const Corners& bad : {bowtie, dart, mirrored})
        EXPECT_FALSE(Kestrel::Nodes::cornerPinHomography(square, bad));
}

TEST_F(HostNodes, NonConvexPinPassesTheImageThroughUntouched) {
    Node& source = readCoded("a.exr", 5, 4, 0);
    Node* pin = Session::current().createNode("CornerPin2D");
    pin->setInput(0, &source);
    pin->knob("to2")->setValue(-3, 0);
    pin->knob("to2")->setValue(4, 1);
    EXPECT_EQ(render(*pin, 1), render(source, 1));
}

TEST_F(HostNodes, CameraTableHasOneLinePerFrameWithFieldOfView) {
    Node* cam = Session::current().createNode("Camera");
    cam->knob("translate")->setValueAt(0, 1, 0, -1, Interpolation::Linear);
    cam->knob("translate")->setValueAt(4, 3, 0, -1, Interpolation::Linear);
    cam->knob("rotate")->setValue(12, 2);
    std::string error;
    ASSERT_TRUE(Kestrel::Nodes::exportCameraTable(*cam, path("cam.txt"), {1, 2, 3}, 0, &error))
        << error;
    std::ifstream in(path("cam.txt"));
    std::string header;
    std::getline(in, header);
    EXPECT_EQ(header, "# frame tx ty tz rx ry rz hfov vfov");
    double row[9];
    for (double frame : {1.0, 2.0, 3.0}) {
        for (double& v : row) in >> v;
        EXPECT_EQ(row[0], frame);
        EXPECT_EQ(row[1], 2.0 * (frame - 1));
        EXPECT_EQ(row[6], 12.0);
        // The default 50 mm lens on a 24.576 mm film back.
        EXPECT_NEAR(row[7], 2 * std::atan(24.576 / 100.0) * 180 / std::numbers::pi, 1e-8);
    }
    EXPECT_EQ(files(), std::vector<std::string>{"cam.txt"});
    // Only a camera has a table.
    Node* pin = Session::current().createNode("CornerPin2D", "Pin");
    EXPECT_FALSE(Kestrel::Nodes::exportCameraTable(*pin, path("pin.txt"), {1}, 0, &error));
    EXPECT_THAT(error, HasSubstr("Pin is a CornerPin2D, not a Camera"));
}

TEST_F(HostNodes, CameraAnimationPerViewSurvivesSavingAndLoading) {
    Session& s = Session::current();
    OutputContext::setViews({"left", "right"});
    Node* cam = s.createNode("Camera", "rig_left");
    Knob* translate = cam->knob("translate");
    translate->split(2);
    translate->setValueAt(1.5, 1, 0, 1);
    translate->setValueAt(-2.25, 12, 0, 1, Interpolation::Linear);
    translate->setValueAt(7, 3, 2, 2);
    cam->knob("focal")->setValue(35);
    cam->knob("gl_color")->setValue(double(0xFF0000FFu));
    const double between = translate->value(0, 1, 6.5);
    s.save(path("rig.kscript"));
    s.load(path("rig.kscript"));
    // Saved again, the loaded graph gives the same text: every key, view and value came back.
    s.save(path("again.kscript"));
    const auto text = [&](const char* name) {
        std::ifstream in(path(name));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(text("again.kscript"), text("rig.kscript"));
    Node& back = s.node("rig_left");
    EXPECT_TRUE(back.knob("translate")->isSplit(2));
    EXPECT_EQ(back.knob("translate")->value(0, 1, 6.5), between);
    EXPECT_EQ(uint32_t(back.knob("gl_color")->value()), 0xFF0000FFu);
}

TEST_F(HostNodes, DeletingANodeDisconnectsItAndEmptiesItsHandle) {
    Session& s = Session::current();
    Node& source = read(stereoPlate());
    Node* pin = s.createNode("CornerPin2D");
    pin->setInput(0, &source);
    Node& out = write(*pin, path("out.exr"));
    auto handle = s.handle(pin);
    s.deleteNode(pin);
    EXPECT_EQ(out.input(0), nullptr);
    EXPECT_EQ(handle->node, nullptr);
    EXPECT_EQ(s.findNode("CornerPin2D1"), nullptr);
    // The upstream node no longer reaches the deleted one when it changes.
    source.knob("first")->setValue(1);
    EXPECT_EQ(s.graph().nodes().size(), 2u);
}

} // namespace
