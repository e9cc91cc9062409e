#include "mwVerticalAlignerDataProvider.h"

#include "mwAlignmentSolver.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Matrix.h"

#include <cmath>

namespace Marrow::Research {

VerticalAlignerDataProvider::VerticalAlignerDataProvider(VerticalAlignerPlugin* node)
    : DataProvider(node), _node(node) {}

bool VerticalAlignerDataProvider::isAnalysisKey(int frame) {
    return _node->knobValues().isAnalysisKey(frame);
}

bool VerticalAlignerDataProvider::globalTransforms(Eigen::Matrix3d& left, Eigen::Matrix3d& right,
                                                   double) {
    left.setIdentity();
    right.setIdentity();
    return true;
}

int64_t VerticalAlignerDataProvider::keyCount() {
    return _node->knobValues().keyCount();
}

bool VerticalAlignerDataProvider::bracketingKeys(double frame, double& k0, double& k1) {
    const std::set<double> keys = _node->knobValues().keyFrames();
    if (keys.empty()) {
        k0 = k1 = std::trunc(frame);
        return false;
    }
    auto k = keys.lower_bound(frame);
    if (k == keys.end()) {
        k0 = k1 = *keys.rbegin();
    } else if (k == keys.begin() || *k == frame) {
        k0 = k1 = *k;
    } else {
        k1 = *k;
        k0 = *std::prev(k);
    }
    return true;
}

int64_t VerticalAlignerDataProvider::matchedPairCount(int frame) {
    std::vector<Vireon::MatchedFeaturePair> scratch;
    return matchedPairs(scratch, frame) ? int64_t(scratch.size()) : 0;
}

bool VerticalAlignerDataProvider::matchedPairs(std::vector<Vireon::MatchedFeaturePair>& pairs,
                                               int frame) {
    return matchedPairsAtKey(*_node, frame, pairs);
}

bool VerticalAlignerDataProvider::camerasAtKey(CameraDefinition& left, CameraDefinition& right,
                                               double frame) {
    return _node->rigState().camerasAtKey(left, right, frame);
}

bool VerticalAlignerDataProvider::projectionsAtKey(Vireon::Matrix34d& left,
                                                   Vireon::Matrix34d& right, double& sensorWidth,
                                                   double frame) {
    return _node->rigState().projectionsAtKey(left, right, sensorWidth, frame);
}

bool VerticalAlignerDataProvider::updateAlignment(Vireon::VireonAlignmentSampler& leftSampler,
                                                  Vireon::VireonAlignmentSampler& rightSampler,
                                                  double frame) {
    const AlignmentSettings settings = makeSettings(*_node);
    double k0 = 0, k1 = 0;
    if (!bracketingKeys(frame, k0, k1)) return false;

    struct Key {
        CameraDefinition left, right;
        SolvedKey records;
    };
    auto solve = [&](double key, Key& out) {
        if (!camerasAtKey(out.left, out.right, key)) return false;
        MatchedPairs pairs;
        if (!matchedPairs(pairs, int(key)) || pairs.empty()) return false;
        out.records = solveKey(settings, pairs, out.left, out.right);
        return true;
    };
    Key a, b;
    if (!solve(k0, a)) return false;
    if (k1 > k0) {
        if (!solve(k1, b)) return false;
        const double t = (frame - k0) / (k1 - k0);
        a.records.left = blendViewAlignment(a.records.left, b.records.left, t);
        a.records.right = blendViewAlignment(a.records.right, b.records.right, t);
        for (auto [ca, cb] : {std::pair{&a.left, &b.left}, std::pair{&a.right, &b.right}}) {
            ca->setPosition(t * cb->getPosition() + (1 - t) * ca->getPosition());
            const Kx::Image::Quaternion q1(toHostMatrix(cb->getWorldToCameraRotation()));
            const Kx::Image::Quaternion q0(toHostMatrix(ca->getWorldToCameraRotation()));
            ca->setRotationFromExtrinsics(fromHostMatrix(q1.slerp(q0, float(1 - t)).matrix3()));
        }
    }
    handToSampler(settings, a.records.left, composeHomography(settings, a.records.left),
                  leftSampler);
    handToSampler(settings, a.records.right, composeHomography(settings, a.records.right),
                  rightSampler);

    CameraRigDefinition& aligned = _node->rigState().alignedRig();
    if (aligned.getNumberCameras() > 0) {
        const VerticalAlignerKnobManager& kv = _node->knobValues();
        const bool both = kv.alignWhat() == 0 || !kv.passThroughOther();
        const int iL = _node->cameraIndexOfView(kv.leftView());
        const int iR = _node->cameraIndexOfView(kv.rightView());
        if ((kv.alignWhat() == 1 || both) && iL < aligned.getNumberCameras())
            aligned.setCamera(iL, a.left);
        if ((kv.alignWhat() == 2 || both) && iR < aligned.getNumberCameras())
            aligned.setCamera(iR, a.right);
    }
    return true;
}

} // namespace Marrow::Research
