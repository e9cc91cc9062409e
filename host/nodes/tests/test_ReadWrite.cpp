// Read and Write over sequences: the frame range found on disk, missing and out-of-range
// frames (an error naming the file, or black or held frames, each reported), each frame's own
// pixels written, nothing written for a bad frame, the input's depth kept, EXR data layers in
// float and the written data window.
#include "HeaderBits.h"
#include "IOTestImages.h"
#include "nodes/FrameNotices.h"
#include "nodes/Write.h"

#include <Kestrel/IO/ImageReader.h>
#include <Kestrel/IO/ImageWriter.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Executable.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenImageIO/imageio.h>

#include <gmock/gmock.h>

#include <fstream>

namespace Kestrel::Nodes {
namespace {

using namespace Kx::Image;
using IO::Test::headerBits;
using IO::Test::ScratchFolder;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int kWidth = 4, kHeight = 3;

class ReadWrite : public ScratchFolder {
protected:
    void SetUp() override {
        ScratchFolder::SetUp();
        OutputContext::setViews({"main"});
        takeFrameNotices();
    }

    // Frame f of a sequence: red f / 64 everywhere, green (x + 8 y) / 64, a disparity layer.
    static IO::ImageData frameImage(int f) {
        IO::ImageData image;
        IO::ViewPixels& v =
            image.addView("", IO::ViewPixels(Format(kWidth, kHeight), Box(0, 0, kWidth, kHeight),
                                             Mask_RGBA + ChannelSet{Chan_DisparityL_X}));
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                v.row(Chan_Red, y)[x] = float(f) / 64;
                v.row(Chan_Green, y)[x] = float(x + 8 * y) / 64;
                v.row(Chan_Alpha, y)[x] = 1.0f;
                v.row(Chan_DisparityL_X, y)[x] = 1000.3f + float(f);
            }
        return image;
    }
    void writeFrame(const std::string& pattern, int f) const {
        IO::writeImage(IO::PathPattern(file(pattern)).expand(f), frameImage(f));
    }

    Node& read(const std::string& pattern) {
        nodes.push_back(std::make_unique<Node>("Read", "Read" + std::to_string(nodes.size())));
        nodes.back()->knob("file")->setText(file(pattern));
        return *nodes.back();
    }
    Node& write(Node& input, const std::string& pattern) {
        nodes.push_back(std::make_unique<Node>("Write", "Write" + std::to_string(nodes.size())));
        Node& w = *nodes.back();
        w.setInput(0, &input);
        w.knob("file")->setText(file(pattern));
        return w;
    }

    static Iop* validated(Node& n, double frame) {
        Iop* op = n.iop(OutputContext(frame, 1));
        op->validate(true);
        return op;
    }
    // The error of a node at a frame, or "" when it has none.
    std::string errorAt(Node& n, double frame) {
        Iop* op = validated(n, frame);
        return op->hasError() ? op->errorMessage() : "";
    }
    // Red and green of pixel (x, y) of a node at a frame.
    std::pair<float, float> pixelAt(Node& n, double frame, int x = 1, int y = 1) {
        Iop* op = validated(n, frame);
        EXPECT_FALSE(op->hasError()) << op->errorMessage();
        op->request(0, 0, kWidth, kHeight, Mask_RGB);
        Row row(0, kWidth);
        op->get(y, 0, kWidth, Mask_RGB, row);
        return {row[Chan_Red][x] * 64, row[Chan_Green][x] * 64};
    }

