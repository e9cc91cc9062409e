// The Blur operator on tiny images made in code: a constant, a single bright pixel and a
// coordinate ramp, read back row by row through the engine.
#include "TestImages.h"

#include "Kx/Image/Blur.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace Kx::Image;
using KxTest::PatternSource;

// Wires blur to src, validates it and requests its whole output box.
void prepare(Blur& blur, PatternSource& src) {
    blur.set_node_inputs(1);
    blur.set_input(0, &src);
    blur.invalidate();
    blur.validate(true);
    blur.request(blur.box(), Mask_RGBA);
}

float pixel(Blur& blur, int x, int y, Channel z = Chan_Red) {
    Row row(x, x + 1);
    row.get(blur, y, x, x + 1, Mask_RGBA);
    return row[z][x];
}

// A 21 x 21 black image with one white pixel at (10, 10).
PatternSource brightPixel(const std::string& name) {
    return PatternSource(name, Box(0, 0, 21, 21),
                         [](int x, int y, Channel) { return x == 10 && y == 10 ? 1.0f : 0.0f; });
}

TEST(Blur, ConstantImageStaysConstantUpToTheGrownEdges) {
    PatternSource src("constant", Box(0, 0, 20, 12), [](int, int, Channel) { return 0.75f; });
    Blur blur(nullptr);
    blur.size(7, 5);
    prepare(blur, src);
    // Half the size, rounded up, on each side.
    EXPECT_EQ(blur.box(), Box(-4, -3, 24, 15));
    EXPECT_EQ(blur.channels(), Mask_RGBA);
    // Reads beyond the input's box repeat its edge, so the border does not darken.
    const Box& b = blur.box();
    for (int y = b.y(); y < b.t(); ++y) {
        Row row(b.x(), b.r());
        row.get(blur, y, b.x(), b.r(), Mask_RGBA);
        for (Channel z : Mask_RGBA)
            for (int x = b.x(); x < b.r(); ++x)
                // Nine weights rounded to float, summed in float: a few ulps of 0.75.
                ASSERT_NEAR(row[z][x], 0.75f, 1e-6f) << "x=" << x << " y=" << y;
    }
}

TEST(Blur, SingleBrightPixelSpreadsAsANormalisedSymmetricGaussian) {
    PatternSource src = brightPixel("bright");
    Blur blur(nullptr);
    blur.size(6); // sigma 1, radius 3
    prepare(blur, src);
    EXPECT_EQ(blur.box(), Box(-3, -3, 24, 24));
    double sum = 0;
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 21; ++x) {
            const float v = pixel(blur, x, y);
            sum += v;
            // Only one term of each pass is non-zero, so mirrored pixels are equal exactly.
            EXPECT_EQ(v, pixel(blur, 20 - x, y)) << x << "," << y;
            EXPECT_EQ(v, pixel(blur, x, 20 - y)) << x << "," << y;
            EXPECT_EQ(v, pixel(blur, y, x)) << x << "," << y;
            if (std::abs(x - 10) > 3 || std::abs(y - 10) > 3) {
                EXPECT_EQ(v, 0.0f);
            }
        }
    // Seven normalised float weights per axis.
    EXPECT_NEAR(sum, 1.0, 1e-6);
    // The fall-off one pixel away is exp(-1 / (2 sigma^2)); tolerance for float weights.
    EXPECT_NEAR(pixel(blur, 11, 10) / pixel(blur, 10, 10), std::exp(-0.5), 1e-6);
    EXPECT_NEAR(pixel(blur, 12, 10) / pixel(blur, 10, 10), std::exp(-2.0), 1e-6);
    EXPECT_NEAR(pixel(blur, 11, 11) / pixel(blur, 10, 10), std::exp(-1.0), 1e-6);
}

