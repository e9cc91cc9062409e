// Sequences of integer-format files (PNG, JPEG), per-view paths and frame numbers, the row
// flip, and all-or-nothing writing.
#include "HeaderBits.h"
#include "IOTestImages.h"

#include "Kestrel/IO/ImageReader.h"
#include "Kestrel/IO/ImageWriter.h"

#include <Kx/Image/Iop.h>

#include <OpenImageIO/imageio.h>

#include <gmock/gmock.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>

namespace Kestrel::IO::Test {
namespace {

using namespace Kx::Image;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

// A 5x3 RGBA view of integer codes x + 8 y + 32 c + 128 v (times 257 in 16 bits, so that the
// codes spread over the range), stored as code / maximum; alpha is 1, as the files hold colour
// unpremultiplied and the host premultiplied.
constexpr float kMax8 = 255.0f, kMax16 = 65535.0f;

ViewPixels quantisedView(int v, float maximum) {
    ViewPixels view(Format(5, 3), Box(0, 0, 5, 3), Mask_RGBA);
    const int spread = maximum == kMax16 ? 257 : 1;
    for (Channel z : Mask_RGB)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                view.row(z, y)[x] = float((x + 8 * y + 32 * (z - 1) + 128 * v) * spread) / maximum;
    for (int y = 0; y < 3; ++y) std::fill_n(view.row(Chan_Alpha, y), 5, 1.0f);
    return view;
}

// Integer codes come back as code / maximum computed by the library, which may differ from our
// division in the last bit; the codes themselves must be equal.
void expectSameCodes(const ViewPixels& a, const ViewPixels& b, float maximum) {
    ASSERT_EQ(a.channels(), b.channels());
    ASSERT_EQ(a.box(), b.box());
    for (Channel z : a.channels())
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                ASSERT_EQ(std::lround(a.at(z, x, y) * maximum),
                          std::lround(b.at(z, x, y) * maximum))
                    << getName(z) << " at " << x << "," << y;
}

ImageData stereo() {
    ImageData image;
    image.addView("left", quantisedView(0, kMax8));
    image.addView("right", quantisedView(1, kMax8));
    return image;
}

class KestrelIOImageFiles : public ScratchFolder {};

TEST_F(KestrelIOImageFiles, PngSequencePerViewRoundTrip) {
    const PathPattern pattern(file("plate_%V.####.png"));
    const ImageData image = stereo();
    for (int frame : {1, 2}) writeFrame(pattern, frame, image);
    EXPECT_THAT(entries(), ElementsAre("plate_left.0001.png", "plate_left.0002.png",
                                       "plate_right.0001.png", "plate_right.0002.png"));

    for (const char* view : {"left", "right"}) {
        const ImageData back = readFrame(pattern, 2, view);
        ASSERT_THAT(back.viewNames(), ElementsAre(view));
        expectSameCodes(back.view(0), *image.find(view), kMax8);
    }
}

// Sixteen-bit PNG and TIFF keep sixteen bits and ten-bit DPX ten, every code of them; DPX
// rounds values a third of a step below each code up to it, not down to the code below. An
// image read from such a file is written back at its depth when no depth is asked for.
TEST_F(KestrelIOImageFiles, DeepFilesKeepEveryCodeAndTheirDepth) {
    for (auto [name, bits, maximum] : {std::tuple{"deep.png", 16, kMax16},
                                       {"deep.tif", 16, kMax16},
                                       {"plate.dpx", 10, 1023.0f},
                                       {"plain.tif", 8, kMax8}}) {
        SCOPED_TRACE(name);
        ImageData image;
        ViewPixels& v = image.addView("", quantisedView(1, maximum));
        if (bits == 10)
            for (Channel z : Mask_RGB)
                for (int y = 0; y < 3; ++y)
                    for (int x = 0; x < 5; ++x) v.row(z, y)[x] -= 0.3f / maximum;
        WriteOptions options;
        options.bitDepth = bits;
        writeImage(file(name), image, options);
        EXPECT_EQ(headerBits(file(name)), bits);
        const ImageData back = readImage(file(name));
        EXPECT_EQ(back.bitDepth, bits);
        expectSameCodes(back.view(0), image.view(0), maximum);

        const std::string again = file(std::string("again_") + name);
        writeImage(again, back);
        EXPECT_EQ(headerBits(again), bits);
        expectSameCodes(readImage(again).view(0), image.view(0), maximum);
    }
}

// Files of 8 and 16 bits are decoded at their stored depth and made floats by the reader: every
// code, alpha below one included (the reader premultiplies), must give exactly the float that
// the image library's own float read gives, row for row after the flip.
TEST_F(KestrelIOImageFiles, StoredDepthReadsGiveTheLibrarysFloatsForEveryCode) {
    for (auto [name, type] : {std::tuple{"codes8.png", OIIO::TypeDesc::UINT8},
                              {"codes16.png", OIIO::TypeDesc::UINT16},
                              {"codes8.tif", OIIO::TypeDesc::UINT8},
                              {"codes16.tif", OIIO::TypeDesc::UINT16}}) {
        SCOPED_TRACE(name);
        // 256 x 256 pixels: red runs through every 16-bit code (every 8-bit one 256 times),
        // green the other way, blue the row, alpha the column.
        const int w = 256, h = 256;
        const OIIO::ImageSpec spec(w, h, 4, type);
        std::vector<uint16_t> codes(size_t(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned i = unsigned(y * w + x);
                uint16_t* p = &codes[size_t(i) * 4];
                const bool deep = type == OIIO::TypeDesc::UINT16;
                p[0] = uint16_t(deep ? i : i & 255);
                p[1] = uint16_t(deep ? 65535 - i : 255 - (i & 255));
                p[2] = uint16_t(deep ? y * 257 : y);
                p[3] = uint16_t(deep ? x * 257 : x);
            }
        std::vector<uint8_t> bytes(codes.begin(), codes.end());
        auto out = OIIO::ImageOutput::create(file(name));
        ASSERT_TRUE(out && out->open(file(name), spec));
        ASSERT_TRUE(out->write_image(type, type == OIIO::TypeDesc::UINT8
                                               ? static_cast<const void*>(bytes.data())
                                               : codes.data()));
        ASSERT_TRUE(out->close());

        auto in = OIIO::ImageInput::open(file(name));
        ASSERT_TRUE(in);
        std::vector<float> library(codes.size());
        ASSERT_TRUE(in->read_image(0, 0, 0, 4, OIIO::TypeDesc::FLOAT, library.data()));
        in->close();

        const ImageData back = readImage(file(name));
        const ViewPixels& v = back.view(0);
        for (int c = 0; c < 4; ++c)
            for (int fileRow = 0; fileRow < h; ++fileRow)
                for (int x = 0; x < w; ++x)
                    ASSERT_EQ(v.at(Channel(c + 1), x, h - 1 - fileRow),
                              library[(size_t(fileRow) * w + size_t(x)) * 4 + size_t(c)])
                        << "channel " << c << " file row " << fileRow << " column " << x;
    }
}

// Without a depth asked for, a file takes the smallest depth it holds at or above the image's,
// its deepest below that, and 8 bits for an image of unknown depth.
TEST_F(KestrelIOImageFiles, TheImagesDepthChoosesTheFilesDepth) {
    const std::tuple<const char*, int, int> cases[] = {
        {"a.png", 0, 8},   {"b.png", 10, 16}, {"c.png", 32, 16}, {"d.dpx", 12, 12},
        {"e.dpx", 16, 16}, {"f.dpx", 8, 8},   {"g.tif", 16, 16}, {"h.jpg", 16, 8},
    };
    for (const auto& [name, imageBits, fileBits] : cases) {
        SCOPED_TRACE(name);
        ImageData image;
        image.addView("", quantisedView(0, kMax8));
        image.bitDepth = imageBits;
        writeImage(file(name), image);
        EXPECT_EQ(headerBits(file(name)), fileBits);
    }
}

TEST_F(KestrelIOImageFiles, TiffCompressionIsChosenByName) {
    ImageData image;
    image.addView("", quantisedView(0, kMax16));
    for (auto [name, expected] :
         {std::pair{"", "zip"}, {"zip", "zip"}, {"lzw", "lzw"}, {"none", "none"}}) {
        SCOPED_TRACE(name);
        WriteOptions options;
        options.compression = name;
        options.bitDepth = 16;
        writeImage(file("plate.tif"), image, options);
        auto in = OIIO::ImageInput::open(file("plate.tif"));
        ASSERT_TRUE(in);
        EXPECT_EQ(in->spec().get_string_attribute("compression"), expected);
        expectSameCodes(readImage(file("plate.tif")).view(0), image.view(0), kMax16);
    }
}

// Row 0 of the host is the last scanline of the file, and comes back at row 0.
TEST_F(KestrelIOImageFiles, RowZeroIsTheBottomOfTheFileAndTheDataBoxIsPlacedInTheFormat) {
    ImageData image;
    ViewPixels& v = image.addView("", ViewPixels(Format(3, 4), Box(0, 0, 3, 4), Mask_RGB));
    v.row(Chan_Green, 0)[2] = 1.0f;
    for (const char* name : {"flip.png", "flip.exr"}) {
        SCOPED_TRACE(name);
        writeImage(file(name), image);
        auto in = OIIO::ImageInput::open(file(name));
        ASSERT_TRUE(in);
        ASSERT_EQ(in->spec().height, 4);
        std::vector<float> pixels(3 * 4 * 3);
        ASSERT_TRUE(in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, pixels.data()));
        EXPECT_EQ(pixels[(3 * 3) * 3 + 2 * 3 + 1], 1.0f); // last scanline, x = 2, channel G
        EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 1.0f), 1);
        EXPECT_EQ(readImage(file(name)).view(0).at(Chan_Green, 2, 0), 1.0f);
    }
    // A data box is placed in the full format.
    ImageData boxed;
    boxed.addView("", ViewPixels(Format(4, 4), Box(1, 1, 2, 2), Mask_RGB)).row(Chan_Blue, 1)[0] = 1;
    writeImage(file("box.png"), boxed);
    const ViewPixels back = readImage(file("box.png")).view(0);
    EXPECT_EQ(back.box(), Box(0, 0, 4, 4));
    EXPECT_EQ(back.at(Chan_Blue, 1, 1), 1.0f);
    EXPECT_EQ(back.at(Chan_Blue, 0, 0), 0.0f);
}

