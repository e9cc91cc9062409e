// VerticalAlignerDataProvider: the node's global alignment at any frame.
//
// A frame is aligned from the analysis keys around it: each key's matched pairs and cameras
// are solved into per-view records, the two records are blended linearly by the frame's
// position between the keys (the cameras' positions linearly, their orientations along the
// shorter arc), and each view's record becomes a homography and skew corners in that view's
// alignment sampler. A frame before the first key or after the last uses that key alone.
// Nothing is cached: every call solves from the knobs and the stored matches.
#pragma once

#include "VireonShared/DataProvider.h"

namespace Marrow::Research {

class VerticalAlignerPlugin;

class VerticalAlignerDataProvider : public Vireon::DataProvider {
public:
    explicit VerticalAlignerDataProvider(VerticalAlignerPlugin* node);

    bool updateAlignment(Vireon::VireonAlignmentSampler& left,
                         Vireon::VireonAlignmentSampler& right, double frame) override;
    bool isAnalysisKey(int frame) override;
    // The node offers no camera projections of the aligned views.
    bool cameraProjections(Vireon::Matrix34d&, Vireon::Matrix34d&, double&, double&) override {
        return false;
    }
    // The node's alignment reaches other nodes through framing only: identities.
    bool globalTransforms(Eigen::Matrix3d& left, Eigen::Matrix3d& right, double frame) override;
    int64_t keyCount() override;
    bool bracketingKeys(double frame, double& k0, double& k1) override;
    int64_t matchedPairCount(int frame) override;
    bool matchedPairs(std::vector<Vireon::MatchedFeaturePair>& pairs, int frame) override;
    bool camerasAtKey(CameraDefinition& left, CameraDefinition& right, double frame) override;
    bool projectionsAtKey(Vireon::Matrix34d& left, Vireon::Matrix34d& right, double& sensorWidth,
                          double frame) override;

private:
    VerticalAlignerPlugin* _node;
};

} // namespace Marrow::Research
