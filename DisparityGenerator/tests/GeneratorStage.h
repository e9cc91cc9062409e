// The end-to-end tests' stage: the synthetic stereo plate of the rendering tests (its exact
// disparity and occlusion are the truth) with a Q_DisparityGenerator between the plate and the
// rest of the graph, and the comparison of the generator's output with the truth.
#pragma once

#include "e2e_RenderPlate.h"
#include "mwDisparityGeneratorPlugin.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace GeneratorTest {

using namespace RenderTest;
using Marrow::Research::DisparityGeneratorPlugin;

// The demo's misalignment of the right camera.
inline const Misalignment kDemo = {
    {"verticalShift", 6}, {"roll", 0.6}, {"focalRatio", 1.015}, {"tilt", 0.25}};

// The channels of one view's disparity: x, y and the occlusion mask.
struct ViewChannels {
    Channel dx, dy, hidden;
};
inline ViewChannels viewChannels(int v) {
    return v == Plate::kLeft ? ViewChannels{Chan_DisparityL_X, Chan_DisparityL_Y,
                                            DisparityGeneratorPlugin::occlusionLeftChannel()}
                             : ViewChannels{Chan_DisparityR_X, Chan_DisparityR_Y,
                                            DisparityGeneratorPlugin::occlusionRightChannel()};
}

// The aligner's plate with the generator spliced in after the source.
struct GeneratedPlate : Plate {
    Node generator{DisparityGeneratorPlugin::kClassName, "DisparityGenerator1"};

    GeneratedPlate(const Misalignment& misalignment, int preset, int w, int h)
        : Plate(misalignment, preset, w, h) {
        generator.setInput(0, &source);
        stmap.setInput(0, &generator);
    }
    Image renderGenerated(int v, const ChannelSet& channels) {
        Iop* op = generator.iop(OutputContext(1, v));
        op->validate(true);
        EXPECT_FALSE(op->hasError()) << op->errorMessage();
        return renderArea(*op, Box(0, 0, width, height), channels);
    }
};

// How a view's generated disparity compares with the truth.
struct Accuracy {
    double medianEndPoint = 0, verticalRms = 0, occlusionAgreement = 0;
    int pixels = 0;
};

inline Accuracy compare(const Image& generated, const Image& truth, const ViewChannels& c) {
    Accuracy a;
    std::vector<double> endPoint;
    double vertical = 0;
    long agree = 0, all = 0;
    for (int y = truth.box.y(); y < truth.box.t(); ++y)
        for (int x = truth.box.x(); x < truth.box.r(); ++x) {
            const bool hidden = truth.at(c.hidden, x, y) != 0;
            agree += hidden == (generated.at(c.hidden, x, y) != 0);
            ++all;
            if (hidden) continue;
            const double ex = generated.at(c.dx, x, y) - truth.at(c.dx, x, y);
            const double ey = generated.at(c.dy, x, y) - truth.at(c.dy, x, y);
            endPoint.push_back(std::hypot(ex, ey));
            vertical += ey * ey;
        }
    a.pixels = int(endPoint.size());
    if (a.pixels == 0) return a;
    auto mid = endPoint.begin() + std::ptrdiff_t(endPoint.size() / 2);
    std::nth_element(endPoint.begin(), mid, endPoint.end());
    a.medianEndPoint = *mid;
    a.verticalRms = std::sqrt(vertical / a.pixels);
    a.occlusionAgreement = double(agree) / double(all);
    return a;
}

// The output pixel position of a view whose STMap holds a source position: the inverse of the
// STMap by fixed-point steps from the source position itself, which converge where the warp is
// close to a translation (a small roll and zoom are). False when they do not settle within
// 0.01 px, as at a depth edge where the local shift jumps.
inline bool outputOf(const Image& out, const Eigen::Vector2d& source, int w, int h,
                     Eigen::Vector2d& p) {
    p = source;
    for (int k = 0; k < 30; ++k) {
        const Eigen::Vector2d s(bilinear(out, stmapU(), p) * w, bilinear(out, stmapV(), p) * h);
        const Eigen::Vector2d step = source - s;
        p += step;
        if (step.norm() < 0.01) return true;
    }
    return false;
}

// Where the scene point seen at left output pixel p lands in the right output, by the truth:
// its left source position from the left STMap, the true match in the right source, and the
// right output pixel whose STMap holds that match. False off smooth disparity (see
// smoothDisparity) or where the inverse does not settle.
struct AlignedPair {
    const Image &leftOut, &rightOut, &truth;
    int w, h;
    bool matchOf(const Eigen::Vector2d& p, Eigen::Vector2d& inputDisparity,
                 Eigen::Vector2d& q) const {
        const Eigen::Vector2d s(bilinear(leftOut, stmapU(), p) * w,
                                bilinear(leftOut, stmapV(), p) * h);
        const ViewChannels c = viewChannels(Plate::kLeft);
        if (!smoothDisparity(truth, s, c.dx, c.dy, c.hidden)) return false;
        inputDisparity = Eigen::Vector2d(bilinear(truth, c.dx, s), bilinear(truth, c.dy, s));
        return outputOf(rightOut, s + inputDisparity, w, h, q);
    }
};

} // namespace GeneratorTest
