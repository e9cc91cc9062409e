// VerticalAlignerKnobManager: every value of the node's panel, declared in one place.
//
// The host stores knob values straight into the fields of this record, through the field
// pointers given at declaration, so the rest of the node reads its settings through the
// accessors below rather than by knob name. The record is also the delegate of the
// "Analysis Keys" control: the analysis keys are the animation keys of the invisible knob
// analysisKeyframe (every key's value is its frame), and the control adds and deletes them
// through the delegate.
#pragma once

#include "Kx/Image/Box.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/MetaKeyFrame.h"

#include <set>
#include <string>

namespace Kx::Image {
class Filter;
class Knob_Closure;
class Op;
} // namespace Kx::Image

namespace Marrow::Research {

class ControlPointsKnob;
class VerticalAlignerPlugin;

class VerticalAlignerKnobManager : public Kx::Image::MetaKeyFrameDelegate {
public:
    enum AlignWhat { BothViews = 0, LeftToRight = 1, RightToLeft = 2 };
    enum Layout { DefaultSource = 0, StereoLayout = 1 };
    enum Space { Spherical = 0, Rectilinear = 1 };
    enum Preset { Custom = 0, Transform = 1, MatchCamera = 2, KeystoneOnly = 3, Full = 4 };
    // Bits of the alignment-options mask, one per checkbox in panel order.
    enum Option {
        AlignCamera = 0x1,
        AlignScale = 0x2,
        AlignShift = 0x4,
        AlignRotate = 0x8,
        AlignPerspective = 0x10,
        AlignVerticalSkew = 0x20,
    };

    explicit VerticalAlignerKnobManager(VerticalAlignerPlugin* owner);
    ~VerticalAlignerKnobManager() override = default;

    // Declares the panel, in order; filter is the node's filter, whose knobs sit on it.
    void knobs(Kx::Image::Knob_Closure& f, Kx::Image::Filter& filter);

    // ---- accessors ----
    int leftView() const { return _leftView; }
    int rightView() const { return _rightView; }
    int alignWhat() const { return _alignWhat; }
    int alignmentOptions() const;
    bool spherical() const { return _alignmentSpace == Spherical; }
    bool localAlignment() const { return _localAlignment; }
    bool fixParallax() const { return _fixParallax; }
    bool lockOffset() const { return _lockOffset; }
    bool lockScale() const { return _lockScale; }
    bool scaleToFit() const { return _scaleToFit; }
    int layoutType() const { return _layoutType; }
    bool passThroughOther() const { return _passThroughOther; }
    float scale() const { return _scale; }
    float offset() const { return _offset; }
    float disparityBlurSize() const { return _disparityBlurSize; }
    float convergenceDepth() const { return _convergenceDepth; }
    float localCorrection() const { return _localCorrection; }
    float errorThreshold() const { return _errorThreshold; }
    bool autoConvergenceDepth() const { return _autoConvergenceDepth; }
    bool outputSTMap() const { return _outputSTMap; }
    int alignmentType() const { return _alignmentType; }
    int executeType() const { return _executeType; }
    int keyStep() const { return _keyStep; }
    const Kx::Image::FormatPair& outputFormat() const { return _outputFormat; }
    const float* fixPoint() const { return _fixPoint; }
    ControlPointsKnob* controlPoints() const { return _controlPoints; }

    // ---- knob changes ----
    // Handles a change of one of the panel's knobs (or the panel opening): 1 when handled.
    int knobChanged(Kx::Image::Knob* k);
    // Enables the analysis buttons that the current settings allow; true.
    bool analysisButtonRefresh();
    // The frames that both the left and the right view of "Source" have.
    std::pair<int, int> frameRange() const;

    // ---- analysis keys ----
    std::set<double> keyFrames() const;
    int keyCount() const;
    bool hasKeys() const { return keyCount() > 0; }
    bool isAnalysisKey(double frame) const;
    void addKey(double frame);

    // The delegate of the key-frame control.
    void getKeyList(std::set<float>& keys) override;
    void keyOperation(int code, float frame) override;

private:
    Kx::Image::Knob* keyKnob() const;
    Kx::Image::Knob* knob(const char* name) const;
    bool value(const char* name) const;
    void enable(const char* name, bool on) const;
    // Applies the enabling and showing rules that read the knob changed (every rule when it is
    // null); false when no rule reads it.
    bool applyEnablingRules(const char* changed) const;
    void fullRefresh();
    // Clears keys and matches, after asking when matches exist; false when the user said no.
    bool resetKeys();
    void keyAll();
    void recognisePreset();
    void clearMatches();

    VerticalAlignerPlugin* _owner;
    ControlPointsKnob* _controlPoints = nullptr;
    int _alignWhat = BothViews;
    int _alignmentType = Full;
    bool _outputSTMap = true;
    bool _passThroughOther = false;
    Kx::Image::FormatPair _outputFormat;
    bool _alignCamera = false;
    bool _alignScale = true;
    bool _alignShift = true;
    bool _alignRotate = true;
    bool _alignPerspective = true;
    bool _alignVerticalSkew = true;
    int _alignmentSpace = Spherical;
    bool _localAlignment = false;
    float _disparityBlurSize = 16;
    float _localCorrection = 1;
    bool _fixParallax = false;
    bool _lockOffset = false;
    float _fixPoint[2] = {0, 0};
    float _offset = 0;
    bool _scaleToFit = false;
    bool _lockScale = false;
    float _scale = 1;
    bool _analysed = false;
    bool _analysedWithCamera = false;
    std::string _analysisSummary;
    float _translate[3] = {0, 0, 0};
    float _rotate[3] = {0, 0, 0};
    float _focalLength = 0;
    float _aperture[2] = {0, 0};
    float _windowTranslate[2] = {0, 0};
    float _windowScale[2] = {0, 0};
    float _skew = 0;
    Kx::Image::ArrayValue _transformMatrix;
    float _pinBL[2] = {0, 0};
    float _pinBR[2] = {0, 0};
    float _pinTL[2] = {0, 0};
    float _pinTR[2] = {0, 0};
    int _leftView;
    int _rightView;
    int _layoutType = DefaultSource;
    int _executeType = 0;
    int _analysisKeyframe = 0;
    int _keyStep = 30;
    float _errorThreshold = 10;
    float _convergenceDepth = 10;
    bool _autoConvergenceDepth = true;
};

} // namespace Marrow::Research