TEST_F(KestrelIOImageFiles, MissingFrameNamesTheSequenceFrameAndFile) {
    const PathPattern pattern(file("plate_%V.####.png"));
    writeFrame(pattern, 1, stereo());
    const std::string message = errorOf([&] { readFrame(pattern, 3, "right"); });
    EXPECT_THAT(message, HasSubstr("frame 3 of the sequence " + pattern.text() +
                                   " (view right) is missing: " + file("plate_right.0003.png") +
                                   " does not exist"));
}

// A file read ahead gives what reading it then gives: its pixels, or its error; a file
// rewritten after its read began is read again; a missing file starts nothing; and no more
// than kMaxFilesAhead files are held.
TEST_F(KestrelIOImageFiles, ReadingAheadGivesWhatReadingThenGives) {
    clearReadAhead();
    const PathPattern pattern(file("plate_%V.####.png"));
    for (int frame = 1; frame <= 6; ++frame) writeFrame(pattern, frame, stereo());
    {
        SCOPED_TRACE("pixels of each view");
        readFrameAhead(pattern, 1, "left");
        readFrameAhead(pattern, 1, "right");
        readFrameAhead(pattern, 1, "right"); // already under way
        EXPECT_EQ(filesReadAhead(), 2u);
        for (const char* view : {"left", "right"}) {
            const ImageData back = readFrame(pattern, 1, view);
            ASSERT_THAT(back.viewNames(), ElementsAre(view));
            expectSameCodes(back.view(0), *stereo().find(view), kMax8);
        }
        EXPECT_EQ(filesReadAhead(), 0u);
    }
    {
        SCOPED_TRACE("rewritten after the read began");
        readFrameAhead(pattern, 2, "left");
        ImageData other;
        other.addView("left", quantisedView(1, kMax16));
        writeImage(pattern.expand(2, "left"), other);
        expectSameCodes(readFrame(pattern, 2, "left").view(0), other.view(0), kMax16);
        clearReadAhead();
    }
    {
        SCOPED_TRACE("a damaged file");
        std::ofstream(pattern.expand(3, "left")) << "not an image";
        readFrameAhead(pattern, 3, "left");
        EXPECT_EQ(errorOf([&] { readFrame(pattern, 3, "left"); }),
                  errorOf([&] { readImage(pattern.expand(3, "left")); }));
    }
    {
        SCOPED_TRACE("missing and too many");
        readFrameAhead(pattern, 9, "left");
        EXPECT_EQ(filesReadAhead(), 0u);
        for (int frame = 1; frame <= 6; ++frame) readFrameAhead(pattern, frame, "right");
        EXPECT_EQ(filesReadAhead(), kMaxFilesAhead);
        clearReadAhead();
        EXPECT_EQ(filesReadAhead(), 0u);
    }
}

