// What the solver tests share: the settings of a 1920 x 1080 solve converging at 8 units, a
// camera of the test rig placed along the baseline, and exact pairs that two cameras see.
#pragma once

#include "mwAlignmentModel.h"

#include "Quorvane/CameraDefinition.h"

#include <random>

namespace Marrow::Research::SolverTest {

inline AlignmentSettings settings(int options, int alignWhat = 0, bool spherical = false) {
    AlignmentSettings s;
    s.options = options;
    s.alignWhat = alignWhat;
    s.spherical = spherical;
    s.box = Kx::Image::Box(0, 0, 1920, 1080);
    s.convergenceDepth = 8;
    return s;
}

inline CameraDefinition camera(double x) {
    CameraDefinition c;
    c.setPosition(Eigen::Vector3d(x, 0, 0));
    return c;
}

// Exact pairs of scene points between 8 and 40 units away, seen by two cameras.
inline MatchedPairs pairsOf(const CameraDefinition& left, const CameraDefinition& right,
                            int n = 400, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.05, 0.95), depth(8, 40);
    MatchedPairs pairs;
    while (int(pairs.size()) < n) {
        const Eigen::Vector2d pixel(u(rng) * left.getFormatWidth(),
                                    u(rng) * left.getFormatHeight());
        const Eigen::Vector3d point = left.getPosition() + left.pixelToRay(pixel) * depth(rng);
        Marrow::Vireon::MatchedFeaturePair p;
        if (!left.projectToPixel(point, p.first) || !right.projectToPixel(point, p.second))
            continue;
        pairs.push_back(p);
    }
    return pairs;
}

} // namespace Marrow::Research::SolverTest
