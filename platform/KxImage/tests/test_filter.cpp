// The host's filter list: the weights of one sample, their normalisation, symmetry, the
// half-pixel convention and the response of each kernel to a single bright pixel.
#include "Kx/Image/Filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using Kx::Image::Filter;

constexpr int kCap = 64;

struct Taps {
    int first = 0, n = 0;
    float w[kCap];
    // Weight of column i (0 outside the taps).
    float at(int i) const { return i >= first && i < first + n ? w[i - first] : 0.0f; }
};

Taps weigh(const Filter& f, double p, double s) {
    Taps t;
    t.n = f.weights(p, s, t.first, t.w, kCap);
    return t;
}

// Sample positions over a few pixels, at sixteen phases within each pixel, offset by 1/32
// so no position lies on a pixel edge (where the nearest pixel of Impulse is a choice).
std::vector<double> phases() {
    std::vector<double> p;
    for (int i = -3; i < 3; ++i)
        for (int k = 0; k < 16; ++k) p.push_back(i + k / 16.0 + 1 / 32.0);
    return p;
}

const double kFootprints[] = {0.25, 1.0, 1.5, 2.0, 3.7};

TEST(Filter, UnknownTypesFallBackToCubic) {
    EXPECT_STREQ(Filter::name(12), "");
    EXPECT_EQ(Filter(42).type(), Filter::Cubic);
    EXPECT_EQ(Filter(-1).type(), Filter::Cubic);
}

// The weights of every filter add up to one, are symmetric about the sample, and for
// Parzen are never negative.
TEST(Filter, WeightsAddUpToOneAndAreSymmetricAboutTheSample) {
    for (int t = 0; t < Filter::count(); ++t) {
        const Filter f(t);
        for (double s : kFootprints)
            for (double p : phases()) {
                const Taps a = weigh(f, p, s), b = weigh(f, -p, s);
                ASSERT_GT(a.n, 0);
                ASSERT_EQ(a.n, b.n) << f.name();
                double sum = 0;
                for (int i = a.first; i < a.first + a.n; ++i) {
                    sum += a.at(i);
                    // Mirroring the position about 0 maps column i (centre i + 0.5) to column
                    // -i - 1; the normalising sums add the same terms in opposite order.
                    EXPECT_NEAR(a.at(i), b.at(-i - 1), 1e-6) << f.name() << " p=" << p;
                    if (t == Filter::Parzen) {
                        EXPECT_GE(a.at(i), 0.0f);
                    }
                }
                // Each weight is rounded to float once after the division by the sum.
                EXPECT_NEAR(sum, 1.0, 1e-6) << f.name() << " p=" << p << " s=" << s;
            }
    }
    for (double d = -3; d <= 3; d += 1.0 / 64) EXPECT_GE(Filter(Filter::Parzen).eval(d), 0.0);
}

TEST(Filter, InterpolatingFiltersReturnThePixelAtItsCentre) {
    const int interpolating[] = {Filter::Impulse,  Filter::Cubic,  Filter::Keys,
                                 Filter::Simon,    Filter::Rifman, Filter::Lanczos4,
                                 Filter::Lanczos6, Filter::Sinc4,  Filter::Linear};
    for (int t : interpolating) {
        const Filter f(t);
        EXPECT_TRUE(f.interpolating()) << f.name();
        for (int c = -4; c <= 4; ++c) {
            const Taps w = weigh(f, c + 0.5, 1.0);
            for (int i = w.first; i < w.first + w.n; ++i)
                EXPECT_EQ(w.at(i), i == c ? 1.0f : 0.0f) << f.name() << " column " << i;
        }
    }
    for (int t : {Filter::Mitchell, Filter::Parzen, Filter::Notch})
        EXPECT_FALSE(Filter(t).interpolating()) << Filter::name(t);
}

TEST(Filter, LinearReproducesARampExactlyAndImpulsePicksThePixel) {
    // f(i) = a·(i + 0.5) + b sampled anywhere gives a·p + b: this pins pixel centres at
    // i + 0.5. Positions are multiples of 1/8 and footprints powers of two, so every
    // weight and the sum are exact in float and the equality is exact.
    const Filter f(Filter::Linear);
    const double a = 3, b = -7;
    for (double s : {1.0, 2.0, 4.0})
        for (int k = -40; k <= 40; ++k) {
            const double p = k / 8.0;
            const Taps w = weigh(f, p, s);
            double v = 0;
            for (int i = 0; i < w.n; ++i) v += w.w[i] * (a * (w.first + i + 0.5) + b);
            EXPECT_EQ(v, a * p + b) << "p=" << p << " s=" << s;
        }
    // Impulse picks the pixel containing the sample.
    for (double p : {0.0, 0.25, 0.999, 1.0, -0.5, -1.0, 7.5}) {
        for (double s : {1.0, 5.0}) {
            const Taps w = weigh(Filter(Filter::Impulse), p, s);
            EXPECT_EQ(w.n, 1);
            EXPECT_EQ(w.first, int(std::floor(p))) << "p=" << p;
            EXPECT_EQ(w.w[0], 1.0f);
        }
    }
}