// Writes that cannot be made say why, naming the file, and write nothing.
TEST_F(KestrelIOImageFiles, RefusedWritesSayWhyAndWriteNothing) {
    ImageData mono;
    mono.addView("", quantisedView(0, kMax8));
    WriteOptions sixteen;
    sixteen.bitDepth = 16;
    EXPECT_THAT(errorOf([&] { writeImage(file("plate.png"), stereo()); }),
                AllOf(HasSubstr(file("plate.png")), HasSubstr("put %V in the path")));
    EXPECT_THAT(errorOf([&] { writeImage(file("plate.jpg"), mono, sixteen); }),
                HasSubstr("jpeg files hold 8 bits per sample, not 16"));
    WriteOptions ten, rle, zip, overscan;
    ten.bitDepth = 10;
    rle.compression = "rle";
    zip.compression = "zip";
    overscan.overscan = true;
    const std::pair<std::string, std::string> refused[] = {
        {errorOf([&] { writeImage(file("plate.png"), mono, ten); }),
         "png files hold 8, 16 bits per sample, not 10"},
        {errorOf([&] { writeImage(file("plate.tif"), mono, rle); }),
         "tiff files have no compression \"rle\"; choose one of zip, lzw, none"},
        {errorOf([&] { writeImage(file("plate.dpx"), mono, zip); }),
         "dpx files have no choice of compression"},
        {errorOf([&] { writeImage(file("plate.png"), mono, overscan); }),
         "png files hold the format only"},
    };
    for (const auto& [message, expected] : refused) EXPECT_THAT(message, HasSubstr(expected));
    EXPECT_THAT(errorOf([&] { writeImage(file("absent/plate.png"), mono); }),
                HasSubstr("cannot write " + file("absent/plate.png") + ": the folder " +
                          file("absent") + " does not exist; create it"));
    EXPECT_TRUE(entries().empty());
    // A regular file in place of a folder is named; a per-view write checks every view's folder
    // before it writes any.
    std::ofstream(file("notes.txt")) << "not a folder";
    EXPECT_THAT(
        errorOf([&] { writeFrame(PathPattern(file("notes.txt/plate.####.exr")), 1, mono); }),
        HasSubstr(file("notes.txt") + " is not a folder"));
    std::filesystem::create_directory(dir / "left");
    EXPECT_THAT(errorOf([&] { writeFrame(PathPattern(file("%V/plate.####.png")), 1, stereo()); }),
                HasSubstr(file("right") + " does not exist"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "left"));
    EXPECT_THAT(entries(), ElementsAre("left", "notes.txt"));
}

