// The global alignment solver: at one analysis key, the matched pairs of the two views and
// their cameras give one ViewAlignment per view.
//
// The options are fitted one after another in panel order, each on the pairs as moved by
// the model fitted so far: roll compensation (always), camera correction (Rectilinear space
// only), focal-length scale, vertical shift, 2-D rotation (a Levenberg-Marquardt fit without
// gradient), perspective warp and vertical skew (weighted linear least squares through an
// SVD pseudo-inverse). A corrected view moves its points' rows towards their partners': half
// way when both views are aligned, all the way when only one is. Pairs marked priority
// weigh 250, the others 1. In Spherical space a partner's point is first carried into the
// view's own image through the ideal (latlong) image of both cameras.
//
// The camera correction turns each view to the orientation its camera should have. With the
// stereo layout the cameras come from a solve of their position and orientation only: a
// difference of focal length or of vertical centre shift between the two cameras is taken up
// as a tilt or pan, and the correction then brings in a keystone that scale, shift and rotate
// cannot remove (on the synthetic plate a 2 % focal difference alone leaves about 0.34 px RMS
// with the camera correction and "Transform", 0.0006 px with "Transform" alone). Perspective
// and vertical skew take that keystone up.
#pragma once

#include "mwAlignmentModel.h"

#include "Quorvane/CameraDefinition.h"
#include "Quorvane/SphericalTransform.h"

#include <optional>

namespace Marrow::Research {

class VerticalAlignerPlugin;

// The pairs of the left and right views' cameras in the stored tracks of a key whose point
// RMSE is below the error threshold; false when the frame is not a key or has no track.
bool matchedPairsAtKey(const VerticalAlignerPlugin& node, int frame, MatchedPairs& out);

struct SolvedKey {
    ViewAlignment left, right;
};

// Solves one key; the cameras are corrected in place.
SolvedKey solveKey(const AlignmentSettings& settings, const MatchedPairs& pairs,
                   CameraDefinition& leftCamera, CameraDefinition& rightCamera);

// The pinhole intrinsics of a camera in pixels, from the host's lens matrix; none when the
// matrix is not finite.
std::optional<Eigen::Matrix3d> cameraIntrinsics(const CameraDefinition& camera);

// The residuals of the rotation fit: for each pair, the weighted difference between the
// target row and the row of the view's point after scale, shift and rotation.
class ScaleShiftRotateCostFunction {
public:
    ScaleShiftRotateCostFunction(const MatchedPairs* pairs, bool isLeft, bool useScale,
                                 bool useShift, bool spherical, double cx, double cy, double share,
                                 const SphericalTransform& left, const SphericalTransform& right);
    virtual ~ScaleShiftRotateCostFunction() = default;

    int unknowns() const { return 3 + int(_useScale) + int(_useShift); }
    int residuals() const { return int(_pairs->size()); }
    // x = [a, b, θ, s (with scale), τ (with shift)].
    virtual void f(const Eigen::VectorXd& x, Eigen::VectorXd& fx) const;

private:
    const MatchedPairs* _pairs;
    bool _isLeft, _useScale, _useShift, _spherical;
    double _cx, _cy, _share;
    SphericalTransform _left, _right;
};

} // namespace Marrow::Research
