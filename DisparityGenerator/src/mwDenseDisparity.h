// DenseDisparity: the dense 2-D disparity between the two views of a stereo pair, in both
// directions, with a left-right consistency check.
//
// Conventions (the host's): images are planes of floats with row 0 at the bottom, y upward,
// the centre of pixel (i, j) at (i + 0.5, j + 0.5). The disparity at a pixel p of one view is
// the offset (dx, dy) from p to its match in the other view, in pixels, so the match lies at
// p + (dx, dy). Both components are measured: the views are not rectified when this runs, so
// a vertical disparity (from a roll, a tilt, a zoom or a camera mounted higher than the other)
// comes out as it is.
//
// How: each view is reduced to a grey copy (Rec. 709 luminance of the colour, smoothed as for
// the first level of a Gaussian pyramid, by a 5-tap Gaussian of sigma 1 that takes out the
// noise and aliasing that would pull the match), mapped to 8 bits with one contrast stretch for
// both views (the 0.5 % and 99.5 % quantiles of the pair, in a square-root tone curve so that
// shadows keep their detail). OpenCV's DIS dense flow then runs coarse to fine over its own
// pyramid, with a variational refinement at every scale, once from left to right and once from
// right to left. The two directions run at the same time on the host engine's threads.
//
// Consistency: a left pixel p is matched when its match q = p + dL(p) lies inside the right
// frame and the right view's disparity at q (bilinear) leads back to within the tolerance of
// p: |dL(p) + dR(q)| <= tolerance; the same for right pixels. Unmatched pixels are occluded in
// the other view, outside its frame, or lie in a flat patch of their view (no detail within
// 4 pixels, so nothing to match); their disparity is kept as the flow gave it (it is smooth
// there, filled in from its neighbours) and the mask says not to trust it. A disparity longer
// than the largest expected disparity is a false match: it is marked unmatched too.
//
// Epipolar geometry: the two views of one instant of a rigid rig see every point on a pair of
// epipolar lines, whatever the rig's misalignment. The fundamental matrix is fitted (RANSAC,
// then least squares on its inliers) to the matched vectors of the left view; when its
// inliers lie within 0.2 px of their lines (median), the pair is rigid, and every vector that
// ends within the tolerance of its line is moved onto it. This takes the noise out of the
// vertical component, which the lines fix almost alone since they run nearly horizontally. A
// pair that is not rigid enough (strong lens distortion, a rolling shutter) keeps the flow as
// it is, and so does a pair that one homography explains nearly as well as the lines (a
// single plane, a wall with little before it), where the lines are not determined. The
// consistency check runs after this step, on the vectors as they are handed out.
//
// Texture: a pair whose grey copies have no contrast (a flat frame, a black slate) has
// nothing to match. Every pixel is then unmatched, the disparity is zero, and the result says
// so (textured = false), so that the node can warn instead of handing out invented vectors.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace Marrow::Research {

// Quality presets, fastest first (the node's "Quality" knob lists them in this order).
enum class DisparityQuality { Draft = 0, Normal = 1, Fine = 2 };

struct DisparitySettings {
    DisparityQuality quality = DisparityQuality::Normal;
    // The longest disparity (in pixels) that the scene can have; longer ones are false matches.
    float maxDisparity = 200.0f;
    // How far (in pixels) a round trip left-right-left may miss its start and still match.
    float tolerance = 1.0f;
};

// A plane of one float per pixel, rows bottom-up.
struct DisparityPlane {
    int width = 0, height = 0;
    std::vector<float> data;

    DisparityPlane() = default;
    DisparityPlane(int w, int h) : width(w), height(h), data(size_t(w) * size_t(h), 0.0f) {}
    float* row(int y) { return data.data() + size_t(y) * size_t(width); }
    const float* row(int y) const { return data.data() + size_t(y) * size_t(width); }
    float at(int x, int y) const { return data[size_t(y) * size_t(width) + size_t(x)]; }
};

// One view's result: the disparity to the other view and the mask (1 unmatched, 0 matched).
struct ViewDisparity {
    DisparityPlane dx, dy, unmatched;
};

struct StereoDisparity {
    ViewDisparity left, right;
    bool textured = true;
};

// The colour of one view: red, green and blue planes of equal size, rows bottom-up.
struct ViewColour {
    const DisparityPlane* red = nullptr;
    const DisparityPlane* green = nullptr;
    const DisparityPlane* blue = nullptr;
};

// Runs work(0) and work(1) (one per view or direction), possibly at the same time.
using PairRunner = std::function<void(const std::function<void(int)>& work)>;

// The grey 8-bit copies of both views (rows bottom-up, width * height bytes each), with the
// one contrast stretch of the pair. Empty when the pair has no contrast.
void greyPair(const ViewColour& left, const ViewColour& right, std::vector<unsigned char>& greyL,
              std::vector<unsigned char>& greyR);

// The disparity of both views of equal size. The views must be of equal size (the caller
// checks and says so to the user). runPair decides which threads run the two directions.
StereoDisparity computeDisparity(const ViewColour& left, const ViewColour& right,
                                 const DisparitySettings& settings, const PairRunner& runPair);

// The flow of a grey pair from a to b with the settings' quality: dx, dy at each pixel of a.
void denseFlow(const unsigned char* a, const unsigned char* b, int width, int height,
               DisparityQuality quality, DisparityPlane& dx, DisparityPlane& dy);

// The fundamental matrix F (row-major, p_right^T F p_left = 0, host pixel coordinates) fitted
// to the left view's vectors that pass the consistency check against the right view's; false
// when there are too few or the pair does not behave as a rigid rig (see above).
bool fitEpipolarGeometry(const ViewDisparity& left, const ViewDisparity& right,
                         const DisparitySettings& settings, double fundamental[9]);

// Marks the unmatched pixels of `from` against `to` (see the consistency rule above).
void consistencyCheck(ViewDisparity& from, const ViewDisparity& to,
                      const DisparitySettings& settings);

} // namespace Marrow::Research