TEST(Filter, KernelValuesAtKnownPoints) {
    // Catmull-Rom at 0.5 is 0.5625 and at 1.5 is -0.0625; the cubic B-spline has 2/3 at 0
    // and 1/6 at 1; Mitchell-Netravali has 8/9 at 0 and 1/18 at 1.
    EXPECT_DOUBLE_EQ(Filter(Filter::Cubic).eval(0.5), 0.5625);
    EXPECT_DOUBLE_EQ(Filter(Filter::Cubic).eval(-1.5), -0.0625);
    EXPECT_DOUBLE_EQ(Filter(Filter::Keys).eval(0.3), Filter(Filter::Cubic).eval(0.3));
    // With B = 0 the value at 0.5 is (3 + 0.75·C) / 6: C = 0.75 and C = 1.
    EXPECT_DOUBLE_EQ(Filter(Filter::Simon).eval(0.5), 0.59375);
    EXPECT_DOUBLE_EQ(Filter(Filter::Rifman).eval(0.5), 0.625);
    // Notch (B = 1.5, C = -0.25) is (3 - 1.5·x²) / 6 inside one pixel, (x - 2)² / 4 beyond.
    EXPECT_DOUBLE_EQ(Filter(Filter::Notch).eval(0), 0.5);
    EXPECT_DOUBLE_EQ(Filter(Filter::Notch).eval(1.5), 0.0625);
    EXPECT_DOUBLE_EQ(Filter(Filter::Parzen).eval(0), 2.0 / 3);
    EXPECT_DOUBLE_EQ(Filter(Filter::Parzen).eval(1), 1.0 / 6);
    EXPECT_DOUBLE_EQ(Filter(Filter::Mitchell).eval(0), 8.0 / 9);
    // The cubic's terms cancel to 1/18 at 1, leaving rounding of a few units of 1e-16.
    EXPECT_NEAR(Filter(Filter::Mitchell).eval(1), 1.0 / 18, 1e-15);
    // The windowed sincs: sinc(x)·sinc(x/a) inside their radius, 0 outside.
    const double pi = 3.14159265358979323846;
    const double x = 0.7;
    for (auto [t, a] :
         {std::pair{Filter::Lanczos4, 2}, {Filter::Lanczos6, 3}, {Filter::Sinc4, 4}}) {
        const double expect = std::sin(pi * x) / (pi * x) * std::sin(pi * x / a) / (pi * x / a);
        EXPECT_NEAR(Filter(t).eval(x), expect, 1e-15) << Filter::name(t);
        EXPECT_EQ(Filter(t).eval(a), 0.0);
        EXPECT_EQ(Filter(t).eval(a + 0.25), 0.0);
        EXPECT_EQ(Filter(t).eval(0), 1.0);
    }
    // Impulse is left out: its span (-0.5, 0.5] holds one of its edges.
    for (double d = -5; d <= 5; d += 0.125)
        for (int t = 1; t < Filter::count(); ++t)
            if (std::abs(d) >= Filter(t).radius()) {
                EXPECT_EQ(Filter(t).eval(d), 0.0);
            }
}

// Resamples a row holding a single bright pixel at column 0 (1, elsewhere 0) at position p:
// the result is the weight the filter gives that pixel.
float brightPixelResponse(const Filter& f, double p, double s) {
    return weigh(f, p, s).at(0);
}

TEST(Filter, ResponseToASingleBrightPixel) {
    for (int t = 0; t < Filter::count(); ++t) {
        const Filter f(t);
        // The response peaks where the sample sits on the bright pixel's centre, and vanishes
        // beyond the radius.
        const float peak = brightPixelResponse(f, 0.5, 1.0);
        for (double p : phases()) EXPECT_LE(brightPixelResponse(f, p, 1.0), peak) << f.name();
        EXPECT_EQ(brightPixelResponse(f, 0.5 + f.radius() + 0.5, 1.0), 0.0f) << f.name();
    }
    // A wider footprint spreads the same pixel further, at a lower peak.
    const Filter cubic(Filter::Cubic);
    EXPECT_LT(brightPixelResponse(cubic, 0.5, 3.0), brightPixelResponse(cubic, 0.5, 1.0));
    EXPECT_GT(brightPixelResponse(cubic, 3.0, 3.0), 0.0f);
    EXPECT_EQ(brightPixelResponse(cubic, 3.0, 1.0), 0.0f);
    // A footprint below one pixel is treated as one pixel.
    EXPECT_EQ(brightPixelResponse(cubic, 0.8, 0.3), brightPixelResponse(cubic, 0.8, 1.0));
    // Interpolating kernels with negative lobes ring; the smoothing ones of the list do not
    // at a pixel's distance.
    EXPECT_LT(brightPixelResponse(cubic, 2.0, 1.0), 0.0f);
    EXPECT_LT(brightPixelResponse(Filter(Filter::Lanczos6), 2.0, 1.0), 0.0f);
    EXPECT_GT(brightPixelResponse(Filter(Filter::Notch), 2.0, 1.0), 0.0f);
}

TEST(Filter, TooSmallABufferKeepsTheNearestPixels) {
    const Filter f(Filter::Sinc4);
    float w[3];
    int first = 0;
    EXPECT_EQ(f.weights(10.3, 1.0, first, w, 3), 3);
    EXPECT_EQ(first, 9); // centres 9.5, 10.5, 11.5 around 10.3
    EXPECT_NEAR(w[0] + w[1] + w[2], 1.0f, 1e-6);
    EXPECT_EQ(f.weights(10.3, 1.0, first, w, 0), 0);
}

} // namespace
