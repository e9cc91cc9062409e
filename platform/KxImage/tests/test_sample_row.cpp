// Sampling along a row: the filters' weight tables against their direct weights, and
// Iop::sampleRow against Iop::sample at every position, at the edges and beyond them, for
// the channels asked, and through an op whose sample() means something else, on the
// reference path and on the AVX2 path, and the two paths against each other.
#include "TestImages.h"

#include "Kx/Image/Filter.h"
#include "Kx/Image/SampleRowPath.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using namespace Kx::Image;

namespace {

// Noise in [0, 1), a different value per pixel and channel: the hardest case for a
// filter's weights, since no neighbour predicts another.
float noise(int x, int y, Channel z) {
    uint32_t v = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u ^ uint32_t(z) * 83492791u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    v ^= v >> 15;
    return float(v & 0xffffff) / float(0x1000000);
}

struct NoiseSource : KxTest::PatternSource {
    NoiseSource(int w, int h, ChannelSet channels = Mask_RGBA)
        : PatternSource("noise", Box(0, 0, w, h), noise, channels) {}
};

// Samples its input 3.25 pixels to the right and 1.5 down of where it is asked, as an op in
// sample mode maps a point to its input; its rows are its input's.
class ShiftingSampler : public Iop {
public:
    ShiftingSampler() : Iop(nullptr) {}
    const char* Class() const override { return "ShiftingSampler"; }
    void engine(int y, int x, int r, ChannelSet channels, Row& row) override {
        input_iop(0)->get(y, x, r, channels, row);
    }
    void sample(float cx, float cy, float w, float h, Filter* filter, Pixel& out) override {
        input_iop(0)->sample(cx + 3.25f, cy - 1.5f, w, h, filter, out);
    }
};

// Positions over the image and a few pixels beyond each edge, at phases that are neither
// pixel centres nor edges, and exactly at some centres and edges.
std::vector<float> positions(int size) {
    std::vector<float> p;
    for (float v = -6.0f; v < float(size) + 6.0f; v += 0.4375f) p.push_back(v + 0.0123f);
    for (int i = 0; i < size; i += 3) {
        p.push_back(float(i) + 0.5f);
        p.push_back(float(i));
    }
    return p;
}

// A noise image of w x h pixels, validated and with all of it requested, and a row of n
// points on it, point i at at(i) (an {x, y} pair).
struct NoisePoints {
    NoiseSource src;
    std::vector<float> xs, ys;

    template <class At> NoisePoints(int w, int h, int n, At at) : src(w, h) {
        src.validate(true);
        src.request(0, 0, w, h, Mask_RGBA);
        for (int i = 0; i < n; ++i) {
            const auto [x, y] = at(i);
            xs.push_back(x);
            ys.push_back(y);
        }
    }
};

// sample() of op at (x, y) for each channel.
Pixel direct(Iop& op, float x, float y, Filter& f, const ChannelSet& channels) {
    Pixel p(channels);
    op.sample(x, y, 1.0f, 1.0f, &f, p);
    return p;
}

// Runs check once on each path of the row kernel the processor has: the reference (SSE2) and,
// where the processor has them, AVX2 and FMA; the failure names the path. The process's
// path is restored after.
template <class Check> void onEachPath(Check check) {
    const bool avx2 = sampleRowUsesAvx2();
    for (bool reference : {true, false}) {
        const bool onAvx2 = sampleRowOnReferencePath(reference);
        if (!reference && !onAvx2) continue;
        SCOPED_TRACE(onAvx2 ? "AVX2 path" : "reference path");
        check();
    }
    sampleRowOnReferencePath(!avx2);
}

} // namespace