std::string slurpBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void spit(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A DPX header's 32-bit field at `offset`, in the file's byte order.
std::string withDpxField(std::string dpx, size_t offset, uint32_t value) {
    const bool bigEndian = dpx.compare(0, 4, "SDPX") == 0;
    for (int i = 0; i < 4; ++i)
        dpx[offset + size_t(i)] = char(value >> (bigEndian ? 24 - 8 * i : 8 * i));
    return dpx;
}

// Damaged headers and files cut short are refused naming the file and what is wrong, before
// anything is allocated for the sizes they claim; a reason is never empty.
TEST_F(KestrelIOImageFiles, DamagedHeadersAndCutShortFilesAreRefused) {
    ImageData image;
    image.addView("", quantisedView(0, kMax8));
    writeImage(file("plate.dpx"), image);
    writeImage(file("plate.jpg"), image);
    const std::string dpx = slurpBytes(file("plate.dpx"));
    const std::string jpg = slurpBytes(file("plate.jpg"));
    const size_t scan = jpg.rfind("\xFF\xDA");
    ASSERT_NE(scan, std::string::npos);
    // The user data's size at 32; pixels per line and lines at 772 and 776; the original
    // (display) size at 1424 and 1428.
    struct Case {
        const char* name;
        std::string bytes;
        const char* why;
    };
    const Case cases[] = {
        {"huge.dpx", withDpxField(withDpxField(dpx, 772, 0xFFFFFF), 776, 0xFFFFFF),
         "its header gives a data window of 16777215 x 16777215"},
        {"display.dpx", withDpxField(withDpxField(dpx, 1424, 160), 1428, 8372224),
         "its header gives a display window of 160 x 8372224"},
        {"claims.dpx", withDpxField(withDpxField(dpx, 772, 16384), 776, 8192),
         "its header gives 16384 x 8192 pixels of 4 channels, more than a file of"},
        {"userdata.dpx", withDpxField(dpx, 32, 0x82828282),
         "its header gives 2189591170 bytes of user data, more than the file holds"},
        {"header.dpx", dpx.substr(0, 1000), "check that it is a complete image file"},
        {"cut.jpg", jpg.substr(0, scan + (jpg.size() - scan) / 2),
         "the JPEG data ends before the end of its image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        spit(file(c.name), c.bytes);
        const std::string message = errorOf([&] { readImage(file(c.name)); });
        EXPECT_THAT(message, HasSubstr("cannot read " + file(c.name) + ": "));
        EXPECT_THAT(message, HasSubstr(c.why));
        EXPECT_THAT(message, Not(HasSubstr(": ;")));
    }
    EXPECT_EQ(readImage(file("plate.jpg")).view(0).box(), Box(0, 0, 5, 3));
}

// A write killed before it could rename its temporary file leaves it behind; the next write of
// the same file removes it. Temporary files of live processes and of other files stay.
TEST_F(KestrelIOImageFiles, TheNextWriteRemovesTemporaryFilesOfKilledWrites) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string dead = std::to_string(child), live = std::to_string(getppid());
    for (const std::string& name : {".plate.png.tmp" + dead + "_0", ".plate.png.tmp" + dead + "_7",
                                    ".plate.png.tmp" + live + "_0", ".other.png.tmp" + dead + "_0",
                                    std::string(".plate.png.tmpx_0")})
        spit(file(name), "partial");
    ImageData image;
    image.addView("", quantisedView(0, kMax8));
    writeImage(file("plate.png"), image);
    EXPECT_THAT(entries(),
                ElementsAre(".other.png.tmp" + dead + "_0", ".plate.png.tmp" + live + "_0",
                            ".plate.png.tmpx_0", "plate.png"));
}

// Pixels in memory: rows lie stride() floats apart, as the engine's kept areas do; a copy has
// pixels of its own and a shared copy the same ones; a new view is black also in memory that
// an earlier view left behind.
TEST(ViewPixelsInMemory, CopiesOwnTheirPixelsAndSharedCopiesShareThem) {
    ViewPixels v = quantisedView(0, kMax8);
    EXPECT_EQ(v.stride(), Plane::strideFor(5));
    EXPECT_EQ(v.row(Chan_Red, 2), v.memory(Chan_Red).get() + 2 * v.stride());
    ViewPixels copy = v;
    const ViewPixels shared = v.sharedCopy();
    expectSameCodes(copy, v, kMax8);
    copy.row(Chan_Red, 1)[2] = 0.5f;
    v.row(Chan_Green, 1)[2] = 0.75f;
    EXPECT_EQ(v.at(Chan_Red, 2, 1), float(2 + 8) / kMax8);
    EXPECT_EQ(copy.at(Chan_Green, 2, 1), float(2 + 8 + 32) / kMax8);
    EXPECT_EQ(shared.at(Chan_Green, 2, 1), 0.75f);
    EXPECT_EQ(v.memory(Chan_Z), nullptr);
    {
        ViewPixels dirty = ViewPixels::unset(Format(5, 3), Box(0, 0, 5, 3), Mask_RGB);
        for (Channel z : Mask_RGB)
            for (int y = 0; y < 3; ++y) std::fill_n(dirty.row(z, y), 5, 9.0f);
    }
    const ViewPixels clean(Format(5, 3), Box(0, 0, 5, 3), Mask_RGB);
    for (Channel z : Mask_RGB)
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) ASSERT_EQ(clean.at(z, x, y), 0.0f) << x << "," << y;
}

} // namespace
} // namespace Kestrel::IO::Test