    std::vector<std::unique_ptr<Node>> nodes;
};

TEST_F(ReadWrite, AReadWithOnlyItsFileReadsEveryFrameOnDisk) {
    for (int f : {1, 2, 3}) writeFrame("plate.####.exr", f);
    Node& r = read("plate.####.exr");
    for (int f : {1, 2, 3}) {
        SCOPED_TRACE(f);
        EXPECT_EQ(pixelAt(r, f).first, float(f));
    }
    EXPECT_EQ(validated(r, 2)->first_frame(), 1);
    EXPECT_EQ(validated(r, 2)->last_frame(), 3);
    // An end that is set bounds the range; the other still comes from disk.
    r.knob("first")->setValue(2);
    EXPECT_EQ(validated(r, 2)->first_frame(), 2);
    EXPECT_EQ(validated(r, 2)->last_frame(), 3);
}

// A frame outside the range and a hole in the sequence are errors naming the frame, the file
// and the choice that fills them; so is a sequence with nothing on disk.
TEST_F(ReadWrite, FramesWithoutAFileAreErrorsNamingTheFile) {
    for (int f : {1, 2, 4}) writeFrame("plate.####.exr", f);
    Node& r = read("plate.####.exr");
    EXPECT_THAT(
        errorAt(r, 3),
        AllOf(HasSubstr("Read0: frame 3 is missing: " + file("plate.0003.exr") + " does not exist"),
              HasSubstr("--missing-frames black|hold")));
    EXPECT_THAT(errorAt(r, 50),
                AllOf(HasSubstr("frame 50 is outside the frames 1-4 of " + file("plate.####.exr")),
                      HasSubstr(file("plate.0050.exr")), HasSubstr("render frames 1-4")));
    Node& nothing = read("nothing.####.exr");
    EXPECT_THAT(errorAt(nothing, 1), AllOf(HasSubstr(file("nothing.0001.exr") + " does not exist"),
                                           HasSubstr("no frames of " + file("nothing.####.exr") +
                                                     " in " + dir.string())));
    EXPECT_TRUE(takeFrameNotices().empty());
}

struct Filled {
    const char* choice;
    int frame;
    float red; // the frame whose pixels come back, 0 for black
    const char* action;
};

class MissingFrames : public ReadWrite, public ::testing::WithParamInterface<Filled> {};

// Frames 2 and 5 are on disk. Each choice fills the hole at 3, the frame after the last and
// the frame before the first as it says, and reports each frame once.
TEST_P(MissingFrames, FillAndReport) {
    const Filled c = GetParam();
    for (int f : {2, 5}) writeFrame("plate.####.exr", f);
    Node& r = read("plate.####.exr");
    r.knob("missing_frames")->setValue(c.choice == std::string("black") ? 1 : 2);
    r.knob("first")->setValue(0);
    r.knob("last")->setValue(9);
    const auto [red, green] = pixelAt(r, c.frame);
    EXPECT_EQ(red, c.red);
    EXPECT_EQ(green, c.red == 0 ? 0.0f : 9.0f);
    Iop* op = validated(r, c.frame);
    EXPECT_EQ(op->format().width(), kWidth);
    EXPECT_TRUE(op->channels().contains(Chan_DisparityL_X));
    // The same frame again (another op of the node) is not reported twice.
    r.invalidate();
    pixelAt(r, c.frame);
    const std::vector<FrameNotice> notices = takeFrameNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].node, "Read0");
    EXPECT_EQ(notices[0].file, IO::PathPattern(file("plate.####.exr")).expand(c.frame));
    EXPECT_EQ(notices[0].frame, c.frame);
    EXPECT_EQ(notices[0].action, c.action);
}

INSTANTIATE_TEST_SUITE_P(
    ReadWrite, MissingFrames,
    ::testing::Values(Filled{"hold", 3, 2, "held frame 2"}, Filled{"hold", 9, 5, "held frame 5"},
                      Filled{"hold", 0, 2, "held frame 2"}, Filled{"black", 3, 0, "black"},
                      Filled{"black", 4, 0, "black"}),
    [](const auto& info) {
        return std::string(info.param.choice) + "_frame_" + std::to_string(info.param.frame);
    });

// A held frame is cached as the frame it read: once the missing file appears, the same frame
// reads it.
TEST_F(ReadWrite, AFrameThatAppearsIsReadRatherThanTheHeldOne) {
    for (int f : {1, 3}) writeFrame("plate.####.exr", f);
    Node& r = read("plate.####.exr");
    r.knob("missing_frames")->setValue(2);
    EXPECT_EQ(pixelAt(r, 2).first, 1.0f);
    writeFrame("plate.####.exr", 2);
    r.invalidate();
    EXPECT_EQ(pixelAt(r, 2).first, 2.0f);
}

