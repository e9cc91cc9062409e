#include "mwVerticalAlignerPlugin.h"

#include "mwControlPointsKnob.h"
#include "mwKnobNames.h"

#include "Kx/Image/Iop.h"
#include "Kx/Image/Knobs.h"
#include "Kx/Image/Node.h"
#include "mwException.h"

#include "VireonShared/DataProvider.h"

namespace Marrow::Research {

using namespace Kx::Image;
using Marrow::Exceptions::AssertionFailed;
using Marrow::Exceptions::kUnknownFunction;
using Marrow::Exceptions::raiseException;

const char* const VerticalAlignerPlugin::kHelp =
    "Q_VerticalAligner corrects vertical discrepancies between stereo views.<p>The global "
    "alignment options calculate a global transform to align left and right views. Local "
    "alignment performs a per-pixel correction to remove the vertical component of the input "
    "disparity. Use global alignment to correct the whole plate and local alignment to "
    "compensate for changes with depth.<p>Use the 'Prevent black in frame' option if plates "
    "are not over-scanned and 'Preserve subject parallax' to prevent changes in subject depth.";

namespace {

Op* build(Node* node) {
    return new VerticalAlignerPlugin(node);
}

const Op::Description description(VerticalAlignerPlugin::kClassName, build,
                                  __DATE__ " for KxImage 1.0");

} // namespace

Box VerticalAlignerPlugin::boundedOutputArea(const Box& area, const Format& format) {
    Box reach(format.x() - format.width(), format.y() - format.height(),
              format.r() + format.width(), format.t() + format.height());
    Box bounded = area;
    bounded.intersect(reach);
    return bounded;
}

VerticalAlignerPlugin::VerticalAlignerPlugin(Node* node)
    : IopPlugin(node), _execution(this), _dataProvider(this), _preBlur(node), _rigState(this),
      _displayManager(this), _knobValues(this), _analysisRunner(this), _renderEngine(this),
      _multiViewManager(this) {
    setWholeBoxProcessing(true);
    setAddedChannels(Mask_None);
    _inputLabels = {"Source"};
    _minimumInputs = 1;
    setCacheEnabled(true);
    setSampleMode(true);
    _draw2D = true;
    _preBlur.size(_knobValues.disparityBlurSize());
    _filter.type(Filter::Lanczos6);
    _filter.initialize();
}

VerticalAlignerPlugin::~VerticalAlignerPlugin() {
    Vireon::UnregisterDataProvider(this);
}

int VerticalAlignerPlugin::cameraIndexOfView(int view) const {
    if (view == _knobValues.leftView()) return 0;
    if (view == _knobValues.rightView()) return rightCameraIndex();
    return 0;
}

int VerticalAlignerPlugin::rightCameraIndex() const {
    return _knobValues.rightView() != _knobValues.leftView() ? 1 : 0;
}

int VerticalAlignerPlugin::inputNumberOfCamera(int index) const {
    if (!(index < 2 && index >= 0))
        raiseException<AssertionFailed>({kUnknownFunction, __FILE__, 232},
                                        "index < 2 && index >= 0");
    return index + 1;
}

Box VerticalAlignerPlugin::alignmentBox() const {
    const CameraRigDefinition& rig = _rigState.alignedRig();
    if (rig.getNumberCameras() == 0) return Box();
    double w = rig.getCamera(0).getFormatWidth(), h = rig.getCamera(0).getFormatHeight();
    const OutputContext& c = outputContext();
    if (c.scale_x() != 1 || c.scale_y() != 1) w *= c.scale_x(), h *= c.scale_y();
    return Box(0, 0, int(w), int(h));
}

bool VerticalAlignerPlugin::test_input(int n, Op* op) const {
    return n == 0 && op && op->iop() != nullptr;
}

const OutputContext& VerticalAlignerPlugin::inputContext(int n, int offset,
                                                         OutputContext& scratch) const {
    if (n != 0 || offset <= 0 || offset > 2) return outputContext();
    scratch = outputContext();
    scratch.setView(offset == 1 ? _knobValues.leftView() : _knobValues.rightView());
    return scratch;
}

void VerticalAlignerPlugin::append(Hash& h) {
    IopPlugin::append(h);
    if (ControlPointsKnob* points = _knobValues.controlPoints())
        points->append(h, &outputContext());
    h.append(outputContext().view());
    h.append(_knobValues.leftView());
    h.append(_knobValues.rightView());
    h.append(OutputContext::viewcount() - 1);
}

Box VerticalAlignerPlugin::stmapFormat() const {
    const CameraRigDefinition& rig = _rigState.alignedRig();
    if (rig.getNumberCameras() == 0) return Box();
    double w = rig.getCamera(0).getFormatWidth(), h = rig.getCamera(0).getFormatHeight();
    if (outputContext().proxy()) w *= outputContext().scale_x(), h *= outputContext().scale_y();
    return Box(0, 0, int(w), int(h));
}

bool VerticalAlignerPlugin::rebuildRigAndSamplers() {
    const bool metadata = _rigState.updateRigFromMetadata();
    if (metadata || _knobValues.layoutType() == VerticalAlignerKnobManager::StereoLayout) {
        _rigState.buildChosenViewsRig();
        _multiViewNameMapper.setCameraCount(_rigState.inputRig().getNumberCameras());
        Vireon::VireonAlignmentSampler left, right;
        _dataProvider.updateAlignment(left, right, outputContext().frame());
    }
    return metadata;
}

int VerticalAlignerPlugin::doPreValidate() {
    rebuildRigAndSamplers();
    if (_knobValues.autoConvergenceDepth() && _rigState.metaData().getNumberCameras() > 0)
        if (Knob* k = knob(KnobNames::kConvergenceDepth))
            k->setValue(_rigState.metaData().getRigConvergence());
    return 0;
}

bool VerticalAlignerPlugin::updateUI(const OutputContext&) {
    const bool metadata = _rigState.updateRigFromMetadata();
    if (metadata || _knobValues.layoutType() != VerticalAlignerKnobManager::DefaultSource)
        rebuildRigAndSamplers();
    return _knobValues.analysisButtonRefresh();
}

void VerticalAlignerPlugin::pluginValidate(bool for_real) {
    clear_info();
    const int v = outputContext().view();
    const int left = _knobValues.leftView(), right = _knobValues.rightView();
    const bool pairView = v == left || v == right;
    if (pairView) {
        for (int n = 0; n < inputs(); ++n)
            if (Op* in = input(n)) in->validate(for_real);
    } else if (Op* in = input(0)) {
        in->validate(for_real);
    }
    copy_info(0);

    const bool metadata = _rigState.updateRigFromMetadata();
    const bool defaultLayout =
        _knobValues.layoutType() == VerticalAlignerKnobManager::DefaultSource;
    if (!metadata && defaultLayout)
        error("No rig metadata available. Please add an upstream Q_CameraSolver node or switch "
              "Camera Layout to Stereo Layout.");
    _rigState.buildChosenViewsRig();
    _multiViewNameMapper.setCameraCount(_rigState.inputRig().getNumberCameras());
    if (metadata && defaultLayout &&
        (!_multiViewNameMapper.isRigView(left) || !_multiViewNameMapper.isRigView(right)))
        error("Selected alignment views are not rig cameras. Please select valid Views to Use or "
              "switch Camera Layout to Stereo Layout.");
    const CameraRigDefinition& chosen = _rigState.chosenViewsRig();
    for (int c = 0; c < chosen.getNumberCameras(); ++c)
        if (chosen.getCamera(c).getProjectionType() == PROJECTION_LATLONG)
            error("Selected alignment views are latlong images. Please select valid Views to Use.");

    if (for_real && input(1)) {
        _preBlur.set_input(0, input(1));
        _preBlur.size(_knobValues.disparityBlurSize());
        _preBlur.invalidate();
        _preBlur.validate(true);
        const bool disparity = _preBlur.channels().intersects(Mask_Disparity);
        if (_knobValues.localAlignment() && !disparity)
            error("No disparity for local alignment. Please add an upstream "
                  "Q_DisparityGenerator node.");
        if (_knobValues.fixParallax() && !_knobValues.lockOffset() && !disparity)
            error("No disparity to fix parallax. Please add an upstream Q_DisparityGenerator "
                  "node.");
    }
    setSampleMode(false);
    if (left == right)
        error("Cannot align a view to itself. Please change the values of the left and right "
              "input views.");

    bool corrected = pairView;
    if (_knobValues.passThroughOther()) {
        const int what = _knobValues.alignWhat();
        const bool fit = _knobValues.scaleToFit();
        corrected = (v == left && (what == VerticalAlignerKnobManager::BothViews ||
                                   what == VerticalAlignerKnobManager::LeftToRight || fit)) ||
                    (v == right && (what == VerticalAlignerKnobManager::BothViews ||
                                    what == VerticalAlignerKnobManager::RightToLeft || fit));
    }
    _renderEngine.setCorrectView(corrected);

    if (pairView) {
        _renderEngine.correction().prepareView(-1);
        setSampleMode(true);
        if (!_knobValues.spherical()) {
            info().box =
                boundedOutputArea(_renderEngine.correction().outputArea(info().box), info().format);
        } else if (corrected) {
            const FormatPair& out = _knobValues.outputFormat();
            if (!out.isNone()) {
                info().format = out.format;
                info().full_size_format = out.fullSizeFormat;
                info().box = Box(0, 0, out.format.width(), out.format.height());
            }
        }
    }
    if (sampleMode() && for_real) _filter.initialize();
}

// Every split is asked for its whole format: the warp may reach anywhere in the source.
void VerticalAlignerPlugin::pluginRequest(int x, int y, int r, int t, ChannelSet channels,
                                          int count) {
    setRequestedArea(_renderEngine.correction().sourceArea(Box(x, y, r, t)), count);
    Op* first = input(0);
    for (int n = 0; n < inputs(); ++n) {
        Iop* in = input_iop(n);
        if (!in || (n > 0 && input(n) == first)) continue;
        in->validate(true);
        // The left and right contexts also give the disparity that the aligned disparity
        // output samples there.
        ChannelSet wanted = Mask_RGBA;
        if (n == 0) wanted += channels;
        if (n > 0 && channels.intersects(Mask_Disparity)) wanted += Mask_Disparity;
        in->request(0, 0, in->format().width(), in->format().height(), wanted, count);
    }
    if (input(1)) {
        _preBlur.set_input(0, input(1));
        _preBlur.validate(true);
        _preBlur.request(_preBlur.box(), Mask_Disparity, count);
    }
}

void VerticalAlignerPlugin::_fetchMetaData(const char* key) {
    IopPlugin::_fetchMetaData(key);
    rebuildRigAndSamplers();
    const int n = _rigState.metaData().getNumberCameras();
    if (n == 0) return;
    MetaDataHandler handler = _rigState.metaData();
    const int what = _knobValues.alignWhat();
    const bool common =
        what == VerticalAlignerKnobManager::BothViews || !_knobValues.passThroughOther();
    const bool leftAligned = what == VerticalAlignerKnobManager::LeftToRight || common;
    const bool rightAligned = what == VerticalAlignerKnobManager::RightToLeft || common;
    const int leftIndex = _multiViewNameMapper.cameraNumberOfView(_knobValues.leftView()) - 1;
    const int rightIndex = _multiViewNameMapper.cameraNumberOfView(_knobValues.rightView()) - 1;
    const CameraRigDefinition& aligned = _rigState.alignedRig();
    for (int i = 0; i < n && i < _rigState.inputRig().getNumberCameras(); ++i) {
        CameraDefinition camera = _rigState.inputRig().getCamera(i);
        const bool isLeft = i == leftIndex, isRight = i == rightIndex;
        if ((isLeft || isRight) && aligned.getNumberCameras() > 1) {
            const std::string name = camera.getName();
            camera = aligned.getCamera(isLeft ? 0 : rightCameraIndex());
            camera.setName(name);
            if (_knobValues.spherical() && ((isLeft && leftAligned) || (isRight && rightAligned)))
                camera.setProjectionType(PROJECTION_LATLONG);
        }
        handler.setCamera(i + 1, camera);
    }
    handler.setRigRotation(Eigen::Vector3d::Zero());
    _meta = handler.getMetaDataBundle();
}

void VerticalAlignerPlugin::pluginEngine(int y, int x, int r, ChannelSet channels, Row& row) {
    _renderEngine.renderRow(y, x, r, channels, _filter, row);
}

void VerticalAlignerPlugin::pluginSampleDerivatives(float cx, float cy, float dux, float duy,
                                                    float dvx, float dvy, Filter* filter,
                                                    Pixel& out) {
    if (sampleMode()) {
        _renderEngine.samplePoint(Eigen::Vector2f(cx, cy), _filter, out);
    } else if (Iop* in = input_iop(0)) {
        in->sample(cx, cy, dux, duy, dvx, dvy, filter, out);
    } else {
        out.erase();
    }
}

void VerticalAlignerPlugin::pluginKnobs(Knob_Closure& f) {
    _multiViewManager.knobs(f, KnobFlag::Hidden);
    _knobValues.knobs(f, _filter);
    _displayManager.knobs(f);
}

void VerticalAlignerPlugin::pluginBuildHandles(ViewerContext* ctx) {
    if (panel_visible() && ctx->viewer_mode() == ViewerContext::Mode::Viewer2D)
        ctx->add_draw_handle(this);
    build_knob_handles(ctx);
}

void VerticalAlignerPlugin::pluginDrawHandle(ViewerContext* ctx) {
    _displayManager.draw(ctx);
}

int VerticalAlignerPlugin::pluginKnobChanged(Knob* k) {
    // Opening the panel concerns both managers: the knob manager rebuilds the enabling, the
    // rig views follow the input as it is now.
    if (k && k->name() == Knob::kShowPanel) {
        const int knobs = _knobValues.knobChanged(k);
        const int rig = _multiViewManager.knobChanged(k);
        return knobs || rig;
    }
    if (_knobValues.knobChanged(k)) return 1;
    return _multiViewManager.knobChanged(k) != 0;
}

ChannelSet VerticalAlignerPlugin::inputChannels(int) {
    return Mask_RGBA;
}

// ---- execution ----

void VerticalAlignerPlugin::Execution::begin() {
    _node->_analysisRunner.begin();
}

void VerticalAlignerPlugin::Execution::executeFrame() {
    _node->_analysisRunner.execute(_node->outputContext().frame());
}

void VerticalAlignerPlugin::Execution::end() {
    _node->_analysisRunner.end();
}

const std::set<int>& VerticalAlignerPlugin::Execution::viewsToExecute() {
    _node->_viewsToExecute.clear();
    _node->_viewsToExecute.insert(_node->_knobValues.leftView());
    return _node->_viewsToExecute;
}

bool VerticalAlignerPlugin::Execution::skipFrame(const OutputContext& c) {
    return !_node->_knobValues.isAnalysisKey(c.frame());
}

} // namespace Marrow::Research