TEST(FilterTable, WeightsMatchTheDirectWeights) {
    // Every kernel but Impulse is smooth between knots; the table's linear interpolation
    // over 1/256 px errs by the curvature times (1/256)² / 8, a few 1e-6 (the sincs the
    // most). The cubics and Linear are polynomials between knots, which the table holds
    // exactly: their weights differ from the direct ones by float rounding only. Impulse is
    // exact.
    for (int t = 0; t < Filter::count(); ++t) {
        const Filter f(t);
        const Filter::Table table = f.table();
        EXPECT_EQ(table.taps, t == Filter::Impulse ? 1 : 2 * int(std::ceil(f.radius())))
            << f.name();
        double worst = 0;
        for (int k = 0; k < 4096; ++k) {
            const float p = -3.0f + float(k) * (7.0f / 4096) + 1.0f / 8192;
            float tw[Filter::kTableStride];
            const int first = table.weights(p, tw);
            float dw[64];
            int dfirst = 0;
            const int n = f.weights(p, 1.0, dfirst, dw, 64);
            // The same pixels: the table's taps hold the direct ones; any extra tap of the
            // table lies on the kernel's edge or beyond, with weight 0.
            ASSERT_LE(first, dfirst) << f.name() << " p=" << p;
            ASSERT_GE(first + table.taps, dfirst + n) << f.name() << " p=" << p;
            for (int i = 0; i < Filter::kTableStride; ++i) {
                const int column = first + i;
                const float d = column >= dfirst && column < dfirst + n ? dw[column - dfirst] : 0;
                if (i >= table.taps) {
                    EXPECT_EQ(tw[i], 0.0f);
                    continue;
                }
                worst = std::max(worst, double(std::abs(tw[i] - d)));
            }
        }
        // An interpolating filter at a pixel centre weighs that pixel alone, exactly.
        if (f.interpolating()) {
            float tw[Filter::kTableStride];
            const int first = table.weights(5.5f, tw);
            for (int i = 0; i < Filter::kTableStride; ++i)
                EXPECT_EQ(tw[i], first + i == 5 ? 1.0f : 0.0f) << f.name() << " tap " << i;
        }
        const bool polynomial = (t >= Filter::Cubic && t <= Filter::Notch) || t == Filter::Linear;
        EXPECT_EQ(table.poly != nullptr, polynomial) << f.name();
        EXPECT_LT(worst, t == Filter::Impulse ? 1e-30 : polynomial ? 1e-6 : 2e-5) << f.name();
    }
}

// The node's two filters, and every other, against sample() over the whole image and
// beyond its edges (where both repeat the edge pixels). Values are in [0, 1): the weights
// differ by at most a few 1e-6 each, so a sample by less than 1e-4.
TEST(SampleRow, MatchesSampleEverywhereWithinTheTableError) {
    NoiseSource src(37, 23);
    src.validate(true);
    src.request(0, 0, 37, 23, Mask_RGBA);
    const std::vector<float> xs = positions(37), ys = positions(23);
    onEachPath([&] {
        for (int t = 0; t < Filter::count(); ++t) {
            Filter f(t);
            double worst = 0;
            for (float y : ys) {
                const std::vector<float> yrow(xs.size(), y);
                Row row(0, int(xs.size()));
                src.sampleRow(xs.data(), yrow.data(), 0, int(xs.size()), Mask_RGBA, &f, row);
                for (size_t k = 0; k < xs.size(); ++k) {
                    const Pixel p = direct(src, xs[k], y, f, Mask_RGBA);
                    for (Channel z : Mask_RGBA)
                        worst = std::max(worst, double(std::abs(row[z][k] - p[z])));
                }
            }
            const bool nodeFilter = t == Filter::Lanczos6 || t == Filter::Parzen;
            EXPECT_LT(worst, nodeFilter ? 1e-4 : 2e-4) << f.name();
            if (t == Filter::Impulse) {
                EXPECT_EQ(worst, 0.0) << f.name();
            }
        }
    });
}

