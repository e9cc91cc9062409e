// What the solver tests share: the settings of a 1920 x 1080 solve converging at 8 units, and
// a camera of the test rig placed along the baseline.
#pragma once

#include "mwAlignmentModel.h"

#include "Quorvane/CameraDefinition.h"

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

} // namespace Marrow::Research::SolverTest
