// The correction as other tools take it: the homography fitted to STMap samples, its figures,
// the image-file convention and the corner pin.
#include "Correction.h"

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include <cmath>

using namespace Kestrel;

namespace {

Eigen::Vector2d apply(const Eigen::Matrix3d& h, const Eigen::Vector2d& p) {
    return (h * p.homogeneous()).hnormalized();
}

// H = T(centre) · A · P · T(−centre), built from figures, the form figuresOf takes apart.
Eigen::Matrix3d compose(const CorrectionFigures& f, int width, int height) {
    const double t = f.rotationDegrees * M_PI / 180.0;
    Eigen::Matrix3d r;
    r << std::cos(t), -std::sin(t), 0, std::sin(t), std::cos(t), 0, 0, 0, 1;
    Eigen::Matrix3d a;
    a << f.scaleX, f.skew * f.scaleY, 0, 0, f.scaleY, 0, 0, 0, 1;
    Eigen::Matrix3d s = r * a;
    s(0, 2) = f.shiftX;
    s(1, 2) = f.shiftY;
    Eigen::Matrix3d p = Eigen::Matrix3d::Identity();
    p(2, 0) = f.keystoneX / (width / 2.0);
    p(2, 1) = f.keystoneY / (height / 2.0);
    Eigen::Matrix3d c = Eigen::Matrix3d::Identity();
    c(0, 2) = width / 2.0;
    c(1, 2) = height / 2.0;
    return c * s * p * c.inverse();
}

// Pairs on a grid of a 1920 x 1080 frame, as the STMap gives them.
std::vector<PointPair> samples(const Eigen::Matrix3d& h) {
    std::vector<PointPair> pairs;
    for (int y = 10; y < 1080; y += 40)
        for (int x = 10; x < 1920; x += 40) {
            const Eigen::Vector2d s(x + 0.5, y + 0.5);
            pairs.push_back({s, apply(h, s)});
        }
    return pairs;
}

} // namespace

