// The colour warp's fast path against the point-by-point definition: the source positions of a
// row (ViewCorrection::mapRow) are mapToSource's to the bit, with every correction of the
// rectilinear chain on, and a rendered pixel is the input sampled there with the node's filter
// (Iop::sample, the direct weights) within the filter table's error.
#include "e2e_RenderPlate.h"

using namespace RenderTest;

namespace {

void expectRowsMapAsPoints(Plate& p) {
    for (int v : {Plate::kLeft, Plate::kRight}) {
        const ViewCorrection& c = p.view(v).renderEngine().correction();
        ASSERT_TRUE(c.alignThis());
        std::vector<float> xs(size_t(p.width + 20)), ys(xs.size());
        Pixel scratch;
        for (int y = -3; y < p.height + 3; y += 17) {
            c.mapRow(y, -10, p.width + 10, xs.data(), ys.data(), scratch);
            for (int x = -10; x < p.width + 10; ++x) {
                float shift = 0;
                const Eigen::Vector2f s =
                    c.mapToSource(Eigen::Vector2f(float(x) + 0.5f, float(y) + 0.5f), shift);
                ASSERT_EQ(xs[size_t(x + 10)], s.x()) << "x " << x << " y " << y;
                ASSERT_EQ(ys[size_t(x + 10)], s.y()) << "x " << x << " y " << y;
            }
        }
    }
}

} // namespace

TEST(RenderRowKernel, RowPositionsAreThePointPositions) {
    Plate p({{"verticalShift", 6}, {"roll", 0.7}, {"tilt", 0.4}}, K::Full);
    ASSERT_TRUE(p.match());
    {
        SCOPED_TRACE("Full preset");
        expectRowsMapAsPoints(p);
    }
    for (auto [name, value] : Misalignment{{"alignVerticalSkew", 1},
                                           {"scaleToFit", 1},
                                           {"scale", 1.03},
                                           {"fixParallax", 1},
                                           {"offset", 2.5}})
        p.set(name, value);
    EXPECT_TRUE(p.view(Plate::kLeft).renderEngine().correction().thisSampler().options &
                Marrow::Vireon::VireonAlignmentSampler::kVerticalSkew);
    SCOPED_TRACE("with skew, zoom and offset");
    expectRowsMapAsPoints(p);
}

// The rows sample through the filter's table, the viewer's point samples through the direct
// weights: the two agree within 1e-4 on this plate's colours (between 0 and 1), for the node's
// Lanczos6 and for the cubic B-spline, over the output's whole data box, black edges included.
TEST(RenderRowKernel, RenderedPixelsAreThePointSamples) {
    Plate p({{"verticalShift", 6}, {"roll", 0.7}}, K::Full, 320, 180);
    ASSERT_TRUE(p.match());
    for (int filter : {Filter::Lanczos6, Filter::Parzen}) {
        p.set("filter", filter);
        for (int v : {Plate::kLeft, Plate::kRight}) {
            const Image out = p.render(v, Mask_RGBA);
            VerticalAlignerPlugin& op = p.view(v);
            Pixel pixel(Mask_RGBA);
            double worst = 0;
            // Rows beyond the output's data box repeat its edge rows, as the host reads them.
            const Box& box = op.box();
            int n = 0;
            for (int y = std::max(0, box.y()); y < std::min(p.height, box.t()); ++y)
                for (int x = std::max(0, box.x()); x < std::min(p.width, box.r()); ++x, ++n) {
                    op.sample(float(x) + 0.5f, float(y) + 0.5f, 1, 1, nullptr, pixel);
                    for (Channel z : Mask_RGBA)
                        worst = std::max(worst, std::fabs(double(pixel[z]) - out.at(z, x, y)));
                }
            EXPECT_GT(n, p.width * p.height * 9 / 10);
            EXPECT_LT(worst, 1e-4) << Filter::name(filter) << " view " << v;
        }
    }
}
