// CorrectionChain: the geometric correction of one view, written once. Every use of the
// correction (the row warp, both sample forms, the disparity and motion outputs, the viewer's
// crosses, the requested and output areas, the framing values) goes through one chain, so the
// steps and their order exist in one place.
//
// From an output position back to the source (toSource): spherical reprojection (latlong to
// camera pixel), parallax offset, zoom about the centre of the alignment box, vertical skew,
// inverse homography. From the source to the output (toOutput): the same steps inverted, in
// the opposite order. Every step but the zoom applies only when the view is aligned.
//
// Positions are pixels, x right, y up, pixel centres at i + 0.5; homographies act on column
// vectors (x, y, 1), and a point whose homogeneous weight is 0 keeps its position. A chain is
// built once per validation from the knob values of that moment and is never changed after:
// the render threads read it without a lock.
#pragma once

#include "Kx/Image/Box.h"

#include "Quorvane/SphericalTransform.h"
#include "VireonShared/VireonAlignmentSampler.h"

#include <Eigen/Core>

namespace Marrow::Research {

// A box edge of a whole-pixel coordinate, held to half the int range: a corner thrown to 1e11 or
// to infinity by an absurd alignment gives a huge edge rather than an overflowed one, and the
// edge arithmetic of a box (widths, one row in) stays in range. NaN lies on the far side: below
// for a low edge (x, y), above for a high one (r, t).
int boxEdge(double v, bool low);

class CorrectionChain {
public:
    // The knob values a chain is built from.
    struct Steps {
        bool align = false;     // the view's alignment (and its offset and projection) apply
        bool spherical = false; // the output is a latlong image
        bool offsetOn = false;  // the parallax offset applies
        float offset = 0.0f;    // the view's signed horizontal offset, pixels
        bool scaleOn = false;   // the zoom that prevents black applies
        float fitScale = 1.0f;  // that zoom
    };

    // The identity: every position maps to itself.
    CorrectionChain() = default;
    CorrectionChain(const Vireon::VireonAlignmentSampler& sampler,
                    const SphericalTransform& transform, const Steps& steps);

    // Output position to source position. A latlong position whose ray misses the camera
    // goes to (-100000, -100000), outside any image.
    Eigen::Vector2d toSource(const Eigen::Vector2d& p) const;
    // Source position to output position.
    Eigen::Vector2d toOutput(const Eigen::Vector2d& p) const;
    // toSource of the pixel centres (i + 0.5, y + 0.5), x <= i < r, into xs[i - x] and
    // ys[i - x] in single precision, for a chain without spherical reprojection: the same
    // positions to the bit, with the work that depends only on the row done once for it.
    void toSourceRow(int y, int x, int r, float* xs, float* ys) const;
    // The source box that the corners of an output box map to (no reordering), and the output
    // box of a source box (ordered, so a mirroring alignment still gives x <= r and y <= t).
    // Edges are held to half the int range, so absurd alignments give huge boxes, never
    // overflowed ones.
    Kx::Image::Box sourceArea(const Kx::Image::Box& output) const;
    Kx::Image::Box outputArea(const Kx::Image::Box& source) const;

    // Single steps, whatever the flags say: the alignment from the source (forward homography,
    // then the forward skew) and back to it (inverse skew, then inverse homography).
    Eigen::Vector2d align(const Eigen::Vector2d& p) const;
    Eigen::Vector2d unalign(const Eigen::Vector2d& p) const;
    // The zoom's centre, the centre of the alignment box in single precision.
    Eigen::Vector2f zoomCentre() const;

    const Vireon::VireonAlignmentSampler& sampler() const { return _sampler; }
    const SphericalTransform& transform() const { return _transform; }
    const Steps& steps() const { return _steps; }

private:
    Vireon::VireonAlignmentSampler _sampler;
    SphericalTransform _transform{CameraDefinition()};
    Steps _steps;
};

} // namespace Marrow::Research
