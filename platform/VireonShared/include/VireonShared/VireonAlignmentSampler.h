// VireonAlignmentSampler: the global alignment of one view for one frame, as the render
// engine applies it.
//
// Positions are pixels of the alignment box (x right, y up). Homographies are row-major
// 3x3 matrices acting on column vectors (x, y, 1); a point whose homogeneous weight comes out
// as 0 is left unchanged. The vertical skew moves output rows: after the forward homography
// a point (x, y) moves up by the skew offset
//     u = (x - box.x) / (box.r - box.x),  v = (y - box.y) / (box.t - box.y),
//     offset = (k0 · (1 - u) + k1 · u) · (1 - v) + (k2 · (1 - u) + k3 · u) · v,
// with corner values k0..k3 at the bottom-left, bottom-right, top-left and top-right of the
// box. The inverse chain adds the same kind of offset, with the inverse corner values, to an
// output position before the inverse homography.
//
// The public members are read directly by the render engine; setAlignmentTransform fills
// them and reset empties them (identity, no skew, no options, empty box).
#pragma once

#include <Eigen/Core>
#include <Kx/Image/Box.h>

namespace Marrow::Vireon {

class VireonAlignmentSampler {
public:
    // Option bit that puts the skew corners in force.
    static constexpr int kVerticalSkew = 0x20;

    VireonAlignmentSampler() { reset(); }

    // options: the alignment options bit set; inverse: output to source position; forward:
    // source to output position; skewCorners: the output rows (y) that the box corners take
    // after the skew, in the order bottom-left, bottom-right, top-left, top-right
    // ((y, y, t, t) of the box means no skew); box: the alignment box.
    // The forward skew values move each forward-mapped box corner onto its skew corner; the
    // inverse values bring each skew corner back onto its box edge exactly, and are exact
    // along the left and right box edges (the skew is linear in y there). A skew that
    // collapses an edge, corners that are not finite or an empty box give no skew at all.
    void setAlignmentTransform(int options, const Eigen::Matrix3d& inverse,
                               const Eigen::Matrix3d& forward, const Eigen::Vector4d& skewCorners,
                               const Kx::Image::Box& box);
    void reset();
    const Kx::Image::Box& getFormat() const { return box; }

    // The skew offset of corner values k at (x, y) in this sampler's box (formula above).
    double skewOffset(const Eigen::Vector4d& k, double x, double y) const;
    // Source position to output position: forward homography, then the forward skew when
    // the option is on.
    Eigen::Vector2d toOutput(const Eigen::Vector2d& p) const;
    // Output position to source position: inverse skew when the option is on, then the
    // inverse homography.
    Eigen::Vector2d toSource(const Eigen::Vector2d& p) const;

    int options;
    Kx::Image::Box box;
    Eigen::Matrix3d inverseHomography;
    Eigen::Matrix3d forwardHomography;
    Eigen::Vector4d forwardSkewCorners;
    Eigen::Vector4d inverseSkewCorners;
};

// p mapped by a homography, with the perspective divide; unchanged when the weight is 0.
Eigen::Vector2d applyHomography(const Eigen::Matrix3d& m, const Eigen::Vector2d& p);

} // namespace Marrow::Vireon
