// OpenEXR files: both multi-view layouts round-trip pixels, named layers and metadata; the
// channel names and view attributes in the file follow the ecosystem's conventions; bad
// requests give one message naming the file.
#include "IOTestImages.h"

#include "Kestrel/IO/ChannelNames.h"

#include "Kestrel/IO/ImageReader.h"
#include "Kestrel/IO/ImageWriter.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfDoubleAttribute.h>
#include <OpenEXR/ImfFloatAttribute.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfMatrixAttribute.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfMultiView.h>
#include <OpenEXR/ImfOutputFile.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStringAttribute.h>

#include <Imath/half.h>

#include <Kx/Image/Engine.h>

#include <gmock/gmock.h>

#include <csignal>
#include <fstream>
#include <random>
#include <sys/resource.h>

namespace Kestrel::IO::Test {
namespace {

using namespace Kx::Image;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

// Colour, depth, both motion pairs, both disparity pairs and an STMap.
std::vector<Channel> allLayers() {
    const ChannelSet all = Mask_RGBA + ChannelSet{Chan_Z} + Mask_Motion + Mask_Disparity +
                           ChannelSet{getChannel("stitch_map.u"), getChannel("stitch_map.v")};
    return {all.begin(), all.end()};
}

MetaData::Bundle someMetadata() {
    MetaData::Bundle m;
    m.setData("exr/owner", std::string("stereo unit"));
    m.setData("rig/cameraCount", 2);
    m.setData("rig/interaxial", 6.35);
    m.setData("rig/leftToRight",
              std::vector<double>{1, 0, 0, 0.0635, 0, 1, 0, 0, 0, 0, 1, 0.1 / 3, 0, 0, 0, 1});
    m.setData("rig/distortion", std::vector<double>{1e-7, -2.5, 3.0 / 7});
    return m;
}

// A stereo image whose two views have different boxes, one reaching outside the format.
ImageData stereoImage() {
    ImageData image;
    const Format format(6, 5);
    image.addView("left", codedView(format, Box(0, 0, 4, 3), allLayers(), 0));
    image.addView("right", codedView(format, Box(-1, 1, 6, 6), allLayers(), 1));
    image.metadata = someMetadata();
    return image;
}

// A w x 2 view of coded red.
ViewPixels redView(int w, int v) {
    return codedView(Format(w, 2), Box(0, 0, w, 2), {Chan_Red}, v);
}

std::vector<std::string> channelNames(const Imf::Header& h) {
    std::vector<std::string> names;
    for (auto c = h.channels().begin(); c != h.channels().end(); ++c) names.push_back(c.name());
    return names;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class KestrelIOExrFiles : public ScratchFolder {};

TEST_F(KestrelIOExrFiles, SinglePartMultiViewRoundTripNamesChannelsByViewPrefix) {
    const ImageData image = stereoImage();
    WriteOptions options;
    options.exrPixelType = ExrPixelType::Float;
    options.overscan = true;
    writeImage(file("plate.exr"), image, options);

    const ImageData back = readImage(file("plate.exr"));
    ASSERT_THAT(back.viewNames(), ElementsAre("left", "right"));
    // A single part has one data window: both views come back over the union of the boxes,
    // with zeros where a view had no pixels.
    const Box both(-1, 0, 6, 6);
    EXPECT_EQ(back.view(0).box(), both);
    for (size_t v = 0; v < 2; ++v)
        for (Channel z : image.view(v).channels())
            for (int y = both.y(); y < both.t(); ++y)
                for (int x = both.x(); x < both.r(); ++x)
                    ASSERT_EQ(back.view(v).at(z, x, y), image.view(v).at(z, x, y))
                        << getName(z) << " at " << x << "," << y;
    EXPECT_EQ(back.metadata, image.metadata);

    // In the file the channels of all but the first view carry the view as a prefix.
    Imf::MultiPartInputFile in(file("plate.exr").c_str());
    ASSERT_EQ(in.parts(), 1);
    const Imf::Header& h = in.header(0);
    ASSERT_TRUE(Imf::hasMultiView(h));
    EXPECT_THAT(Imf::multiView(h), ElementsAre("left", "right"));
    const std::vector<std::string> names = channelNames(h);
    for (const char* n :
         {"R", "A", "Z", "forward.u", "backward.v", "disparityL.x", "disparityR.y", "stitch_map.u",
          "right.R", "right.Z", "right.disparityL.x", "right.forward.u", "right.stitch_map.v"})
        EXPECT_THAT(names, testing::Contains(n));
    EXPECT_EQ(names.size(), 30u);
    // exr/owner is the standard attribute, other groups keep their key as the name.
    ASSERT_NE(h.findTypedAttribute<Imf::StringAttribute>("owner"), nullptr);
    EXPECT_NE(h.findTypedAttribute<Imf::IntAttribute>("rig/cameraCount"), nullptr);
}

TEST_F(KestrelIOExrFiles, MultiPartRoundTripHasAViewPerPart) {
    const ImageData image = stereoImage();
    WriteOptions options;
    options.exrLayout = ExrLayout::MultiPart;
    options.overscan = true;
    writeImage(file("plate.exr"), image, options);

    const ImageData back = readImage(file("plate.exr"));
    ASSERT_THAT(back.viewNames(), ElementsAre("left", "right"));
    // Half holds these small integers exactly, and each part keeps its view's own box.
    expectSameView(back.view(0), image.view(0));
    expectSameView(back.view(1), image.view(1));
    EXPECT_EQ(back.metadata, image.metadata);

    // In the file each part holds one view, without prefixes.
    Imf::MultiPartInputFile in(file("plate.exr").c_str());
    ASSERT_EQ(in.parts(), 2);
    for (int p = 0; p < 2; ++p) {
        const Imf::Header& h = in.header(p);
        ASSERT_TRUE(h.hasView());
        EXPECT_EQ(h.view(), p == 0 ? "left" : "right");
        const std::vector<std::string> names = channelNames(h);
        EXPECT_EQ(names.size(), 15u);
        EXPECT_THAT(names, testing::Contains("disparityL.x"));
        EXPECT_THAT(names, testing::Contains("R"));
        EXPECT_DOUBLE_EQ(h.findTypedAttribute<Imf::DoubleAttribute>("rig/interaxial")->value(),
                         6.35);
    }
}

// Colour is half unless asked otherwise; every other layer is float, bit for bit, whatever
// colour is: values that half would round (an STMap position at 4096 wide, a disparity of
// 1000.3 px, a tiny motion) come back exactly.
TEST_F(KestrelIOExrFiles, DataLayersAreFloatBitForBitAndColourFollowsItsType) {
    const std::vector<Channel> channels = allLayers();
    const float awkward[] = {4095.5f / 4096, 1000.3f, -1e-20f, 0.1f, 3.0e30f};
    for (ExrPixelType colour : {ExrPixelType::Half, ExrPixelType::Float}) {
        SCOPED_TRACE(colour == ExrPixelType::Half ? "half colour" : "float colour");
        ImageData image;
        ViewPixels& v = image.addView("", ViewPixels(Format(5, 1), Box(0, 0, 5, 1), {}));
        for (Channel z : channels) {
            v.addChannel(z);
            std::copy(std::begin(awkward), std::end(awkward), v.row(z, 0));
        }
        WriteOptions options;
        options.exrPixelType = colour;
        writeImage(file("data.exr"), image, options);

        const ImageData back = readImage(file("data.exr"));
        EXPECT_EQ(back.bitDepth, colour == ExrPixelType::Half ? 16 : 32);
        Imf::MultiPartInputFile in(file("data.exr").c_str());
        for (Channel z : channels) {
            const bool isColour = Mask_RGBA.contains(z);
            const std::string name = fileChannelName(z);
            SCOPED_TRACE(name);
            const Imf::Channel* c = in.header(0).channels().findChannel(name);
            ASSERT_NE(c, nullptr);
            EXPECT_EQ(c->type, isColour && colour == ExrPixelType::Half ? Imf::HALF : Imf::FLOAT);
            for (int x = 0; x < 5; ++x) {
                const float expected = isColour && colour == ExrPixelType::Half
                                           ? float(Imath::half(awkward[x]))
                                           : awkward[x];
                EXPECT_EQ(back.view(0).at(z, x, 0), expected) << "x " << x;
            }
        }
    }
}

// By default every file is exactly the format: a data box beyond it is cut, one inside it is
// padded with black; with overscan the data window is the data box.
TEST_F(KestrelIOExrFiles, TheDataWindowIsTheFormatUnlessOverscanIsKept) {
    const Format format(741, 500);
    const Box boxes[] = {Box(-5, -7, 746, 507), Box(100, 50, 300, 60)};
    for (const Box& box : boxes)
        for (bool overscan : {false, true}) {
            SCOPED_TRACE(std::to_string(box.x()) + (overscan ? " with overscan" : " cropped"));
            ImageData image;
            image.addView("", codedView(format, box, {Chan_Red, Chan_DisparityL_X}, 0));
            WriteOptions options;
            options.overscan = overscan;
            writeImage(file("plate.exr"), image, options);

            Imf::MultiPartInputFile in(file("plate.exr").c_str());
            const Imath::Box2i display = in.header(0).displayWindow();
            const Imath::Box2i data = in.header(0).dataWindow();
            EXPECT_EQ(display.max, Imath::V2i(740, 499));
            if (overscan) {
                EXPECT_EQ(data.min, Imath::V2i(box.x(), 500 - box.t()));
                EXPECT_EQ(data.max, Imath::V2i(box.r() - 1, 499 - box.y()));
            } else {
                EXPECT_EQ(data, display);
            }
            const ViewPixels back = readImage(file("plate.exr")).view(0);
            Box kept = box;
            if (!overscan) kept.intersect(Box(0, 0, 741, 500));
            for (int y = back.box().y(); y < back.box().t(); y += 3)
                for (int x = back.box().x(); x < back.box().r(); x += 7) {
                    const bool inside =
                        x >= kept.x() && x < kept.r() && y >= kept.y() && y < kept.t();
                    ASSERT_EQ(back.at(Chan_DisparityL_X, x, y),
                              inside ? image.view(0).at(Chan_DisparityL_X, x, y) : 0.0f)
                        << x << "," << y;
                }
        }
}

// Every compression by name reaches the header; the lossless ones, and pxr24 for values with
// few significant bits, give every pixel back.
TEST_F(KestrelIOExrFiles, CompressionIsChosenByName) {
    const std::tuple<const char*, Imf::Compression, bool> names[] = {
        {"", Imf::ZIP_COMPRESSION, true},        {"none", Imf::NO_COMPRESSION, true},
        {"rle", Imf::RLE_COMPRESSION, true},     {"zips", Imf::ZIPS_COMPRESSION, true},
        {"zip", Imf::ZIP_COMPRESSION, true},     {"piz", Imf::PIZ_COMPRESSION, true},
        {"pxr24", Imf::PXR24_COMPRESSION, true}, {"b44", Imf::B44_COMPRESSION, false},
        {"b44a", Imf::B44A_COMPRESSION, false},  {"dwaa", Imf::DWAA_COMPRESSION, false},
        {"dwab", Imf::DWAB_COMPRESSION, false},
    };
    const ImageData image = stereoImage();
    for (const auto& [name, compression, exact] : names) {
        SCOPED_TRACE(name);
        WriteOptions options;
        options.compression = name;
        options.exrLayout = ExrLayout::MultiPart;
        options.overscan = true;
        writeImage(file("plate.exr"), image, options);
        Imf::MultiPartInputFile in(file("plate.exr").c_str());
        EXPECT_EQ(in.header(0).compression(), compression);
        if (!exact) continue;
        const ImageData back = readImage(file("plate.exr"));
        expectSameView(back.view(0), image.view(0));
        expectSameView(back.view(1), image.view(1));
    }
    WriteOptions lzw;
    lzw.compression = "lzw";
    const std::string message = errorOf([&] { writeImage(file("lzw.exr"), image, lzw); });
    EXPECT_THAT(message, HasSubstr(file("lzw.exr")));
    EXPECT_THAT(message, HasSubstr("no compression \"lzw\"; choose one of none, rle, zips"));
    EXPECT_THAT(entries(), ElementsAre("plate.exr"));
}

// Files written elsewhere may name layered channels layer.view.channel and use float and
// matrix attributes; both are understood.
TEST_F(KestrelIOExrFiles, ReadsLayerViewChannelNamesAndForeignAttributes) {
    const Imath::Box2i window(Imath::V2i(0, 0), Imath::V2i(1, 0));
    Imf::Header h(window, window);
    Imf::addMultiView(h, {"left", "right"});
    h.insert("lens", Imf::FloatAttribute(0.5f));
    h.insert("camera/worldToCamera",
             Imf::M44fAttribute(Imath::M44f().setTranslation(Imath::V3f(1, 2, 3))));
    std::vector<float> values[3] = {{1, 2}, {3, 4}, {5, 6}};
    const char* names[3] = {"R", "disparityL.x", "disparityL.right.x"};
    Imf::FrameBuffer fb;
    for (int i = 0; i < 3; ++i) {
        h.channels().insert(names[i], Imf::Channel(Imf::FLOAT));
        fb.insert(names[i], Imf::Slice::Make(Imf::FLOAT, values[i].data(), window));
    }
    {
        Imf::OutputFile out(file("foreign.exr").c_str(), h);
        out.setFrameBuffer(fb);
        out.writePixels(1);
    }

    const ImageData back = readImage(file("foreign.exr"));
    ASSERT_THAT(back.viewNames(), ElementsAre("left", "right"));
    EXPECT_EQ(back.view(0).channels(), ChannelSet({Chan_Red, Chan_DisparityL_X}));
    EXPECT_EQ(back.view(1).channels(), ChannelSet({Chan_DisparityL_X}));
    EXPECT_EQ(back.view(0).at(Chan_DisparityL_X, 1, 0), 4.0f);
    EXPECT_EQ(back.view(1).at(Chan_DisparityL_X, 1, 0), 6.0f);
    double lens = 0;
    EXPECT_TRUE(back.metadata.getDouble("exr/lens", lens));
    EXPECT_EQ(lens, 0.5);
    std::vector<double> m;
    ASSERT_TRUE(back.metadata.getDoubles("camera/worldToCamera", m));
    ASSERT_EQ(m.size(), 16u);
    EXPECT_EQ(m[12], 1.0); // Imath matrices keep the translation in the last row
    EXPECT_EQ(m[14], 3.0);
}

TEST_F(KestrelIOExrFiles, ReadsOnlyTheRequestedViewsAndChannelsOrAnyViewOfAMonoFile) {
    writeImage(file("plate.exr"), stereoImage());
    ReadOptions options;
    options.views = {"right"};
    options.channels = {Chan_Forward_U, getChannel("stitch_map.v")};
    const ImageData back = readImage(file("plate.exr"), options);
    ASSERT_THAT(back.viewNames(), ElementsAre("right"));
    EXPECT_EQ(back.view(0).channels(), options.channels);
    EXPECT_EQ(back.view(0).at(Chan_Forward_U, 2, 3), codedValue(2, 3, 5, 1));
    // A file without views serves any view.
    ImageData mono;
    mono.addView("", redView(2, 0));
    writeImage(file("mono.exr"), mono);
    options = {};
    options.views = {"left", "right"};
    const ImageData served = readImage(file("mono.exr"), options);
    ASSERT_THAT(served.viewNames(), ElementsAre("left", "right"));
    expectSameView(served.view(1), mono.view(0));
}

// A missing file, view or channel: one message naming the file and what it lacks.
TEST_F(KestrelIOExrFiles, WhatIsNotThereIsNamed) {
    writeImage(file("plate.exr"), stereoImage());
    ImageData red;
    red.addView("left", redView(2, 0));
    red.addView("right", redView(2, 1));
    writeImage(file("red.exr"), red);
    ReadOptions centre, disparity;
    centre.views = {"centre"};
    disparity.channels = {Chan_Red, Chan_DisparityR_X};
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {errorOf([&] { readImage(file("nothing.exr")); }),
         {file("nothing.exr"), "does not exist; check the path"}},
        {errorOf([&] { readImage(file("plate.exr"), centre); }),
         {file("plate.exr"), "no view \"centre\" (its views: left, right)"}},
        {errorOf([&] { readImage(file("red.exr"), disparity); }),
         {file("red.exr"), "view \"left\" has no channel disparityR.x", "it has: rgba.red"}},
    };
    for (const auto& [message, parts] : cases)
        for (const std::string& part : parts) EXPECT_THAT(message, HasSubstr(part));
}

TEST_F(KestrelIOExrFiles, ViewsOfDifferentFormatsAreRefused) {
    ImageData image;
    image.addView("left", redView(2, 0));
    image.addView("right", redView(3, 1));
    for (ExrLayout layout : {ExrLayout::SinglePart, ExrLayout::MultiPart}) {
        WriteOptions options;
        options.exrLayout = layout;
        const std::string message = errorOf([&] { writeImage(file("plate.exr"), image, options); });
        EXPECT_THAT(message, HasSubstr(file("plate.exr")));
        EXPECT_THAT(message, HasSubstr("view \"right\" is 3x2 but view \"left\" is 2x2"));
        EXPECT_THAT(message, HasSubstr("one file per view"));
        EXPECT_TRUE(entries().empty());
    }
}

// A disk that fills up part-way through: the size limit for files of this process makes the
// write fail after the temporary file has been created and partly written.
TEST_F(KestrelIOExrFiles, FailedWriteLeavesTheOldFileAndNoTemporary) {
    ImageData small;
    small.addView("", redView(2, 0));
    ImageData noisy;
    ViewPixels& v = noisy.addView("", ViewPixels(Format(256, 256), Box(0, 0, 256, 256), Mask_RGBA));
    std::mt19937 random(7);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (Channel z : Mask_RGBA)
        for (int y = 0; y < 256; ++y)
            for (int x = 0; x < 256; ++x) v.row(z, y)[x] = uniform(random);
    WriteOptions options;
    options.exrPixelType = ExrPixelType::Float;

    for (const char* name : {"plate.exr", "plate.png"}) {
        SCOPED_TRACE(name);
        writeImage(file(name), small);
        const std::string before = contents(file(name));
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit limited = old;
        limited.rlim_cur = 16384;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
        const std::string message = errorOf([&] { writeImage(file(name), noisy, options); });
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        EXPECT_THAT(message, HasSubstr("cannot write " + file(name)));
        EXPECT_THAT(entries(), ElementsAre(name));
        EXPECT_EQ(contents(file(name)), before);
        std::filesystem::remove(file(name));
    }
}

// A plate taller than one block of rows handed to OpenEXR, of float noise, in every
// compression that the threads share differently.
ImageData tallNoise() {
    ImageData image;
    ViewPixels& v =
        image.addView("", ViewPixels(Format(97, 601), Box(0, 0, 97, 601), {Chan_Red, Chan_Z}));
    std::mt19937 random(11);
    std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
    for (Channel z : {Chan_Red, Chan_Z})
        for (int y = 0; y < 601; ++y)
            for (int x = 0; x < 97; ++x) v.row(z, y)[x] = uniform(random);
    return image;
}

// The file is written in blocks of rows on the engine's threads: every row arrives, in its
// place, and the bytes of the file do not depend on how many threads compressed it.
TEST_F(KestrelIOExrFiles, BlocksOfRowsOnAnyNumberOfThreadsMakeTheSameFile) {
    const ImageData image = tallNoise();
    WriteOptions options;
    options.exrPixelType = ExrPixelType::Float;
    for (const char* compression : {"zip", "piz", "dwab", "none"}) {
        SCOPED_TRACE(compression);
        options.compression = compression;
        std::string bytes[2];
        for (unsigned threads : {1u, 3u}) {
            Engine::setThreads(threads);
            writeImage(file("tall.exr"), image, options);
            bytes[threads == 1 ? 0 : 1] = contents(file("tall.exr"));
        }
        Engine::setThreads(0);
        EXPECT_EQ(bytes[0], bytes[1]);
        if (std::string(compression) == "dwab") continue; // lossy: only the bytes compare
        const ImageData back = readImage(file("tall.exr"));
        for (Channel z : {Chan_Red, Chan_Z})
            for (int y = 0; y < 601; y += 50) {
                SCOPED_TRACE(y);
                EXPECT_TRUE(std::equal(back.view(0).row(z, y), back.view(0).row(z, y) + 97,
                                       image.view(0).row(z, y)));
            }
    }
}

// Ctrl-C during a long write stops it between blocks of rows; the old file stays and no
// temporary is left behind.
TEST_F(KestrelIOExrFiles, InterruptedWriteLeavesTheOldFileAndNoTemporary) {
    ImageData small;
    small.addView("", redView(2, 0));
    writeImage(file("plate.exr"), small);
    const std::string before = contents(file("plate.exr"));
    Engine::interruptAll();
    const std::string message = errorOf([&] { writeImage(file("plate.exr"), tallNoise()); });
    Engine::resetInterrupt();
    EXPECT_THAT(message, HasSubstr("cannot write " + file("plate.exr") + ": interrupted"));
    EXPECT_THAT(entries(), ElementsAre("plate.exr"));
    EXPECT_EQ(contents(file("plate.exr")), before);
}

} // namespace
} // namespace Kestrel::IO::Test
