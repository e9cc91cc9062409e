// The knobs of the Q_VerticalAligner2_1 node that kestrel align sets and reads, by their
// script names, and the items of its enumerations in the node's order (the index is the
// knob's value). The host never includes the node's headers, so this is the one place the
// command-line host names them; a renamed knob fails the job with the knob's name.
#pragma once

#include <array>
#include <string_view>

namespace Kestrel::AlignerKnobs {

inline constexpr const char* kClass = "Q_VerticalAligner2_1";

inline constexpr const char* kLeftView = "leftView";
inline constexpr const char* kRightView = "rightView";
inline constexpr const char* kLayoutType = "layoutType";
inline constexpr const char* kAlignmentSpace = "alignmentSpace";
inline constexpr const char* kAlignmentType = "alignmentType";
inline constexpr const char* kFilter = "filter";
inline constexpr const char* kLocalAlignment = "localAlignment";
inline constexpr const char* kAlignVerticalSkew = "alignVerticalSkew";
inline constexpr const char* kErrorThreshold = "errorThreshold";
// The correction's checkboxes, in the order of the bits of the node's options (1, 2, 4, ...).
inline constexpr std::array<const char*, 6> kAlignOptions = {
    "alignCamera", "alignScale",       "alignShift",
    "alignRotate", "alignPerspective", kAlignVerticalSkew};
inline constexpr const char* kKeyStep = "keyStep";
inline constexpr const char* kAddAllKeys = "addAllKeys";
inline constexpr const char* kAnalysisKeyframe = "analysisKeyframe";
inline constexpr const char* kExecuteType = "executeType";
inline constexpr const char* kControlPoints = "controlPoints";
inline constexpr const char* kFixParallax = "fixParallax";
inline constexpr const char* kFixPoint = "fixPoint";
inline constexpr const char* kOffset = "offset";
inline constexpr const char* kScaleToFit = "scaleToFit";
inline constexpr const char* kScale = "scale";
inline constexpr const char* kCalculateScale = "calculateScale";

// alignmentType
inline constexpr std::array<std::string_view, 5> kPresets = {"Custom", "Transform", "Match Camera",
                                                             "Keystone Only", "Full"};
inline constexpr int kCustom = 0, kTransform = 1, kMatchCamera = 2, kKeystoneOnly = 3, kFull = 4;
// alignmentSpace
inline constexpr std::array<std::string_view, 2> kSpaces = {"Spherical", "Rectilinear"};
inline constexpr int kSpherical = 0;
inline constexpr int kRectilinear = 1;
// layoutType: the cameras as the plate gives them, or the pair's relative pose solved from
// the matches
inline constexpr int kSourceLayout = 0;
inline constexpr int kStereoLayout = 1;
// executeType: Match
inline constexpr int kExecuteMatch = 0;

} // namespace Kestrel::AlignerKnobs
