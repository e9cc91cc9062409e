#include "mwVerticalAlignerPlugin.h"

#include "mwControlPointsKnob.h"
#include "mwKnobNames.h"

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

Op* build(Node* node) { return new VerticalAlignerPlugin(node); }

const Op::Description description(VerticalAlignerPlugin::kClassName, build,
                                  __DATE__ " for KxImage 1.0");

} // namespace

VerticalAlignerPlugin::VerticalAlignerPlugin(Node* node)
    : IopPlugin(node), _execution(this), _dataProvider(this), _preBlur(node), _rigState(this), _knobValues(this),
      _analysisRunner(this), _multiViewManager(this) {
    setWholeBoxProcessing(true);
    setAddedChannels(Mask_None);
    _inputLabels = {"Source"};
    _minimumInputs = 1;
    setCacheEnabled(true);
    setSampleMode(true);
    _preBlur.size(_knobValues.disparityBlurSize());
    _filter.type(Filter::Lanczos6);
    _filter.initialize();
}

VerticalAlignerPlugin::~VerticalAlignerPlugin() { Vireon::UnregisterDataProvider(this); }

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

void VerticalAlignerPlugin::_validate(bool for_real) {
    // The corrected views come with the render engine; until then every view passes
    // "Source" through as it is.
    IopPlugin::_validate(for_real);
}

void VerticalAlignerPlugin::engine(int y, int x, int r, ChannelSet channels, Row& row) {
    if (aborted()) return;
    if (Iop* in = input_iop(0)) in->get(y, x, r, channels, row);
}

void VerticalAlignerPlugin::sample(float cx, float cy, float w, float h, Filter* filter,
                                   Pixel& out) {
    if (Iop* in = input_iop(0))
        in->sample(cx, cy, w, h, filter, out);
    else
        out.erase();
}

void VerticalAlignerPlugin::pluginKnobs(Knob_Closure& f) {
    _multiViewManager.knobs(f, KnobFlag::Hidden);
    _knobValues.knobs(f, _filter);
}

int VerticalAlignerPlugin::pluginKnobChanged(Knob* k) {
    return _multiViewManager.knobChanged(k) != 0;
}

ChannelSet VerticalAlignerPlugin::inputChannels(int) { return Mask_RGBA; }

// ---- execution ----

void VerticalAlignerPlugin::Execution::beginExecuting() { _node->_analysisRunner.begin(); }

void VerticalAlignerPlugin::Execution::execute() {
    _node->_analysisRunner.execute(_node->outputContext().frame());
}

void VerticalAlignerPlugin::Execution::endExecuting() { _node->_analysisRunner.end(); }

const std::set<int>& VerticalAlignerPlugin::Execution::viewsToExecute() {
    _node->_viewsToExecute.clear();
    _node->_viewsToExecute.insert(_node->_knobValues.leftView());
    return _node->_viewsToExecute;
}

bool VerticalAlignerPlugin::Execution::skipFrame(const OutputContext& c) {
    return !_node->_knobValues.isAnalysisKey(c.frame());
}

} // namespace Marrow::Research