// A Read hands the decoded file on as it lies in memory, and JoinViews and AddChannels pass it
// on: the rows read at the end of the chain are the file's, the added channel reads as zero,
// and nothing is rendered into the engine's store.
TEST_F(ReadWrite, ReadJoinViewsAndAddChannelsPassTheFileOnUncopied) {
    writeFrame("plate.####.exr", 1);
    Node& r = read("plate.####.exr");
    nodes.push_back(std::make_unique<Node>("JoinViews", "Join"));
    Node& join = *nodes.back();
    join.setInput(0, &r);
    nodes.push_back(std::make_unique<Node>("AddChannels", "Add"));
    Node& add = *nodes.back();
    add.setInput(0, &join);
    add.knob("channels")->setText("stitch_map.u");
    const Channel stmap = findChannel("stitch_map.u");
    Engine::clearCache();
    Iop* out = validated(add, 1);
    ASSERT_FALSE(out->hasError()) << out->errorMessage();
    const ChannelSet channels = Mask_RGBA + ChannelSet{Chan_DisparityL_X, stmap};
    out->request(0, 0, kWidth, kHeight, channels);
    const IO::ImageData file = frameImage(1);
    Row row(0, kWidth);
    for (int y = 0; y < kHeight; ++y) {
        out->get(y, 0, kWidth, channels, row);
        for (int x = 0; x < kWidth; ++x) {
            SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
            EXPECT_EQ(row[Chan_Green][x], file.view(0).at(Chan_Green, x, y));
            EXPECT_EQ(row[Chan_DisparityL_X][x], file.view(0).at(Chan_DisparityL_X, x, y));
            EXPECT_EQ(row[stmap][x], 0.0f);
        }
    }
    EXPECT_EQ(Engine::cacheBytes(), 0u);
    EXPECT_EQ(out->plane()->row(Chan_Green, 1), validated(r, 1)->plane()->row(Chan_Green, 1));
}

TEST_F(ReadWrite, ARenderWritesEachFramesOwnPixels) {
    for (int f : {1, 2}) writeFrame("plate.####.exr", f);
    Node& w = write(read("plate.####.exr"), "out.####.exr");
    const ExecuteResult result = execute(*w.firstOp(), {1, 2});
    ASSERT_TRUE(result.ok) << result.error;
    for (int f : {1, 2}) {
        SCOPED_TRACE(f);
        const IO::ImageData back = IO::readImage(file("out.000" + std::to_string(f) + ".exr"));
        EXPECT_EQ(back.view(0).at(Chan_Red, 2, 1) * 64, float(f));
        EXPECT_EQ(back.view(0).at(Chan_DisparityL_X, 2, 1), 1000.3f + float(f));
    }
}

// A render that meets a bad frame (a hole, a frame beyond the last, a damaged file) stops there
// with a message naming its file; the frames before it are whole files and the bad one left
// nothing, not even a temporary file.
TEST_F(ReadWrite, ABadFrameStopsTheRenderAndWritesNothingForIt) {
    for (int f : {1, 2, 4}) writeFrame("plate.####.exr", f);
    std::ofstream(file("plate.0005.exr")) << "not an image";
    std::filesystem::create_directory(dir / "out");
    Node& w = write(read("plate.####.exr"), "out/out.####.exr");
    for (int bad : {3, 9, 5}) {
        SCOPED_TRACE(bad);
        const ExecuteResult result = execute(*w.firstOp(), {1, 2, double(bad)});
        EXPECT_FALSE(result.ok);
        EXPECT_THAT(result.error,
                    AllOf(HasSubstr("at frame " + std::to_string(bad)),
                          HasSubstr(file("plate.000" + std::to_string(bad) + ".exr"))));
        std::vector<std::string> written;
        for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
            written.push_back(e.path().filename().string());
        std::sort(written.begin(), written.end());
        EXPECT_THAT(written, ElementsAre("out.0001.exr", "out.0002.exr"));
    }
}

// A frame's file is written while the next frame renders: a write that fails stops the run
// at the next frame, or at its end, with a message naming the file, and nothing is left of it.
TEST_F(ReadWrite, AWriteThatFailsBehindTheRenderStopsTheRunAndNamesTheFile) {
    for (int f : {1, 2, 3}) writeFrame("plate.####.exr", f);
    Node& w = write(read("plate.####.exr"), "gone/out.####.exr");
    for (const auto& frames : {std::vector<double>{1, 2, 3}, std::vector<double>{1}}) {
        SCOPED_TRACE(frames.size());
        const ExecuteResult result = execute(*w.firstOp(), frames);
        EXPECT_FALSE(result.ok);
        EXPECT_THAT(result.error, HasSubstr(file("gone/out.0001.exr")));
        EXPECT_EQ(result.framesRun, std::min(int(frames.size()), 2));
        EXPECT_FALSE(std::filesystem::exists(dir / "gone"));
    }
}