TEST(Blur, SizeZeroPassesPixelsThroughOnItsAxis) {
    PatternSource src("coordinates", Box(2, 1, 15, 9),
                      [](int x, int y, Channel z) { return float(x + 10 * y + 1000 * z); });
    Blur blur(nullptr);
    blur.size(0);
    prepare(blur, src);
    EXPECT_EQ(blur.box(), Box(2, 1, 15, 9));
    for (int y = 1; y < 9; ++y)
        for (int x = 2; x < 15; ++x)
            for (Channel z : Mask_RGBA)
                ASSERT_EQ(pixel(blur, x, y, z), float(x + 10 * y + 1000 * z));
    // Size zero on one axis leaves that axis alone.
    PatternSource bright = brightPixel("bright");
    Blur vertical(nullptr);
    vertical.size(0, 6);
    prepare(vertical, bright);
    EXPECT_EQ(vertical.box(), Box(0, -3, 21, 24));
    Blur horizontal(nullptr);
    horizontal.size(6, 0);
    prepare(horizontal, bright);
    EXPECT_EQ(horizontal.box(), Box(-3, 0, 24, 21));
    for (int d = -5; d <= 5; ++d)
        for (int x = 0; x < 21; ++x) {
            if (x == 10) continue;
            EXPECT_EQ(pixel(vertical, x, 10 + d), 0.0f);
            EXPECT_EQ(pixel(horizontal, 10 + d, x), 0.0f);
        }
    for (int d = -3; d <= 3; ++d) {
        EXPECT_GT(pixel(vertical, 10, 10 + d), 0.0f);
        EXPECT_EQ(pixel(vertical, 10, 10 + d), pixel(horizontal, 10 + d, 10));
    }
}

TEST(Blur, OnlyTheChosenChannelsAreBlurred) {
    PatternSource src = brightPixel("bright");
    Blur blur(nullptr);
    blur.size(6);
    blur.channels_to_blur(Mask_Alpha);
    prepare(blur, src);
    EXPECT_EQ(pixel(blur, 10, 10, Chan_Red), 1.0f);
    EXPECT_EQ(pixel(blur, 11, 10, Chan_Green), 0.0f);
    EXPECT_LT(pixel(blur, 10, 10, Chan_Alpha), 1.0f);
    EXPECT_GT(pixel(blur, 11, 10, Chan_Alpha), 0.0f);
    // Nothing to blur: the box stays the input's.
    Blur none(nullptr);
    none.size(6);
    none.channels_to_blur(Mask_Motion);
    prepare(none, src);
    EXPECT_EQ(none.box(), src.box());
}

TEST(Blur, RequestsTheInputAreaGrownByTheRadii) {
    PatternSource src("ramp", Box(0, 0, 40, 30),
                      [](int x, int y, Channel) { return float(x + 10 * y); });
    Blur blur(nullptr);
    blur.size(9, 4); // radii 5 and 2
    blur.set_input(0, &src);
    blur.validate(true);
    blur.request(10, 10, 20, 15, Mask_RGB);
    EXPECT_EQ(src.requestedBox(), Box(5, 8, 25, 17));
    EXPECT_EQ(src.requested_channels(), Mask_RGB);
}

TEST(Blur, SizesScaleWithTheProxyScale) {
    PatternSource src = brightPixel("bright");
    Blur blur(nullptr);
    blur.size(12, 8);
    OutputContext half;
    half.proxyscale(0.5, 0.5);
    blur.setOutputContext(half);
    prepare(blur, src);
    // Sizes 6 and 4 in proxy pixels: radii 3 and 2.
    EXPECT_EQ(blur.box(), Box(-3, -2, 24, 23));
    EXPECT_NEAR(pixel(blur, 11, 10) / pixel(blur, 10, 10), std::exp(-0.5), 1e-6);
}

TEST(Blur, HashFollowsSizeAndChannels) {
    PatternSource src = brightPixel("bright");
    Blur blur(nullptr);
    const auto hashOf = [&](float w, float h, const ChannelSet& channels) {
        blur.size(w, h);
        blur.channels_to_blur(channels);
        prepare(blur, src);
        return blur.hash();
    };
    const Hash six = hashOf(6, 6, Mask_RGBA);
    EXPECT_NE(hashOf(7, 7, Mask_RGBA), six);
    EXPECT_NE(hashOf(6, 7, Mask_RGBA), six);
    EXPECT_EQ(hashOf(6, 6, Mask_RGBA), six);
    EXPECT_NE(hashOf(6, 6, Mask_RGB), six);
}

} // namespace
