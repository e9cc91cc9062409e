// The measuring core on small pairs made in code from a band-limited texture whose shift
// between the views is known exactly.
#include "mwDenseDisparity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

using namespace Marrow::Research;

namespace {

constexpr int kW = 192, kH = 144;

// A sum of sinusoids of wavelengths 5 to 40 pixels: detail everywhere, exact at any position.
class Texture {
public:
    explicit Texture(unsigned seed) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> angle(0, 2 * M_PI), wave(5, 40);
        for (auto& t : _terms) {
            const double a = angle(rng), k = 2 * M_PI / wave(rng);
            t = {k * std::cos(a), k * std::sin(a), angle(rng)};
        }
    }
    float operator()(double x, double y) const {
        double v = 0;
        for (const auto& t : _terms) v += std::sin(t[0] * x + t[1] * y + t[2]);
        return float(0.3 + 0.25 * v / std::sqrt(double(_terms.size())));
    }

private:
    std::array<std::array<double, 3>, 24> _terms;
};

// A grey view (the same plane in red, green and blue) whose pixel centre p shows value(p).
struct View {
    DisparityPlane grey{kW, kH};
    template <class F> explicit View(F value) {
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) grey.row(y)[x] = value(x + 0.5, y + 0.5);
    }
    ViewColour colour() const { return {&grey, &grey, &grey}; }
};

StereoDisparity measure(const View& l, const View& r, const DisparitySettings& s = {}) {
    return computeDisparity(l.colour(), r.colour(), s,
                            [](const std::function<void(int)>& work) { work(0), work(1); });
}

double median(std::vector<double> v) {
    auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The fraction of a view's pixels inside a box (x0 <= x < x1, y0 <= y < y1) marked unmatched.
double unmatchedIn(const ViewDisparity& v, int x0, int y0, int x1, int y1) {
    double n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) n += v.unmatched.at(x, y);
    return n / double((x1 - x0) * (y1 - y0));
}

} // namespace

// A pure sub-pixel shift, vertical too, at every quality: each view's disparity is the shift
// towards the other view. The tolerance is that of each preset's resolution (Fine measures at
// full resolution, Draft at a quarter and interpolates).
class ShiftedPair : public testing::TestWithParam<std::pair<DisparityQuality, double>> {};

TEST_P(ShiftedPair, GivesTheShiftBothWays) {
    const double sx = 3.25, sy = -1.5;
    const Texture t(7);
    const View left([&](double x, double y) { return t(x, y); });
    const View right([&](double x, double y) { return t(x - sx, y - sy); });
    DisparitySettings s;
    s.quality = GetParam().first;
    const StereoDisparity d = measure(left, right, s);
    ASSERT_TRUE(d.textured);
    for (auto [v, sign] : {std::pair{&d.left, 1.0}, std::pair{&d.right, -1.0}}) {
        SCOPED_TRACE(sign > 0 ? "left view" : "right view");
        std::vector<double> ex, ey;
        // Away from the borders, where a part of each view is outside the other.
        for (int y = 12; y < kH - 12; ++y)
            for (int x = 12; x < kW - 12; ++x) {
                ex.push_back(std::fabs(v->dx.at(x, y) - sign * sx));
                ey.push_back(std::fabs(v->dy.at(x, y) - sign * sy));
            }
        EXPECT_LT(median(ex), GetParam().second);
        EXPECT_LT(median(ey), GetParam().second);
        EXPECT_LT(unmatchedIn(*v, 12, 12, kW - 12, kH - 12), 0.02);
    }
}

INSTANTIATE_TEST_SUITE_P(Qualities, ShiftedPair,
                         testing::Values(std::pair{DisparityQuality::Draft, 0.15},
                                         std::pair{DisparityQuality::Normal, 0.1},
                                         std::pair{DisparityQuality::Fine, 0.05}));

// A square nearer than the background hides a band of it from the right view: the left
// pixels of that band fail the consistency check, the open background passes it. Pixels
// whose match leaves the right frame are unmatched too.
TEST(DenseDisparity, ConsistencyCheckFindsOcclusionsAndTheFrameEdge) {
    const Texture back(3), front(11);
    const double bg = 2, fg = 12; // horizontal disparity of the background and the square
    auto inSquare = [](double x, double y) { return x >= 70 && x < 120 && y >= 45 && y < 95; };
    const View left([&](double x, double y) { return inSquare(x, y) ? front(x, y) : back(x, y); });
    const View right([&](double x, double y) {
        return inSquare(x - fg, y) ? front(x - fg, y) : back(x - bg, y);
    });
    const StereoDisparity d = measure(left, right);
    // The hidden band: left of x = 120 + (fg - bg), right of the square, less the edge pixels.
    EXPECT_GT(unmatchedIn(d.left, 122, 50, 128, 90), 0.8) << "hidden band";
    EXPECT_LT(unmatchedIn(d.left, 10, 10, 60, kH - 10), 0.05) << "open background";
    EXPECT_LT(unmatchedIn(d.left, 75, 50, 115, 90), 0.05) << "the square itself";
    EXPECT_GT(unmatchedIn(d.left, kW - 1, 10, kW, kH - 10), 0.9) << "matches beyond the frame";
}

// A flat pair has nothing to match: zero disparity, every pixel unmatched, and the result
// says so. A flat patch inside a textured pair is unmatched where it has no detail.
TEST(DenseDisparity, NoTextureIsUnmatched) {
    const View flat([](double, double) { return 0.4f; });
    const StereoDisparity none = measure(flat, flat);
    EXPECT_FALSE(none.textured);
    for (const ViewDisparity* v : {&none.left, &none.right}) {
        EXPECT_EQ(unmatchedIn(*v, 0, 0, kW, kH), 1.0);
        EXPECT_TRUE(
            std::all_of(v->dx.data.begin(), v->dx.data.end(), [](float f) { return f == 0; }));
        EXPECT_TRUE(
            std::all_of(v->dy.data.begin(), v->dy.data.end(), [](float f) { return f == 0; }));
    }

    const Texture t(5);
    auto patched = [&](double shift) {
        return View([&, shift](double x, double y) {
            return x >= 60 && x < 130 && y >= 40 && y < 100 ? 0.4f : t(x - shift, y);
        });
    };
    const StereoDisparity d = measure(patched(0), patched(1));
    EXPECT_TRUE(d.textured);
    EXPECT_GT(unmatchedIn(d.left, 72, 52, 118, 88), 0.95) << "inside the flat patch";
    EXPECT_LT(unmatchedIn(d.left, 10, 10, 50, kH - 10), 0.05) << "textured part";
}

// A shift beyond the largest expected disparity is taken for a false match.
TEST(DenseDisparity, DisparityBeyondTheLimitIsUnmatched) {
    const Texture t(9);
    const View left([&](double x, double y) { return t(x, y); });
    const View right([&](double x, double y) { return t(x - 12, y); });
    DisparitySettings s;
    s.maxDisparity = 8;
    const StereoDisparity d = measure(left, right, s);
    EXPECT_GT(unmatchedIn(d.left, 12, 12, kW - 24, kH - 12), 0.95);
    s.maxDisparity = 16;
    EXPECT_LT(unmatchedIn(measure(left, right, s).left, 12, 12, kW - 24, kH - 12), 0.05);
}
