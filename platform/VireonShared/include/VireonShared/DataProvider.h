// DataProvider: what a stereo node tells the stereo library about its global alignment, and
// the library's registry of providers, one per node.
//
// A provider registers itself under its node when it is built and leaves the registry when
// it is destroyed; a node may also take its provider out earlier with UnregisterDataProvider
// (a node does so first thing in its destructor, before its members go). The registry is
// process-wide and thread-safe; it never owns a provider.
//
// Conventions: frames are the host's frame numbers; 3x3 matrices are row-major homographies
// on column vectors (x, y, 1) in pixels (x right, y up); 3x4 matrices are camera projections
// (CameraProjection.h); the left view's positions come first in every pair.
#pragma once

#include "VireonShared/CameraProjection.h"
#include "VireonShared/MatchedFeaturePair.h"
#include "VireonShared/VireonAlignmentSampler.h"

#include <Quorvane/CameraDefinition.h>

#include <cstdint>
#include <vector>

namespace Kx::Image {
class Op;
}

namespace Marrow::Vireon {

class DataProvider {
public:
    // Registers this provider for the node (replacing any provider the node had).
    explicit DataProvider(const Kx::Image::Op* node);
    // Leaves the registry when this provider is still the node's.
    virtual ~DataProvider();
    DataProvider(const DataProvider&) = delete;
    DataProvider& operator=(const DataProvider&) = delete;

    const Kx::Image::Op* providerNode() const { return _node; }

    // Fills the two samplers with the alignment of a frame; false leaves them unchanged.
    virtual bool updateAlignment(VireonAlignmentSampler& left, VireonAlignmentSampler& right,
                                 double frame) = 0;
    virtual bool isAnalysisKey(int frame) = 0;
    // The camera projections of the aligned views and the sensor width and height (mm).
    virtual bool cameraProjections(Matrix34d& left, Matrix34d& right, double& sensorWidth,
                                   double& sensorHeight) = 0;
    // The per-view global transforms (input to aligned position) of a frame.
    virtual bool globalTransforms(Eigen::Matrix3d& left, Eigen::Matrix3d& right, double frame) = 0;
    virtual int64_t keyCount() = 0;
    // The analysis keys around a frame (both the same key outside or on a key).
    virtual bool bracketingKeys(double frame, double& k0, double& k1) = 0;
    virtual int64_t matchedPairCount(int frame) = 0;
    virtual bool matchedPairs(std::vector<MatchedFeaturePair>& pairs, int frame) = 0;
    virtual bool camerasAtKey(Research::CameraDefinition& left, Research::CameraDefinition& right,
                              double frame) = 0;
    virtual bool projectionsAtKey(Matrix34d& left, Matrix34d& right, double& sensorWidth,
                                  double frame) = 0;

private:
    const Kx::Image::Op* _node;
};

// The provider registered for a node, or nullptr.
DataProvider* FindDataProvider(const Kx::Image::Op* node);
// Takes the node's provider out of the registry; nothing happens when it has none.
void UnregisterDataProvider(const Kx::Image::Op* node);

// A symbol that makes a loader bind this library; it has no effect.
void dummyFunc();

} // namespace Marrow::Vireon