// With a file per view, a frame one view lacks is a hole in that view alone.
TEST_F(ReadWrite, AHoleInOneViewIsFilledInThatViewAlone) {
    OutputContext::setViews({"left", "right"});
    for (const auto& [view, f] : {std::pair{"left", 1}, {"left", 2}, {"right", 1}})
        IO::writeImage(IO::PathPattern(file("plate_%V.####.exr")).expand(f, view), frameImage(f));
    Node& r = read("plate_%V.####.exr");
    r.knob("missing_frames")->setValue(2);
    EXPECT_EQ(pixelAt(r, 2).first, 2.0f); // view 1, left
    Iop* right = r.iop(OutputContext(2, 2));
    right->validate(true);
    ASSERT_FALSE(right->hasError()) << right->errorMessage();
    Row row(0, kWidth);
    right->get(1, 0, kWidth, Mask_RGB, row);
    EXPECT_EQ(row[Chan_Red][1] * 64, 1.0f);
    const std::vector<FrameNotice> notices = takeFrameNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].file, file("plate_right.0002.exr"));
}

// A Write left at auto keeps the depth of the file read; 8 bit and 16 bit still mean what
// they meant in scripts saved before auto (items 0 and 1); 10 bit is for DPX alone.
TEST_F(ReadWrite, TheWrittenDepthFollowsTheInputUnlessForced) {
    const std::tuple<const char*, int, const char*, const char*, int> cases[] = {
        {"deep.png", 16, "out.png", nullptr, 16},  {"deep.tif", 16, "out.tif", nullptr, 16},
        {"plate.dpx", 10, "out.dpx", nullptr, 10}, {"plate.dpx", 10, "out.png", nullptr, 16},
        {"deep.png", 16, "out.png", "0", 8},       {"plain.png", 8, "out.tif", "1", 16},
        {"deep.png", 16, "out.dpx", "2", 10},
    };
    for (const auto& [source, bits, out, scriptValue, expected] : cases) {
        SCOPED_TRACE(std::string(source) + " to " + out);
        IO::WriteOptions options;
        options.bitDepth = bits;
        IO::writeImage(file(source), frameImage(1), options);
        Node& w = write(read(source), out);
        if (scriptValue) {
            ASSERT_TRUE(w.knob("bit_depth")->from_script(scriptValue));
        }
        const ExecuteResult result = execute(*w.firstOp(), {1});
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(headerBits(file(out)), expected);
        std::filesystem::remove(file(out));
    }
    Node& w = write(read("deep.png"), "ten.png");
    w.knob("bit_depth")->setValue(2);
    const ExecuteResult result = execute(*w.firstOp(), {1});
    EXPECT_THAT(result.error, AllOf(HasSubstr(file("ten.png")),
                                    HasSubstr("png files hold 8, 16 bits per sample, not 10")));
    // A number that no item has (a script edited by hand) names the knob.
    w.knob("bit_depth")->setValue(7);
    EXPECT_THAT(execute(*w.firstOp(), {1}).error,
                HasSubstr("its bit_depth knob holds 7, which is not one of its choices"));
}

// Colour is half by default and every other layer float, read back bit for bit; the data
// window is the format, black where the input's box does not reach (not its edge pixels
// repeated), unless overscan keeps the input's box.
TEST_F(ReadWrite, ExrDataLayersAreFloatAndTheFileIsTheFormatUnlessOverscan) {
    IO::ImageData image;
    image.addView(
        "", IO::Test::codedView(Format(6, 5), Box(-2, 1, 4, 3), {Chan_Red, Chan_DisparityL_X}, 0));
    image.view(0).row(Chan_DisparityL_X, 1)[2] = 4095.7f / 4096;
    IO::WriteOptions overscanned;
    overscanned.overscan = true;
    IO::writeImage(file("in.exr"), image, overscanned);
    for (bool overscan : {false, true}) {
        SCOPED_TRACE(overscan ? "overscan" : "cropped");
        Node& w = write(read("in.exr"), "out.exr");
        w.knob("overscan")->setValue(overscan ? 1 : 0);
        const ExecuteResult result = execute(*w.firstOp(), {1});
        ASSERT_TRUE(result.ok) << result.error;
        Imf::MultiPartInputFile in(file("out.exr").c_str());
        const Imf::Header& h = in.header(0);
        EXPECT_EQ(h.channels().findChannel("R")->type, Imf::HALF);
        EXPECT_EQ(h.channels().findChannel("disparityL.x")->type, Imf::FLOAT);
        EXPECT_EQ(h.dataWindow().min, overscan ? Imath::V2i(-2, 2) : Imath::V2i(0, 0));
        EXPECT_EQ(h.dataWindow().max, overscan ? Imath::V2i(3, 3) : Imath::V2i(5, 4));
        const IO::ViewPixels back = IO::readImage(file("out.exr")).view(0);
        EXPECT_EQ(back.at(Chan_DisparityL_X, 0, 1), 4095.7f / 4096);
        EXPECT_EQ(back.at(Chan_Red, 3, 2), image.view(0).at(Chan_Red, 3, 2));
        EXPECT_EQ(back.at(Chan_Red, 3, 0), 0.0f);
        EXPECT_EQ(back.at(Chan_Red, 5, 2), 0.0f);
        EXPECT_EQ(back.at(Chan_Red, -2, 1), overscan ? image.view(0).at(Chan_Red, -2, 1) : 0.0f);
    }
}

