// TriangulateFeatures: the scene point of every feature track of a frame, seen through the
// cameras of a rig.
//
// For each track, the features of distinct rig cameras (the first feature of a camera
// counts; features of cameras outside the rig are ignored) give rays from the camera
// centres. The point is the one closest to all rays, refined to the least reprojection
// error; its RMSE is the root-mean-square distance, in pixels, between each feature and the
// point's projection into that feature's camera. A track gets the invalid point (RMSE -1)
// when it has fewer than two usable features, when its rays are nearly parallel (all pairs
// closer than kMinParallaxDegrees, so that the depth is not determined), or when the point
// lies behind one of its cameras.
//
// Cameras that stand at the same place, as the two cameras of a plate without rig metadata
// do (or a rig whose pair is still to be solved from its matches), see no depth. For such a
// pair the relative pose is first solved from the frame's own matches (SolveCameraPair, the
// first camera kept, the baseline the rig diameter or one scene unit) and the points are
// triangulated through the solved pair. The RMSE of a match of such a pair is then its
// epipolar error: the fundamental matrix of the frame's matches is found (RANSAC at one
// pixel, then least squares on its inliers) and the RMSE is the RMS of the distances, in
// pixels, by which its two features must move to agree with it. That is what the user needs
// of a match on a plain plate: how far it is from the one epipolar geometry that the bulk of
// the matches share, whatever the two lenses (a zoom or centre shift between the views, which
// a pair of equal pinhole cameras would not model, does not count against it); a wrong match
// or a feature on something that moved stands out. When the solve fails (too few matches, a
// pair that only turned), the points of those cameras' tracks stay invalid.
#pragma once

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/Tracks.h"

namespace Marrow::Research {

constexpr double kMinParallaxDegrees = 0.005;
// Camera centres closer than this (scene units) count as one place.
constexpr double kSameCentre = 1e-9;

// Gives the tracks of the frame their points. With overwrite false, tracks whose point is
// already valid keep it. Returns the number of tracks that have a valid point afterwards.
int TriangulateFeatures(CameraTrack& track, const CameraRigDefinition& rig, bool overwrite);

// The rig through which TriangulateFeatures sees the frame: the given one, with every pair of
// cameras at one place solved from the frame's matches as above.
CameraRigDefinition rigWithBaselines(const CameraTrack& track, const CameraRigDefinition& rig);

// The point of one track (what TriangulateFeatures stores).
Point triangulateTrack(const FeatureTrack& track, const CameraRigDefinition& rig);

} // namespace Marrow::Research
