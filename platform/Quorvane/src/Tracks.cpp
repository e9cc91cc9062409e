#include "Quorvane/Tracks.h"

namespace Marrow::Research {

const Feature* FeatureTrack::findFeature(int camera) const {
    for (const auto& [index, feature] : _features)
        if (index == camera) return &feature;
    return nullptr;
}

} // namespace Marrow::Research
