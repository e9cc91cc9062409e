// The correction of one view as other tools take it: a homography from input to output
// pixels fitted to the STMap the aligner renders, its figures (rotation, shift, scale,
// keystone, skew), its corner pin, and how far the STMap departs from it.
//
// Conventions. The host's pixels have y upward, row 0 at the bottom and the centre of pixel
// (i, j) at (i + 0.5, j + 0.5); the STMap holds, for each output pixel centre, the source
// position divided by the format's size. A homography acts on column vectors (x, y, 1) and is
// scaled so that its last element is 1.
//
// The fit: the STMap is sampled on a grid of output pixels; each sample pairs a source point
// with the output pixel centre it lands on, and the homography from source to output is the
// normalised direct linear transform of all pairs. A view corrected by vertical skew or by the
// local alignment is not a homography; the largest distance between a sample's output position
// and where the homography puts its source tells by how much.
#pragma once

#include <Eigen/Core>

#include <array>
#include <optional>
#include <vector>

namespace Kestrel {

struct PointPair {
    Eigen::Vector2d source, output;
};

struct FittedHomography {
    Eigen::Matrix3d inputToOutput = Eigen::Matrix3d::Identity();
    double maxResidual = 0; // pixels, over the samples
    double rmsResidual = 0;
    size_t samples = 0;
};

// Fits the homography to at least four pairs; throws std::runtime_error for fewer, or when
// the points are degenerate (all on one line).
FittedHomography fitHomography(const std::vector<PointPair>& pairs);

// The figures of a homography of a width x height frame, taken about the frame's centre:
// H = T(centre) · S · P · T(−centre) with P = [[1, 0, 0], [0, 1, 0], [g, h, 1]] (the
// keystone) and S = [[A, t], [0, 1]], A = R(rotation) · [[scaleX, skew·scaleY], [0, scaleY]].
struct CorrectionFigures {
    double rotationDegrees = 0;    // counter-clockwise, y up
    double shiftX = 0, shiftY = 0; // pixels the frame's centre moves, y up
    double scaleX = 1, scaleY = 1;
    double skew = 0; // horizontal shear: x moves by skew · y
    // The relative change of scale the perspective terms cause at the right and top edges
    // of the frame (g · width/2 and h · height/2): 0 for an affine correction.
    double keystoneX = 0, keystoneY = 0;
};
CorrectionFigures figuresOf(const Eigen::Matrix3d& inputToOutput, int width, int height);

// The same mapping in the image-file convention OpenCV uses: y downward from the top row,
// pixel centres at whole numbers. `inputHeight` and `outputHeight` are the frames' heights.
Eigen::Matrix3d toTopLeftPixels(const Eigen::Matrix3d& inputToOutput, int inputHeight,
                                int outputHeight);

// Where the four corners of a width x height input frame go: bottom-left, bottom-right,
// top-right, top-left, in the host's pixels (y up), as a corner pin's "to" points.
std::array<Eigen::Vector2d, 4> cornerPin(const Eigen::Matrix3d& inputToOutput, int width,
                                         int height);

// The STMap of a view sampled on a regular grid of output pixel centres, and the way back:
// from an input position to the output position the correction moves it to. Sample (i, j)
// holds the source position of the output point origin + step · (i, j), rows from the bottom;
// a sample whose projection failed is not finite. Between samples the map is bilinear and
// beyond the grid it goes on linearly from the outermost cells: a correction is a smooth
// warp, so at a step of a few pixels this is exact to far below a hundredth of a pixel.
class CorrectionGrid {
public:
    // Throws std::runtime_error when the samples are not columns × rows (both at least 2) or
    // too few are finite to fit the homography that starts the way back.
    CorrectionGrid(Eigen::Vector2d origin, double step, int columns, int rows,
                   std::vector<Eigen::Vector2d> source);

    // The source position of an output position; nothing next to a failed sample.
    std::optional<Eigen::Vector2d> sourceOf(const Eigen::Vector2d& output) const;
    // The output position whose source is `input`: the fitted homography's guess, refined
    // until its source is within 1e-6 px of `input`; nothing when that does not converge
    // (an input position that no output pixel takes).
    std::optional<Eigen::Vector2d> outputOf(const Eigen::Vector2d& input) const;
    // The homography from input to output closest to the samples.
    const FittedHomography& fit() const { return _fit; }

private:
    Eigen::Vector2d _origin;
    double _step;
    int _columns, _rows;
    std::vector<Eigen::Vector2d> _source;
    FittedHomography _fit;
};

} // namespace Kestrel
