// The alignment model: how one view of a stereo pair is corrected.
//
// A view's correction is a small record of parameters (ViewAlignment) that the solver fits
// at each analysis key, that is blended linearly between keys, and that is composed into one
// 3 x 3 homography plus four vertical-skew corners for the warp. Positions are pixels of the
// alignment box, x right, y up; homographies are row-major and act on column vectors
// (x, y, 1); H maps a view's input position to its aligned position.
//
// The options act in the order of the panel's checkboxes, top to bottom: camera correction,
// focal-length scale, vertical shift, 2-D rotation, perspective warp, vertical skew. H is
// their product in that order (the skew travels apart as corners), normalised to Frobenius
// norm 1; a degenerate fit gives a non-finite H, which becomes the identity so that the view
// passes through unaligned.
#pragma once

#include "Kx/Image/Box.h"
#include "Kx/Image/Matrix.h"

#include "VireonShared/MatchedFeaturePair.h"
#include "VireonShared/VireonAlignmentSampler.h"

#include <Eigen/Core>

#include <vector>

namespace Kx::Image {
class Op;
}

namespace Marrow::Research {

class VerticalAlignerPlugin;

struct AlignmentSettings {
    int alignWhat = 0;  // 0 both views, 1 left to right, 2 right to left
    int options = 0;    // the option bits of VerticalAlignerKnobManager::Option
    Kx::Image::Box box; // the alignment box
    bool spherical = false;
    float convergenceDepth = 10;

    bool alignLeft() const { return alignWhat == 0 || alignWhat == 1; }
    bool alignRight() const { return alignWhat == 0 || alignWhat == 2; }
    // The share of the correction a corrected view takes: half each when both move.
    double share() const { return alignWhat == 0 ? 0.5 : 1.0; }
    // The box centre, computed in single precision from the integer sums.
    double cx() const { return double(float(box.x() + box.r()) / 2.0f); }
    double cy() const { return double(float(box.y() + box.t()) / 2.0f); }
};

struct ViewAlignment {
    Eigen::Vector4d skewCorners;      // bottom-left, bottom-right, top-left, top-right rows
    Eigen::Matrix3d cameraHomography; // roll compensation and camera correction
    Eigen::Matrix3d perspective;      // perspective warp
    Eigen::Vector2d pivot;            // the rotation's pivot (a, b)
    double scale = 1.0;
    double shift = 0.0;
    double angle = 0.0; // radians
};

using MatchedPairs = std::vector<Vireon::MatchedFeaturePair>;

// Writes the six option checkboxes that a preset stands for ("Custom" writes none).
void applyPreset(Kx::Image::Op& node);
// The preset whose checkboxes equal the options mask, or 0 ("Custom") when none does.
int presetOfOptions(int options);

AlignmentSettings makeSettings(const VerticalAlignerPlugin& node);
ViewAlignment initViewAlignment(const AlignmentSettings& settings);
Eigen::Matrix3d composeHomography(const AlignmentSettings& settings, const ViewAlignment& record);
// first mapped by left, second by right, with the perspective divide; a point whose weight
// is exactly 0 is copied unchanged.
MatchedPairs transformPairs(const MatchedPairs& pairs, const Eigen::Matrix3d& left,
                            const Eigen::Matrix3d& right);
ViewAlignment blendViewAlignment(const ViewAlignment& a, const ViewAlignment& b, double t);
// The sampler gets the options, the normalised pseudo-inverse of H, H, the skew corners and
// the box.
void handToSampler(const AlignmentSettings& settings, const ViewAlignment& record,
                   const Eigen::Matrix3d& H, Vireon::VireonAlignmentSampler& sampler);

// The pseudo-inverse over every non-zero singular value.
Eigen::MatrixXd pseudoInverse(const Eigen::MatrixXd& m);
// Rotations between the host's single-precision matrices and the solver's.
Kx::Image::Matrix3 toHostMatrix(const Eigen::Matrix3d& m);
Eigen::Matrix3d fromHostMatrix(const Kx::Image::Matrix3& m);

// A point through a homography; a weight of exactly 0 leaves the point unchanged.
Eigen::Vector2d applyHomography(const Eigen::Matrix3d& H, const Eigen::Vector2d& p);

} // namespace Marrow::Research
