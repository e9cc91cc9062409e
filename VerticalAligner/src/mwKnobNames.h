// Script names of the node's knobs: what scripts save, Python reads and the node-creation
// scripts look up. They are part of users' scripts, so they never change.
#pragma once

namespace Marrow::Research::KnobNames {

// Rig views.
inline constexpr const char* kRigViews = "rigViews";
inline constexpr const char* kKnobEnabler = "knobEnabler";
inline constexpr const char* kViewsPresets = "viewsPresets";
inline constexpr const char* kManualOverride = "manualOverride";

// Input.
inline constexpr const char* kLeftView = "leftView";
inline constexpr const char* kRightView = "rightView";
inline constexpr const char* kAlignWhat = "alignWhat";
inline constexpr const char* kPassThroughOther = "passThroughOther";
inline constexpr const char* kLayoutType = "layoutType";

// Keying.
inline constexpr const char* kAnalysisKeyframe = "analysisKeyframe";
inline constexpr const char* kDelegateKeyFrames = "delegateKeyFrames";
inline constexpr const char* kMetaAnalysisKeys = "metaAnalysisKeys";
inline constexpr const char* kKeyStep = "keyStep";
inline constexpr const char* kAddAllKeys = "addAllKeys";
inline constexpr const char* kDeleteAllKeys = "deleteAllKeys";
inline constexpr const char* kImportAllKeys = "importAllKeys";

// Analysis.
inline constexpr const char* kMatch = "match";
inline constexpr const char* kAnalyse = "analyse";
inline constexpr const char* kCreatePin = "createPin";
inline constexpr const char* kCreateCamera = "createCamera";
inline constexpr const char* kCreateRig = "createRig";
inline constexpr const char* kErrorThreshold = "errorThreshold";

// Output.
inline constexpr const char* kAlignmentSpace = "alignmentSpace";
inline constexpr const char* kConvergenceDepth = "convergenceDepth";
inline constexpr const char* kAutoConvergenceDepth = "autoConvergenceDepth";
inline constexpr const char* kOutputFormat = "outputFormat";
inline constexpr const char* kFilter = "filter";
inline constexpr const char* kOutputSTMap = "outputSTMap";

// Settings.
inline constexpr const char* kAlignmentType = "alignmentType";
inline constexpr const char* kAlignCamera = "alignCamera";
inline constexpr const char* kAlignScale = "alignScale";
inline constexpr const char* kAlignShift = "alignShift";
inline constexpr const char* kAlignRotate = "alignRotate";
inline constexpr const char* kAlignPerspective = "alignPerspective";
inline constexpr const char* kAlignVerticalSkew = "alignVerticalSkew";
inline constexpr const char* kLocalAlignment = "localAlignment";
inline constexpr const char* kDisparityBlurSize = "disparityBlurSize";
inline constexpr const char* kLocalCorrection = "localCorrection";
inline constexpr const char* kScaleToFit = "scaleToFit";
inline constexpr const char* kCalculateScale = "calculateScale";
inline constexpr const char* kLockScale = "lockScale";
inline constexpr const char* kScale = "scale";
inline constexpr const char* kFixParallax = "fixParallax";
inline constexpr const char* kFixPoint = "fixPoint";
inline constexpr const char* kLockOffset = "lockOffset";
inline constexpr const char* kOffset = "offset";

// Analysis outputs.
inline constexpr const char* kAnalysed = "analysed";
inline constexpr const char* kAnalysedWithCamera = "analysedWithCamera";
inline constexpr const char* kAnalysisSummary = "analysisSummary";
inline constexpr const char* kTranslate = "translate";
inline constexpr const char* kRotate = "rotate";
inline constexpr const char* kFocalLength = "focalLength";
inline constexpr const char* kAperture = "aperture";
inline constexpr const char* kWindowTranslate = "windowTranslate";
inline constexpr const char* kWindowScale = "windowScale";
inline constexpr const char* kSkew = "skew";
inline constexpr const char* kPinBL = "pinBL";
inline constexpr const char* kPinBR = "pinBR";
inline constexpr const char* kPinTR = "pinTR";
inline constexpr const char* kPinTL = "pinTL";
inline constexpr const char* kTransformMatrixGroup = "Transform Matrix";
inline constexpr const char* kTransformMatrix = "transformMatrix";
inline constexpr const char* kControlPoints = "controlPoints";
inline constexpr const char* kExecuteType = "executeType";

// Viewer.
inline constexpr const char* kDisplayInteraction = "displayInteractionKnob";

} // namespace Marrow::Research::KnobNames