// A point's sample must not depend on the other points of its row: where the row starts, how
// it is cut into blocks and groups of points, and which neighbours go through the edge path.
// So a row of points, a row started a few points later and each point on its own give the
// same values to the bit. The positions turn slowly across the image and its edges, as an
// aligner's warp does, and jump now and then, so that groups of four consecutive points
// form and break up.
TEST(SampleRow, APointsSampleDoesNotDependOnItsNeighbours) {
    NoisePoints points(90, 40, 150, [](int i) {
        return std::pair(-4.0f + float(i) * 0.67f + (i % 11 == 0 ? 20.0f : 0.0f),
                         -3.0f + float(i) * 0.31f + 0.01f * float(i % 7));
    });
    NoiseSource& src = points.src;
    const std::vector<float>& xs = points.xs;
    const std::vector<float>& ys = points.ys;
    const int n = int(xs.size());
    onEachPath([&] {
        for (int t = 0; t < Filter::count(); ++t) {
            Filter f(t);
            SCOPED_TRACE(f.name());
            Row whole(0, n);
            src.sampleRow(xs.data(), ys.data(), 0, n, Mask_RGBA, &f, whole);
            for (int skip : {1, 3, 5}) {
                Row later(0, n);
                src.sampleRow(xs.data() + skip, ys.data() + skip, skip, n, Mask_RGBA, &f, later);
                for (int k = skip; k < n; ++k)
                    for (Channel z : Mask_RGBA)
                        ASSERT_EQ(later[z][k], whole[z][k]) << "start " << skip << " point " << k;
            }
            for (int k = 0; k < n; ++k) {
                Row one(k, k + 1);
                src.sampleRow(&xs[size_t(k)], &ys[size_t(k)], k, k + 1, Mask_RGBA, &f, one);
                for (Channel z : Mask_RGBA) ASSERT_EQ(one[z][k], whole[z][k]) << "point " << k;
            }
        }
    });
}

// The AVX2 path reads the kept pixels of 3 or 4 channels interleaved, from a band of rows it
// keeps per thread, and reads the planes for a block of points spanning more rows than the
// band holds: the two must give the same values to the bit, or a point would change with
// its neighbours. Points that leap between the bottom and the top of a tall image make
// their blocks span it; each point on its own fits the band.
TEST(SampleRow, APointReadFromTheBandOrThePlanesIsTheSame) {
    NoisePoints points(24, 700, 96, [](int i) {
        return std::pair(3.3f + float(i % 17) * 0.9f,
                         i % 2 ? 5.7f + 0.13f * float(i) : 690.1f - 0.29f * float(i));
    });
    NoiseSource& src = points.src;
    const std::vector<float>& xs = points.xs;
    const std::vector<float>& ys = points.ys;
    const int n = int(xs.size());
    for (const ChannelSet& channels : {Mask_RGB, Mask_RGBA})
        onEachPath([&] {
            for (int t = 0; t < Filter::count(); ++t) {
                Filter f(t);
                SCOPED_TRACE(f.name());
                Row whole(0, n);
                src.sampleRow(xs.data(), ys.data(), 0, n, channels, &f, whole);
                for (int k = 0; k < n; ++k) {
                    Row one(k, k + 1);
                    src.sampleRow(&xs[size_t(k)], &ys[size_t(k)], k, k + 1, channels, &f, one);
                    for (Channel z : channels)
                        ASSERT_EQ(one[z][k], whole[z][k]) << "point " << k << " channel " << int(z);
                }
            }
        });
}

// The band a thread keeps belongs to one kept image: sampling another image, and an image
// made after the first was released, reads their own pixels.
TEST(SampleRow, EachImageIsReadFromItsOwnPixels) {
    Filter f(Filter::Lanczos6);
    std::vector<float> xs, ys;
    for (int i = 0; i < 64; ++i) {
        xs.push_back(4.1f + float(i) * 0.5f);
        ys.push_back(6.3f + float(i) * 0.05f);
    }
    const int n = int(xs.size());
    auto check = [&](Iop& op, const char* which) {
        SCOPED_TRACE(which);
        Row row(0, n);
        op.sampleRow(xs.data(), ys.data(), 0, n, Mask_RGBA, &f, row);
        for (int k = 0; k < n; ++k) {
            const Pixel p = direct(op, xs[size_t(k)], ys[size_t(k)], f, Mask_RGBA);
            for (Channel z : Mask_RGBA) ASSERT_NEAR(row[z][k], p[z], 1e-4) << "point " << k;
        }
    };
    onEachPath([&] {
        NoiseSource a(48, 20);
        KxTest::PatternSource b("flipped", Box(0, 0, 48, 20),
                                [](int x, int y, Channel z) { return noise(y, x, z); });
        for (Iop* op : {static_cast<Iop*>(&a), static_cast<Iop*>(&b)}) {
            op->validate(true);
            op->request(0, 0, 48, 20, Mask_RGBA);
        }
        check(a, "first image");
        check(b, "second image");
        check(a, "first image again");
        {
            KxTest::PatternSource c("later", Box(0, 0, 48, 20),
                                    [](int x, int y, Channel z) { return noise(x + 7, y, z); });
            c.validate(true);
            c.request(0, 0, 48, 20, Mask_RGBA);
            check(c, "an image made later");
        }
        KxTest::PatternSource d("latest", Box(0, 0, 48, 20),
                                [](int x, int y, Channel z) { return noise(x, y + 5, z); });
        d.validate(true);
        d.request(0, 0, 48, 20, Mask_RGBA);
        check(d, "an image made after one was released");
    });
}

