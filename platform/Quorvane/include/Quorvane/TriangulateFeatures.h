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
#pragma once

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/Tracks.h"

namespace Marrow::Research {

constexpr double kMinParallaxDegrees = 0.005;

// Gives the tracks of the frame their points. With overwrite false, tracks whose point is
// already valid keep it. Returns the number of tracks that have a valid point afterwards.
int TriangulateFeatures(CameraTrack& track, const CameraRigDefinition& rig, bool overwrite);

// The point of one track (what TriangulateFeatures stores).
Point triangulateTrack(const FeatureTrack& track, const CameraRigDefinition& rig);

} // namespace Marrow::Research