// The figures survive the round trip through a matrix and a fit, for each kind of correction
// alone and all together. Tolerances: the fit is exact up to double rounding on a
// well-conditioned system (1e-9 of a pixel-sized quantity).
TEST(Correction, FitAndFiguresRecoverEachKindOfCorrection) {
    struct Case {
        const char* name;
        CorrectionFigures f;
    };
    const Case cases[] = {
        {"identity", {}},
        {"rotation", {0.6, 0, 0, 1, 1, 0, 0, 0}},
        {"shift", {0, -3.5, 6, 1, 1, 0, 0, 0}},
        {"scale", {0, 0, 0, 1.015, 1.015, 0, 0, 0}},
        {"skew", {0, 0, 0, 1, 1, 0.01, 0, 0}},
        {"keystone", {0, 0, 0, 1, 1, 0, 0.004, -0.003}},
        {"all", {-0.4, 2, -6, 1.02, 0.99, -0.005, 0.002, 0.003}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Eigen::Matrix3d h = compose(c.f, 1920, 1080);
        const FittedHomography fit = fitHomography(samples(h));
        EXPECT_LT(fit.maxResidual, 1e-6);
        EXPECT_TRUE(fit.inputToOutput.isApprox(h / h(2, 2), 1e-9)) << fit.inputToOutput;
        const CorrectionFigures f = figuresOf(fit.inputToOutput, 1920, 1080);
        EXPECT_NEAR(f.rotationDegrees, c.f.rotationDegrees, 1e-7);
        EXPECT_NEAR(f.shiftX, c.f.shiftX, 1e-6);
        EXPECT_NEAR(f.shiftY, c.f.shiftY, 1e-6);
        EXPECT_NEAR(f.scaleX, c.f.scaleX, 1e-9);
        EXPECT_NEAR(f.scaleY, c.f.scaleY, 1e-9);
        EXPECT_NEAR(f.skew, c.f.skew, 1e-9);
        EXPECT_NEAR(f.keystoneX, c.f.keystoneX, 1e-9);
        EXPECT_NEAR(f.keystoneY, c.f.keystoneY, 1e-9);
    }
}

// A mapping that is no homography (a vertical skew growing with x²) shows in the residual.
TEST(Correction, ADepartureFromAHomographyShowsInTheResidual) {
    std::vector<PointPair> pairs;
    for (int y = 0; y < 1080; y += 40)
        for (int x = 0; x < 1920; x += 40) {
            const double bend = 0.5 * std::pow((x - 960.0) / 960.0, 2);
            pairs.push_back({{x + 0.5, y + 0.5}, {x + 0.5, y + 0.5 + bend}});
        }
    const FittedHomography fit = fitHomography(pairs);
    EXPECT_GT(fit.maxResidual, 0.05);
    EXPECT_LT(fit.maxResidual, 0.5);
}

TEST(Correction, TooFewOrDegenerateSamplesAreRefused) {
    std::vector<PointPair> line;
    for (int i = 0; i < 10; ++i) line.push_back({{double(i), 2.0 * i}, {double(i), 2.0 * i}});
    EXPECT_THROW(fitHomography(line), std::runtime_error);
    EXPECT_THROW(fitHomography({line.begin(), line.begin() + 3}), std::runtime_error);
}

// The image-file matrix moves file pixels (y down, centres at whole numbers) as the host's
// matrix moves host pixels; corner pins are the frame's corners moved by the host's matrix.
TEST(Correction, TopLeftConventionAndCornerPinAgreeWithTheHostsMatrix) {
    const Eigen::Matrix3d h = compose({0.7, 3, -5, 1.01, 1.01, 0, 0.002, 0.001}, 1920, 1080);
    const Eigen::Matrix3d file = toTopLeftPixels(h, 1080, 1080);
    for (const Eigen::Vector2d& host : {Eigen::Vector2d(0.5, 0.5), Eigen::Vector2d(1919.5, 10.5),
                                        Eigen::Vector2d(700.5, 1079.5)}) {
        const Eigen::Vector2d out = apply(h, host);
        const Eigen::Vector2d fileIn(host.x() - 0.5, 1080 - 0.5 - host.y());
        const Eigen::Vector2d fileOut(out.x() - 0.5, 1080 - 0.5 - out.y());
        EXPECT_LT((apply(file, fileIn) - fileOut).norm(), 1e-9) << host.transpose();
    }
    const auto pin = cornerPin(h, 1920, 1080);
    EXPECT_LT((pin[0] - apply(h, {0, 0})).norm(), 1e-12);
    EXPECT_LT((pin[2] - apply(h, {1920, 1080})).norm(), 1e-12);
}

// The way back from an input position to its output pixel, through a sampled STMap: exact for
// an affine correction (bilinear samples hold it exactly), and within a thousandth of a pixel
// for keystone and rows bent as the vertical skew bends them (samples 16 px apart: the
// bilinear error is a sixteenth of the square of that times the map's curvature, about 1e-5
// per pixel here). Positions beyond the samples go on with the outermost cells; a position
// next to a failed sample has none.
TEST(Correction, GridGoesBackFromInputToOutput) {
    CorrectionFigures f;
    f.rotationDegrees = 0.6;
    f.shiftY = -6;
    f.scaleX = f.scaleY = 1.015;
    struct Case {
        const char* name;
        double keystone;
        double bend; // px of vertical skew at the right edge's top
        double tolerance;
    };
    for (const Case& c : {Case{"affine", 0, 0, 1e-6}, Case{"keystone, skewed", 0.004, 3, 1e-3}}) {
        SCOPED_TRACE(c.name);
        f.keystoneX = c.keystone;
        const Eigen::Matrix3d back = compose(f, 1920, 1080).inverse();
        // Output → source: the homography's inverse, then rows bent by x·y.
        auto source = [&](const Eigen::Vector2d& o) {
            Eigen::Vector2d s = apply(back, o);
            s.y() += c.bend * (s.x() / 1920) * (s.y() / 1080);
            return s;
        };
        const Eigen::Vector2d origin(8.5, 8.5);
        const int columns = 120, rows = 68;
        std::vector<Eigen::Vector2d> grid;
        for (int j = 0; j < rows; ++j)
            for (int i = 0; i < columns; ++i)
                grid.push_back(source(origin + 16.0 * Eigen::Vector2d(i, j)));
        const CorrectionGrid g(origin, 16, columns, rows, grid);
        for (const Eigen::Vector2d& o : {Eigen::Vector2d(960, 540), Eigen::Vector2d(3, 2),
                                         Eigen::Vector2d(1917, 1078), Eigen::Vector2d(500, 1000)}) {
            SCOPED_TRACE(o.transpose());
            const auto found = g.outputOf(source(o));
            ASSERT_TRUE(found.has_value());
            EXPECT_NEAR(found->x(), o.x(), c.tolerance);
            EXPECT_NEAR(found->y(), o.y(), c.tolerance);
        }
    }
    std::vector<Eigen::Vector2d> holed(16, Eigen::Vector2d(1, 1));
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) holed[size_t(4 * j + i)] = Eigen::Vector2d(10.0 * i, 10.0 * j);
    holed[5] = Eigen::Vector2d(NAN, NAN);
    const CorrectionGrid g({0, 0}, 10, 4, 4, holed);
    EXPECT_FALSE(g.sourceOf({12, 12}).has_value());
    ASSERT_TRUE(g.sourceOf({25, 25}).has_value());
    EXPECT_NEAR(g.sourceOf({25, 25})->x(), 25, 1e-12);
    EXPECT_THROW(CorrectionGrid({0, 0}, 10, 3, 4, holed), std::runtime_error);
}
