// SolveCameraPair: the relative orientation and position of two rig cameras, from the
// feature matches between them.
//
// Every feature track of the given frames that has a feature of both cameras (the first
// feature of each) is a match. The matches are taken to the cameras' normalised image
// planes through each camera's own intrinsics, an essential matrix is found robustly
// (RANSAC, one pixel of tolerance), and the rotation and baseline direction it gives are
// refined by Levenberg-Marquardt on the Sampson distance of the inlier matches. The
// baseline length is kept: it is the distance between the two camera centres before the
// solve, or the rig diameter when the centres coincide, or one scene unit when neither is
// known (plain plates say nothing of the scale of the scene).
//
// What is written back: with fixFirstCamera the first camera stays as it is and the second
// takes the solved pose relative to it. Otherwise both move: the pair keeps the midpoint of
// its centres and its mean orientation (the rotation half-way between the two), and the
// relative pose becomes the solved one. Lens and image settings are left as they are.
//
// Fails (false, rig untouched) with fewer than kMinPairMatches inliers, when the two
// indices are the same or outside the rig, or when the
// geometry is degenerate (no essential matrix, or the points do not lie in front of both
// cameras, as with a camera that only turned).
#pragma once

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/Tracks.h"

#include <utility>
#include <vector>

namespace Kx::Image {
class Op;
}

namespace Marrow::Research {

constexpr int kMinPairMatches = 12;

// node: the node asking (its render's abort ends the solve with false; may be null).
// userTracksOnly: use only the tracks a user made or kept.
bool SolveCameraPair(const Kx::Image::Op* node, std::pair<int, int> cameras,
                     CameraRigDefinition& rig, const std::vector<const CameraTrack*>& tracks,
                     bool userTracksOnly, bool fixFirstCamera);

} // namespace Marrow::Research