// An op whose image covers part of the frame but whose STMap, a position for every pixel,
// is defined over all of it: u = (x + 0.5) / 6 and v = (y + 0.5) / 5 anywhere, red 1 in the
// box.
class PartialPicture : public Iop {
public:
    explicit PartialPicture(Node* node) : Iop(node) {}
    const char* Class() const override { return "PartialPicture"; }
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }
    void _validate(bool) override {
        info().format = info().full_size_format = Format(6, 5);
        info().box = Box(1, 1, 5, 4);
        info().channels =
            ChannelSet{Chan_Red, getChannel("stitch_map.u"), getChannel("stitch_map.v")};
    }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        for (Channel z : channels) {
            float* out = row.writable(z);
            for (int i = x; i < r; ++i)
                out[i] = z == Chan_Red                     ? 1.0f
                         : z == getChannel("stitch_map.u") ? (float(i) + 0.5f) / 6
                                                           : (float(y) + 0.5f) / 5;
        }
    }
};
const Op::Description kPartialPicture("PartialPicture",
                                      [](Node* n) -> Op* { return new PartialPicture(n); });

// The STMap is written over the whole frame, also beyond the image's data box, where the
// colour is black.
TEST_F(ReadWrite, TheStMapCoversTheFrameBeyondTheDataBox) {
    nodes.push_back(std::make_unique<Node>("PartialPicture", "Partial"));
    Node& w = write(*nodes.back(), "out.exr");
    const ExecuteResult result = execute(*w.firstOp(), {1});
    ASSERT_TRUE(result.ok) << result.error;
    const IO::ViewPixels back = IO::readImage(file("out.exr")).view(0);
    EXPECT_EQ(back.box(), Box(0, 0, 6, 5));
    const Channel u = getChannel("stitch_map.u"), v = getChannel("stitch_map.v");
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            SCOPED_TRACE("pixel " + std::to_string(x) + ", " + std::to_string(y));
            EXPECT_EQ(back.at(u, x, y), (float(x) + 0.5f) / 6);
            EXPECT_EQ(back.at(v, x, y), (float(y) + 0.5f) / 5);
            const bool inside = x >= 1 && x < 5 && y >= 1 && y < 4;
            EXPECT_EQ(back.at(Chan_Red, x, y), inside ? 1.0f : 0.0f);
        }
}

// The compression knob reaches the file, and a name the file type does not take is the
// node's error naming the file, which is not written.
TEST_F(ReadWrite, CompressionIsChosenByKnobAndRefusedWhereItDoesNotApply) {
    writeFrame("plate.####.exr", 1);
    Node& source = read("plate.####.exr");
    Node& piz = write(source, "piz.exr");
    piz.knob("compression")->setValue(5);
    ASSERT_TRUE(execute(*piz.firstOp(), {1}).ok);
    EXPECT_EQ(Imf::MultiPartInputFile(file("piz.exr").c_str()).header(0).compression(),
              Imf::PIZ_COMPRESSION);
    for (const auto& [name, item, message] :
         {std::tuple{"lzw.exr", 11, "OpenEXR files have no compression \"lzw\""},
          {"zip.png", 4, "png files have no choice of compression"}}) {
        SCOPED_TRACE(name);
        Node& w = write(source, name);
        w.knob("compression")->setValue(item);
        EXPECT_THAT(execute(*w.firstOp(), {1}).error,
                    AllOf(HasSubstr(file(name)), HasSubstr(message)));
        EXPECT_FALSE(std::filesystem::exists(file(name)));
    }
}

} // namespace
} // namespace Kestrel::Nodes