TEST(SampleRow, ColumnsAreAbsoluteAndOnlyTheChannelsAskedAreWritten) {
    NoiseSource src(16, 16, Mask_RGB);
    src.validate(true);
    src.request(0, 0, 16, 16, Mask_RGBA);
    Filter f(Filter::Lanczos6);
    const float xs[3] = {4.3f, 8.5f, 12.9f}, ys[3] = {7.7f, 8.5f, 3.2f};
    Row row(-10, 20);
    src.sampleRow(xs, ys, 5, 8, ChannelSet{Chan_Green, Chan_Alpha}, &f, row);
    EXPECT_TRUE(row.is_writable(Chan_Green));
    EXPECT_FALSE(row.is_writable(Chan_Red));
    // Alpha is asked but the op lacks it: zero.
    for (int i = 5; i < 8; ++i) {
        const Pixel p = direct(src, xs[i - 5], ys[i - 5], f, Mask_RGB);
        EXPECT_NEAR(row[Chan_Green][i], p[Chan_Green], 1e-4) << i;
        EXPECT_EQ(row[Chan_Alpha][i], 0.0f);
    }
    // At a pixel centre an interpolating filter gives the pixel itself.
    EXPECT_EQ(row[Chan_Green][6], noise(8, 8, Chan_Green));
    // Columns outside x..r stay as they were.
    EXPECT_EQ(row[Chan_Green][4], 0.0f);
    EXPECT_EQ(row[Chan_Green][8], 0.0f);
}

TEST(SampleRow, FarAndNonFinitePositionsRepeatTheEdgePixels) {
    NoiseSource src(12, 9);
    src.validate(true);
    src.request(0, 0, 12, 9, Mask_RGBA);
    Filter f(Filter::Parzen);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float xs[5] = {-1e9f, 1e9f, -inf, inf, nan};
    const float ys[5] = {-50.0f, 4.5f, 1e30f, -inf, nan};
    Row row(0, 5);
    src.sampleRow(xs, ys, 0, 5, Mask_Red, &f, row);
    // The B-spline is not interpolating: along an edge the result is the edge column
    // filtered along the other axis; at a corner it is the corner pixel.
    const float corner = noise(0, 0, Chan_Red);
    EXPECT_NEAR(row[Chan_Red][0], corner, 1e-6);
    EXPECT_NEAR(row[Chan_Red][1], direct(src, 1e9f, 4.5f, f, Mask_Red)[Chan_Red], 1e-4);
    EXPECT_NEAR(row[Chan_Red][2], noise(0, 8, Chan_Red), 1e-6);
    EXPECT_NEAR(row[Chan_Red][3], noise(11, 0, Chan_Red), 1e-6);
    // NaN goes to the low corner rather than to undefined behaviour.
    EXPECT_NEAR(row[Chan_Red][4], corner, 1e-6);
}

TEST(SampleRow, AnOpWhoseSampleMapsThePointIsSampledThroughIt) {
    NoiseSource src(40, 30);
    ShiftingSampler shifter;
    shifter.set_input(0, &src);
    shifter.validate(true);
    shifter.request(0, 0, 40, 30, Mask_RGBA);
    Filter f(Filter::Lanczos6);
    std::vector<float> xs, ys;
    for (int i = 0; i < 40; ++i) {
        xs.push_back(float(i) * 0.9f + 0.3f);
        ys.push_back(10.0f + float(i) * 0.3f);
    }
    Row row(0, 40);
    shifter.sampleRow(xs.data(), ys.data(), 0, 40, Mask_RGBA, &f, row);
    for (int i = 0; i < 40; ++i) {
        const Pixel p = direct(shifter, xs[size_t(i)], ys[size_t(i)], f, Mask_RGBA);
        for (Channel z : Mask_RGBA) EXPECT_EQ(row[z][i], p[z]) << i;
    }
}

