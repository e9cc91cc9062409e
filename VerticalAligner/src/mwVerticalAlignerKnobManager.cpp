#include "mwVerticalAlignerKnobManager.h"

#include "mwButtonScripts.h"
#include "mwControlPointsKnob.h"
#include "mwDelegateKeyFrameDisplayKnob.h"
#include "mwKnobNames.h"
#include "mwMultiViewNameMapper.h"
#include "mwVerticalAlignerPlugin.h"

#include "Kx/Image/Filter.h"
#include "Kx/Image/Knobs.h"
#include "Kx/Image/Op.h"

namespace Marrow::Research {

using namespace Kx::Image;
using namespace KnobFlag;
namespace N = KnobNames;

namespace {

const char* const kAlignWhatItems[] = {"Both Views", "Left to Right", "Right to Left", nullptr};
const char* const kLayoutItems[] = {"Default (Source)", "Stereo Layout", nullptr};
const char* const kSpaceItems[] = {"Spherical", "Rectilinear", nullptr};
const char* const kPresetItems[] = {"Custom",        "Transform", "Match Camera",
                                    "Keystone Only", "Full",      nullptr};

// Sets and clears flags on a declared knob (a pass may return none for an unknown kind).
void flags(Knob* k, FlagMask set, FlagMask clear = 0) {
    if (!k) return;
    k->set_flag(set);
    k->clear_flag(clear);
}

namespace Tip {
const char* const leftView = "Set the left view to use.";
const char* const rightView = "Set the right view to use.";
const char* const alignWhat = "The views to align";
const char* const passThroughOther =
    "If aligning only one view to the other, check this to avoid applying any transformation to "
    "the other view, including projection to spherical space.";
const char* const layoutType =
    "Set the layout to use during alignment.<p><b>'Default'</b> Use upstream metadata to define "
    "position and orientation of camera pair.</p><p><b>'Stereo'</b> Update position and "
    "orientation of camera pair using the feature matches.</p>";
const char* const metaAnalysisKeys =
    "The analysis keys. The input images are matched and solved using the keyed frames.";
const char* const keyStep = "Set the number of frames between keys for 'Key All'";
const char* const addAllKeys =
    "Add analysis keys starting at the first frame, separated by the specified 'Step'.";
const char* const deleteAllKeys = "Delete all analysis keys.";
const char* const importAllKeys = "Import analysis keys from another Quorvane node. Importing "
                                  "will delete any currently defined key.";
const char* const match = "Match the input cameras.";
const char* const analyse =
    "Analyse the input sequence to generate a corner pin or vertically aligned camera. <p>When "
    "using multiple VerticalAlignerPlugin nodes, analyse the last node to concatenate the "
    "transform. The 'Vertical skew' method and 'Local alignment' cannot be represented.</p>";
const char* const createPin =
    "Create a CornerPin from the analysis. <p>You can automate CornerPin extraction for a shot "
    "by using Kestrel's Python API. To do this, an upstream Q_CameraSolver node is required. "
    "First, execute the 'analyse' button on the VerticalAligner, then execute the 'createPin' "
    "button to create the CornerPin node.</p>";
const char* const createCamera = "Create a vertically aligned camera from the analysis.";
const char* const createRig = "Create a vertically aligned camera rig from the analysis.";
const char* const errorThreshold = "Set the RMSE threshold for the camera matches.";
const char* const alignmentSpace =
    "Select the space where alignment is computed.<p><b>Spherical</b> perform alignment by "
    "reprojecting both cameras in spherical space, at the given convergence distance, and "
    "according to the metadata provided by an upstream Q_CameraSolver or Q_CameraIngest. This "
    "setting is recommended when aligning two views belonging to a spherical rig.</p><p><b>"
    "Rectilinear</b> perform alignment by assuming that both cameras are rectilinear. This "
    "setting is reccomended when aligning undistorted rectilinear plates.";
const char* const convergenceDepth = "Set the convergence depth.";
const char* const autoConvergenceDepth = "Enable to set convergence automatically from metadata.";
const char* const outputFormat = "Set the format for the aligned spherical output";
const char* const outputSTMap =
    "Output the correction as vaSTMap channels for use in a separate STMap node.<p>Use this to "
    "correct the input footage using an STMap node. Set the filter to Lanczos6 and use "
    "stitch_map as the UV channels. STMap will not align disparity or motion correctly. Use the "
    "aligned disparity and motion from VerticalAlignerPlugin instead.</p>";
const char* const alignmentType =
    "Select a preset for global alignment.<p><b>'Transform'</b> performs a 2D correction "
    "without any change in pixel aspect or skew.</p><p><b>'Match Camera'</b> corrects a "
    "match-move camera.</p><p><b>'Keystone Only'</b> corrects vertical alignment without "
    "changing parallax.</p><p><b>'Full'</b> uses all alignment options except vertical "
    "skew.</p><p>Each option is applied in order from top to bottom.</p>";
const char* const alignCamera =
    "Correct camera tilt. Use this to correct a match-move camera. If there is no camera "
    "connected this will use the calculated camera. The correction will be refined by other "
    "alignment options that are selected.";
const char* const alignScale = "Calculate a 2D scale to correct focal length differences.";
const char* const alignShift = "Calculate a 2D vertical shift to correct a global offset.";
const char* const alignRotate = "Calculate a 2D rotation to correct in-plane camera roll.";
const char* const alignPerspective =
    "Calculate a perspective warp to correct camera tilt as well as roll. A perspective change "
    "can alter pixel aspect and introduce pixel skew.";
const char* const alignVerticalSkew =
    "Calculate the vertical offset to correct keystoning without changing horizontal disparity. "
    "This varies the vertical shift across the image without change the horizontal position of "
    "pixels and can introduce pixel skew.";
const char* const localAlignment =
    "Perform a per-pixel vertical shift using the vertical component of disparity after the "
    "global alignment. This requires an upstream V_DisparityGenerator.";
const char* const disparityBlurSize =
    "Set the size of the blur applied to disparity before local alignment. Increase the blur "
    "size to smooth out the correction across depth boundaries.";
const char* const localCorrection =
    "Set the amount of local correction to apply between the global transform at 0 and the full "
    "correction at 1.";
const char* const scaleToFit =
    "Scale the image to prevent pulling pixels from outside the input image. <p>The scale has "
    "to be applied to both images even when aligning 'Left to Right' or 'Right to left'. To "
    "minimise the scale change align 'Both Views'.";
const char* const calculateScale =
    "Calculate the scale at the current frame. The scale will need to be recalculated when "
    "changing the global alignment options.";
const char* const lockScale = "Lock the correction to prevent changes.";
const char* const scale =
    "The global scale that is applied to prevent black in frame. Set a key to interpolate the "
    "scale calculated at different frames.";
const char* const fixParallax =
    "Shift the image to preserve parallax at the fix-point. This requires the input to have "
    "disparity, for instance from an upstream Q_DisparityGenerator node.";
const char* const fixPoint =
    "Move the fix-point to sample the input disparity and update the offset that is applied to "
    "preserve parallax. You must view the output of VerticalAlignerPlugin to set the fix point.";
const char* const lockOffset = "Lock the correction to prevent changes.";
const char* const offset =
    "The correction in pixels that is applied to prevent parallax changes at the fix point. Set "
    "a key to interpolate the offset calculated at different frames.";
} // namespace Tip

} // namespace

VerticalAlignerKnobManager::VerticalAlignerKnobManager(VerticalAlignerPlugin* owner)
    : _owner(owner), _leftView(MultiViewNameMapper::viewOfCameraNumber(1)),
      _rightView(MultiViewNameMapper::viewOfCameraNumber(2)) {}

int VerticalAlignerKnobManager::alignmentOptions() const {
    return (_alignCamera ? AlignCamera : 0) | (_alignScale ? AlignScale : 0) |
           (_alignShift ? AlignShift : 0) | (_alignRotate ? AlignRotate : 0) |
           (_alignPerspective ? AlignPerspective : 0) |
           (_alignVerticalSkew ? AlignVerticalSkew : 0);
}

void VerticalAlignerKnobManager::knobs(Knob_Closure& f, Filter& filter) {
    const FlagMask outputPage = Invisible | NoPresets;

    // Input
    dividerKnob(f, "Input");
    flags(viewKnob(f, &_leftView, N::kLeftView, "Left View", Tip::leftView), NoUndo | NoRerender);
    flags(viewKnob(f, &_rightView, N::kRightView, "Right View", Tip::rightView),
          NoUndo | NoRerender, StartLine);
    lineBreak(f);
    enumKnob(f, &_alignWhat, N::kAlignWhat, kAlignWhatItems, "Align", BothViews, Tip::alignWhat);
    boolKnob(f, &_passThroughOther, N::kPassThroughOther, "Pass-through Other View", false,
             Tip::passThroughOther);
    lineBreak(f);
    enumKnob(f, &_layoutType, N::kLayoutType, kLayoutItems, "Camera Layout", DefaultSource,
             Tip::layoutType);
    lineBreak(f);

    // Keying
    dividerKnob(f, "Keying");
    Knob* keys = intKnob(f, &_analysisKeyframe, N::kAnalysisKeyframe, nullptr, 0);
    flags(keys, NoViewSplit | Invisible);
    auto* display = customKnob<DelegateKeyFrameDisplayKnob>(f, N::kDelegateKeyFrames);
    if (display && keys) display->setTarget(keys);
    MetaKeyFrameKnob* control =
        keyFrameControl(f, N::kMetaAnalysisKeys, "Analysis Keys", Tip::metaAnalysisKeys);
    if (control) control->setDelegate(this);
    flags(control, NoViewSplit | NoRerender | DoNotWrite | NoAnimation);
    Knob* step = intKnob(f, &_keyStep, N::kKeyStep, "Step", 30, Range{1, 100000}, Tip::keyStep);
    flags(step, EarlyStore | NoViewSplit | NoRerender | Clamp);
    buttonKnob(f, N::kAddAllKeys, "Key All", Tip::addAllKeys);
    buttonKnob(f, N::kDeleteAllKeys, "Delete All", Tip::deleteAllKeys);
    buttonKnob(f, N::kImportAllKeys, "Import", Tip::importAllKeys);
    lineBreak(f);

    // Analysis
    dividerKnob(f, "Analysis");
    lineBreak(f);
    flags(scriptButton(f, N::kMatch, "Match", ButtonScripts::kMatch, Tip::match),
          AlwaysCallChanged);
    flags(scriptButton(f, N::kAnalyse, "Analyse Sequence", ButtonScripts::kAnalyse, Tip::analyse),
          Hidden | AlwaysCallChanged);
    lineBreak(f);
    flags(scriptButton(f, N::kCreatePin, "Create Corner Pin", ButtonScripts::kCreatePin,
                       Tip::createPin),
          Hidden | AlwaysCallChanged);
    flags(scriptButton(f, N::kCreateCamera, "Create Camera", ButtonScripts::kCreateCamera,
                       Tip::createCamera),
          Hidden | AlwaysCallChanged);
    flags(scriptButton(f, N::kCreateRig, "Create Rig", ButtonScripts::kCreateRig, Tip::createRig),
          Hidden | AlwaysCallChanged);
    flags(floatKnob(f, &_errorThreshold, N::kErrorThreshold, "Error Threshold", 10, Range{0, 30},
                    Tip::errorThreshold),
          NoRerender);

    // Output
    dividerKnob(f, "Output");
    enumKnob(f, &_alignmentSpace, N::kAlignmentSpace, kSpaceItems, "Alignment Space", Spherical,
             Tip::alignmentSpace);
    lineBreak(f);
    flags(floatKnob(f, &_convergenceDepth, N::kConvergenceDepth, "Converge", 10, Range{0.01, 10000},
                    Tip::convergenceDepth),
          Clamp);
    flags(boolKnob(f, &_autoConvergenceDepth, N::kAutoConvergenceDepth, "Auto", true,
                   Tip::autoConvergenceDepth),
          NoUndo | NoRerender | NoAnimation);
    flags(formatKnob(f, &_outputFormat, N::kOutputFormat, "Format", Tip::outputFormat), EarlyStore);
    lineBreak(f);
    filter.knobs(f, N::kFilter, nullptr);
    lineBreak(f);
    flags(boolKnob(f, &_outputSTMap, N::kOutputSTMap, "Output STMap", true, Tip::outputSTMap),
          Hidden);

    // Settings page
    tabKnob(f, "Settings");
    dividerKnob(f, "Global");
    enumKnob(f, &_alignmentType, N::kAlignmentType, kPresetItems, "Preset", Full,
             Tip::alignmentType);
    lineBreak(f);
    boolKnob(f, &_alignCamera, N::kAlignCamera, "Camera correction", false, Tip::alignCamera);
    lineBreak(f);
    boolKnob(f, &_alignScale, N::kAlignScale, "Focal length", true, Tip::alignScale);
    lineBreak(f);
    boolKnob(f, &_alignShift, N::kAlignShift, "Vertical shift", true, Tip::alignShift);
    lineBreak(f);
    boolKnob(f, &_alignRotate, N::kAlignRotate, "2D rotation", true, Tip::alignRotate);
    lineBreak(f);
    boolKnob(f, &_alignPerspective, N::kAlignPerspective, "Perspective warp", true,
             Tip::alignPerspective);
    lineBreak(f);
    boolKnob(f, &_alignVerticalSkew, N::kAlignVerticalSkew, "Vertical skew", true,
             Tip::alignVerticalSkew);
    dividerKnob(f, "Local");
    boolKnob(f, &_localAlignment, N::kLocalAlignment, "Local alignment", false,
             Tip::localAlignment);
    lineBreak(f);
    flags(floatKnob(f, &_disparityBlurSize, N::kDisparityBlurSize, "Pre-blur", 16, Range{0, 100},
                    Tip::disparityBlurSize),
          LogSlider);
    flags(floatKnob(f, &_localCorrection, N::kLocalCorrection, "Correction", 1, Range{0, 1},
                    Tip::localCorrection),
          LogSlider);
    dividerKnob(f, "Fix Scale");
    boolKnob(f, &_scaleToFit, N::kScaleToFit, "Zoom to prevent black in frame", false,
             Tip::scaleToFit);
    lineBreak(f);
    buttonKnob(f, N::kCalculateScale, "Calculate scale", Tip::calculateScale);
    flags(boolKnob(f, &_lockScale, N::kLockScale, "Lock scale", false, Tip::lockScale), 0,
          StartLine);
    lineBreak(f);
    flags(floatKnob(f, &_scale, N::kScale, "Scale", 1, Range{1, 2}, Tip::scale), Clamp);
    dividerKnob(f, "Fix Offset");
    boolKnob(f, &_fixParallax, N::kFixParallax, "Preserve subject parallax", false,
             Tip::fixParallax);
    flags(xyKnob(f, _fixPoint, N::kFixPoint, "Fix Point", {0, 0}, Tip::fixPoint), 0, NoHandles);
    flags(boolKnob(f, &_lockOffset, N::kLockOffset, "Lock offset", false, Tip::lockOffset), 0,
          StartLine);
    floatKnob(f, &_offset, N::kOffset, "Offset", 0, Range{-10, 10}, Tip::offset);

    // The analysis outputs: written by Analyse Sequence, read by the creation scripts.
    flags(tabKnob(f, "Output"), Invisible);
    flags(boolKnob(f, &_analysed, N::kAnalysed, nullptr, false), outputPage);
    flags(boolKnob(f, &_analysedWithCamera, N::kAnalysedWithCamera, nullptr, false), outputPage);
    flags(stringKnob(f, &_analysisSummary, N::kAnalysisSummary, "Analysis Summary"), outputPage);
    flags(xyzKnob(f, _translate, N::kTranslate, "Translate"), NoHandles | outputPage);
    flags(xyzKnob(f, _rotate, N::kRotate, "Rotate"), NoHandles | outputPage);
    flags(floatKnob(f, &_focalLength, N::kFocalLength, "Focal Length", 0), outputPage, Slider);
    flags(xyKnob(f, _aperture, N::kAperture, "Aperture"), NoHandles | outputPage);
    flags(xyKnob(f, _windowTranslate, N::kWindowTranslate, "Window Translate"),
          NoHandles | outputPage);
    flags(xyKnob(f, _windowScale, N::kWindowScale, "Window Scale"), NoHandles | outputPage);
    flags(floatKnob(f, &_skew, N::kSkew, "Skew", 0), outputPage, Slider);
    flags(textLabel(f, "Four Corner Pin"), Invisible);
    flags(xyKnob(f, _pinBL, N::kPinBL, "Bottom Left"), outputPage);
    flags(xyKnob(f, _pinBR, N::kPinBR, "Bottom Right"), outputPage);
    flags(xyKnob(f, _pinTR, N::kPinTR, "Top Right"), outputPage);
    flags(xyKnob(f, _pinTL, N::kPinTL, "Top Left"), outputPage);
    flags(beginGroup(f, N::kTransformMatrixGroup, nullptr), Invisible);
    flags(arrayKnob(f, &_transformMatrix, N::kTransformMatrix, "Matrix", 4, 4),
          Invisible | NoCurveEditor | NoPresets);
    endGroup(f);
    auto* points = customKnob<ControlPointsKnob>(f, N::kControlPoints);
    flags(points, EarlyStore | NoRerender | Invisible | NoAnimation);
    if (points) _controlPoints = points;
    flags(intKnob(f, &_executeType, N::kExecuteType, nullptr, 0),
          NoUndo | NoRerender | Invisible | DoNotWrite);
}

// ---- analysis keys ----

Knob* VerticalAlignerKnobManager::keyKnob() const {
    return _owner ? _owner->knob(N::kAnalysisKeyframe) : nullptr;
}

std::set<double> VerticalAlignerKnobManager::keyFrames() const {
    std::set<double> frames;
    Knob* k = keyKnob();
    if (!k) return frames;
    ValueStuffArgs count;
    k->value_stuff(ValueOp::KeyCount, count);
    for (int i = 0; i < int(count.value); ++i) {
        ValueStuffArgs a;
        a.index = i;
        if (k->value_stuff(ValueOp::KeyTime, a)) frames.insert(a.value);
    }
    return frames;
}

int VerticalAlignerKnobManager::keyCount() const {
    Knob* k = keyKnob();
    if (!k) return 0;
    ValueStuffArgs a;
    k->value_stuff(ValueOp::KeyCount, a);
    return int(a.value);
}

bool VerticalAlignerKnobManager::isAnalysisKey(double frame) const {
    Knob* k = keyKnob();
    if (!k) return false;
    ValueStuffArgs a;
    a.time = frame;
    return k->value_stuff(ValueOp::IsKeyAt, a);
}

void VerticalAlignerKnobManager::addKey(double frame) {
    Knob* k = keyKnob();
    if (!k) return;
    ValueStuffArgs animate;
    k->value_stuff(ValueOp::SetAnimated, animate);
    ValueStuffArgs set;
    set.value = frame;
    set.time = frame;
    k->value_stuff(ValueOp::SetValueAt, set);
}

void VerticalAlignerKnobManager::getKeyList(std::set<float>& keys) {
    keys.clear();
    for (double f : keyFrames()) keys.insert(float(f));
}

void VerticalAlignerKnobManager::keyOperation(int code, float frame) {
    if (code == kAddKey) {
        addKey(frame);
    } else if (code == kDeleteKey) {
        if (Knob* k = keyKnob()) {
            ValueStuffArgs a;
            a.time = frame;
            k->value_stuff(ValueOp::DeleteKeyAt, a);
        }
    }
}

} // namespace Marrow::Research
