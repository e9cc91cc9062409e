// TrackFeatures: feature matches between the images of a rig's cameras at one frame.
//
// For every camera of the rig that is enabled and has an input, the node's input of that
// camera is rendered at the frame (its whole format, red, green and blue) and turned into
// 8-bit grey. SIFT features are found in each image, after its local contrast has been
// equalised (so faint texture and views of unequal exposure, gamma or colour give features
// alike), and kept spread over the frame (the strongest ones of each cell of a grid, so that
// textured corners do not take all of them; frames wider than 1600 pixels are searched at a
// half, a quarter... of their size). Two cameras' features are matched by their
// descriptors, each among the other camera's features within a tenth of the frame's height
// of its own row (at least 16 pixels): the views of a stereo pair are nearly rectified, and a
// pair further apart vertically than that is beyond what a vertical alignment corrects. The
// search is exact, so a key gives the same matches on every run and thread count. The
// nearest neighbour must be clearly nearer than the second nearest (ratio test) and the match
// must be mutual. Each match is then placed to a fraction of a pixel at
// full resolution by fitting the patch around the first feature into the second image (an
// affine change of shape and of brightness allowed; the patch grows with the feature's
// scale, so that soft blobs are placed by their whole shape, and reads images smoothed to its
// spacing, so that grain and 8-bit steps do not pull it); a match whose patch does not fit
// well, does not fit back onto the first feature from the second (to within what the two
// fits' uncertainties allow), or whose fitted position is uncertain by more than a tenth of a
// pixel, is dropped (a patch across a depth edge, detail without a definite position, faint
// texture under grain). Features up to the frame's edge are placed as well. With
// rejectOutliers, matches that lie further from the epipolar lines of the
// fundamental matrix found by RANSAC than 0.3 % of the frame's diagonal (at least a pixel: a
// lens's distortion bends those lines most at the frame's edges) are dropped, and so are matches
// that move unlike most of their nearest neighbours (a repeating pattern matched one period
// along the epipolar line); in a part of the frame those tests leave with few matches, a
// dropped match whose displacement the nearest kept matches predict is taken back (the true
// matches of a repeating pattern). The survivors, at most an even share of
// kMaxMatchesPerPair per grid cell, are appended to the camera track as FeatureTracks of two
// features, the lower rig camera index first (the left camera of a stereo pair), positions
// in the host's pixel convention (x right, y up, pixel centres at i + 0.5).
//
// Which cameras are matched: MATCH_ADJACENT matches each camera with the next in rig order,
// MATCH_ALL_PAIRS every pair; for a two-camera rig they are the same.
//
// A frame without texture gives no tracks and is not an error. An input that is missing or
// cannot be rendered makes TrackFeatures report the input's own error as the node's error
// and return false; an aborted render returns false as well. The camera track is then left
// as it was.
#pragma once

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/Tracks.h"

#include <vector>

namespace Kx::Image {
class Op;
}

namespace Marrow::Research {

enum MatchTypeEnum : int {
    MATCH_ADJACENT = 0,
    MATCH_ALL_PAIRS = 1,
};

// The most matches one camera pair gives at one frame.
constexpr int kMaxMatchesPerPair = 3000;

// node: the node asking; its host input number inputs[c] is the image of rig camera c
// (-1 for a camera without an input). frame: the frame to render the inputs at.
bool TrackFeatures(Kx::Image::Op* node, CameraTrack& track, const CameraRigDefinition& rig,
                   MatchTypeEnum matchType, bool rejectOutliers, double frame,
                   const std::vector<int>& inputs);

// The patch fit runs in AVX-512 where the processor has it, and otherwise on its reference
// path in SSE2, x86-64's baseline; the two place a match alike up to the rounding of their sums.
// The descriptor search takes its reference path too, whose distances are exactly the faster
// paths' (whole numbers). Keeps both on the reference path (true) or lets the processor choose
// (false), and returns whether the fit uses AVX-512 after the change. Every thread uses the same
// path, so a key gives the same tracks on one thread and on many; change it only while nothing
// is being tracked.
bool trackFeaturesOnReferencePath(bool reference);

} // namespace Marrow::Research
