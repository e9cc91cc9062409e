// MatchedFeaturePair: one feature match between the two views of a stereo pair.
//
// first is the position in the left view, second in the right view, both in pixels (x right,
// y up, pixel centres at i + 0.5). A pair with priority set weighs more than the others in
// every fit that uses it. Pairs are plain values, kept by value in contiguous arrays.
#pragma once

#include <Eigen/Core>

namespace Marrow::Vireon {

struct MatchedFeaturePair {
    Eigen::Vector2d first = Eigen::Vector2d::Zero();
    Eigen::Vector2d second = Eigen::Vector2d::Zero();
    bool priority = false;

    bool operator==(const MatchedFeaturePair&) const = default;
};

} // namespace Marrow::Vireon