// The AVX2 path against the reference path, filter by filter, over the image, its edges and
// beyond, with one to four channels (each count takes its own kernel). Both read the same
// table; they differ only in how the weighted taps are rounded and summed: the AVX2 path
// weighs a point's rows of taps first and fuses each multiply with its add. Values are in
// [0, 1) and a filter's weights add up to 1 (their magnitudes to less than 2), so the two
// round apart by a few float steps near 1, far below the table's own error (1e-4).
class SampleRowPaths : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        avx2 = sampleRowUsesAvx2();
        haveAvx2 = sampleRowOnReferencePath(false);
        sampleRowOnReferencePath(!avx2);
    }
    void TearDown() override { sampleRowOnReferencePath(!avx2); }

    // The largest difference between the two paths over a row of points on src.
    static double gap(Iop& src, const std::vector<float>& xs, const std::vector<float>& ys,
                      const ChannelSet& channels, const Filter& f) {
        const int n = int(xs.size());
        Row fast(0, n), reference(0, n);
        sampleRowOnReferencePath(false);
        src.sampleRow(xs.data(), ys.data(), 0, n, channels, &f, fast);
        sampleRowOnReferencePath(true);
        src.sampleRow(xs.data(), ys.data(), 0, n, channels, &f, reference);
        double worst = 0;
        for (Channel z : channels)
            for (int k = 0; k < n; ++k)
                worst = std::max(worst, double(std::abs(fast[z][k] - reference[z][k])));
        return worst;
    }

    bool avx2 = false, haveAvx2 = false;
};

TEST_P(SampleRowPaths, Avx2MatchesTheReferenceWithinRounding) {
    if (!haveAvx2) GTEST_SKIP() << "the processor lacks AVX2 or FMA";
    NoiseSource src(61, 29);
    src.validate(true);
    src.request(0, 0, 61, 29, Mask_RGBA);
    const std::vector<float> xs = positions(61), ys = positions(29);
    Filter f(GetParam());
    const ChannelSet sets[] = {ChannelSet{Chan_Green}, ChannelSet{Chan_Red, Chan_Alpha}, Mask_RGB,
                               Mask_RGBA};
    double worst = 0;
    for (const ChannelSet& channels : sets)
        for (size_t j = 0; j < ys.size(); ++j) {
            // The rows lean by about 1/10 px per 6 px, as a warp's rows do.
            std::vector<float> yrow(xs.size());
            for (size_t k = 0; k < xs.size(); ++k) yrow[k] = ys[j] + 0.017f * xs[k];
            worst = std::max(worst, gap(src, xs, yrow, channels, f));
        }
    EXPECT_LT(worst, 1e-6) << f.name();
    if (GetParam() == Filter::Impulse) {
        EXPECT_EQ(worst, 0.0) << f.name();
    }
}

// The same down a tall image, whose rows the AVX2 path's band holds in fewer slots than the
// image has rows, so that a row goes in the slot of one far above it: rows of points cross
// the band's last slot, point by point and within blocks of points, and must still read
// their own rows of taps. The failure names the first row of points it was seen on.
TEST_P(SampleRowPaths, Avx2MatchesTheReferenceAcrossTheBandsSlots) {
    if (!haveAvx2) GTEST_SKIP() << "the processor lacks AVX2 or FMA";
    NoiseSource src(37, 300);
    src.validate(true);
    src.request(0, 0, 37, 300, Mask_RGBA);
    Filter f(GetParam());
    constexpr int n = 40;
    std::vector<float> xs(n), ys(n);
    for (int k = 0; k < n; ++k) xs[size_t(k)] = 1.7f + 0.83f * float(k);
    double worst = 0;
    float worstAt = 0;
    for (float y = 117.3f; y < 140.0f; y += 0.61f) {
        for (int k = 0; k < n; ++k) ys[size_t(k)] = y + 0.05f * float(k);
        const double d = gap(src, xs, ys, Mask_RGBA, f);
        if (d > worst) {
            worst = d;
            worstAt = y;
        }
    }
    EXPECT_LT(worst, 1e-6) << f.name() << ", worst on the row of points from y = " << worstAt;
}

INSTANTIATE_TEST_SUITE_P(EveryFilter, SampleRowPaths, testing::Range(0, Filter::count()),
                         [](const testing::TestParamInfo<int>& info) {
                             std::string name = Filter::name(info.param);
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });
