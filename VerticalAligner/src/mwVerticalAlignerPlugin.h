// VerticalAlignerPlugin: the Q_VerticalAligner node. It takes one multi-view stream,
// "Source", and corrects the vertical discrepancy between two of its views.
//
// Both views come from the one input, read in three contexts at the output's frame: split 0
// at the output's own view, split 1 at the left view (knob leftView), split 2 at the right
// view (knob rightView); so host input 1 is the left view's image, 2 the right view's and 0
// the output view's. Camera 0 of the pair is the left view, camera 1 the right view.
//
// The node owns its parts for its whole life, each with a back-pointer to it; they are
// built in the order of the members below and destroyed in reverse, after the stereo
// library has forgotten the node's data provider.
#pragma once

#include "mwAnalysisRunner.h"
#include "mwMultiViewManager.h"
#include "mwMultiViewNameMapper.h"
#include "mwRigState.h"
#include "mwVerticalAlignerDataProvider.h"
#include "mwVerticalAlignerDisplayManager.h"
#include "mwVerticalAlignerKnobManager.h"
#include "mwVerticalAlignerRenderEngine.h"

#include "IopPlugin.h"
#include "Kx/Image/Blur.h"
#include "PluginExecutable.h"

#include <set>

namespace Marrow::Research {

class VerticalAlignerPlugin : public Support::KDK::IopPlugin {
public:
    static constexpr const char* kDisplayName = "Q_VerticalAligner";
    static constexpr const char* kClassName = "Q_VerticalAligner2_1";
    static const char* const kHelp;

    explicit VerticalAlignerPlugin(Kx::Image::Node* node);
    ~VerticalAlignerPlugin() override;

    // ---- camera, view and input numbering ----
    // 0 for the left view, 1 for the right view when it differs from the left, else 0.
    int cameraIndexOfView(int view) const;
    int leftCameraIndex() const { return 0; }
    int rightCameraIndex() const;
    // The host input that reads camera c (0 or 1): c + 1.
    int inputNumberOfCamera(int camera) const;

    VerticalAlignerKnobManager& knobValues() { return _knobValues; }
    const VerticalAlignerKnobManager& knobValues() const { return _knobValues; }
    MultiViewNameMapper& multiViewNameMapper() { return _multiViewNameMapper; }
    MultiViewManager& multiViewManager() { return _multiViewManager; }
    RigState& rigState() { return _rigState; }
    VerticalAlignerDisplayManager& displayManager() { return _displayManager; }
    const RigState& rigState() const { return _rigState; }
    VerticalAlignerDataProvider& dataProvider() { return _dataProvider; }
    // The alignment box: the format of the aligned rig's first camera, at the proxy scale of
    // the output context; empty without cameras.
    Kx::Image::Box alignmentBox() const;
    Kx::Image::Blur& preBlur() { return _preBlur; }
    VerticalAlignerRenderEngine& renderEngine() { return _renderEngine; }
    const VerticalAlignerRenderEngine& renderEngine() const { return _renderEngine; }
    // The format the STMap is a fraction of: the aligned rig's first camera, at the proxy
    // scale of the output context.
    Kx::Image::Box stmapFormat() const;
    // The output box in Rectilinear space: the aligned area, held within one format width and
    // height around the format. An alignment that throws the image further (absurd stored
    // matches, a near-singular solve) is wrong, and millions of black rows help no one; the
    // artist still sees the image, zoomed or moved as far as a real correction goes.
    static Kx::Image::Box boundedOutputArea(const Kx::Image::Box& area,
                                            const Kx::Image::Format& format);
    // Rebuilds the rigs from the metadata (or the stereo layout) and the alignment of the
    // current frame; true when there is rig metadata.
    bool rebuildRigAndSamplers();
    // Before the viewer validates: the rig, and the convergence from metadata when asked.
    int doPreValidate() override;
    // When the panel or viewer refreshes: the rig and samplers when there is something to
    // build them from, then the enabling of the analysis buttons.
    bool updateUI(const Kx::Image::OutputContext& context) override;
    Kx::Image::Filter& filter() { return _filter; }

    // ---- host virtuals ----
    const char* Class() const override { return kClassName; }
    const char* node_help() const override { return kHelp; }
    bool test_input(int n, Kx::Image::Op* op) const override;
    int split_input(int n) const override { return n == 0 ? 3 : 1; }
    const Kx::Image::OutputContext& inputContext(int n, int offset,
                                                 Kx::Image::OutputContext& scratch) const override;
    void append(Kx::Image::Hash& h) override;
    void _fetchMetaData(const char* key) override;
    Kx::Image::Executable* executable() override { return &_execution; }

    // ---- framework hooks of the host calls ----
    void pluginValidate(bool for_real) override;
    // The areas asked of "Source" and of the pre-blur op; the asked box, mapped back into the
    // source, is recorded as the requested area.
    void pluginRequest(int x, int y, int r, int t, Kx::Image::ChannelSet channels,
                       int count) override;
    void pluginEngine(int y, int x, int r, Kx::Image::ChannelSet channels,
                      Kx::Image::Row& row) override;
    // Both sample forms: in sample mode the aligned image at the point as the row engine
    // renders it, the source sampled once with the node's filter over one source pixel (the
    // caller's filter and footprint would resample an image already resampled); otherwise
    // input 0's own sample.
    void pluginSampleDerivatives(float cx, float cy, float dux, float duy, float dvx, float dvy,
                                 Kx::Image::Filter* filter, Kx::Image::Pixel& out) override;
    // With the panel open in a 2-D viewer the node draws the stored matches; the host then
    // adds the handles of the knobs (the fix point). The node's 2-D draw flag is set, so it
    // answers the host's doAnyHandles in a 2-D viewer with its panel open with handles that
    // need the op validated: the crosses sit where the prepared correction puts them.
    void pluginBuildHandles(Kx::Image::ViewerContext* ctx) override;
    void pluginDrawHandle(Kx::Image::ViewerContext* ctx) override;

    // ---- framework hooks ----
    const char* pluginDisplayName() const override { return kDisplayName; }
    const char* pluginHelp() const override { return kHelp; }
    void pluginKnobs(Kx::Image::Knob_Closure& f) override;
    // A knob change goes to the knob manager first and, only when it does not handle it, to
    // the rig-views manager; the first handler wins. The panel opening is the exception: the
    // knob manager handles it (the full refresh and the default key) and the rig views must
    // still follow the input then, or they would resync only when an input is reconnected; so
    // it goes to both, in that order, and is handled when either handled it.
    int pluginKnobChanged(Kx::Image::Knob* k) override;
    Kx::Image::ChannelSet inputChannels(int n) override;
    void process(Support::KDK::FrameJob&) override {}

private:
    // What the host runs for Match and Analyse Sequence.
    class Execution : public Support::KDK::PluginExecutable {
    public:
        explicit Execution(VerticalAlignerPlugin* node)
            : PluginExecutable(node, *node), _node(node) {}
        // Only the left view runs: the analysis covers both views at once.
        const std::set<int>& viewsToExecute() override;
        // Frames that are no analysis key are skipped.
        bool skipFrame(const Kx::Image::OutputContext& c) override;

    private:
        void begin() override;
        void executeFrame() override;
        void end() override;

        VerticalAlignerPlugin* _node;
    };
    friend class Execution;

    Execution _execution;
    std::set<int> _viewsToExecute;
    VerticalAlignerDataProvider _dataProvider;
    Kx::Image::Blur _preBlur;
    bool _singleInput = true;
    RigState _rigState;
    VerticalAlignerDisplayManager _displayManager;
    VerticalAlignerKnobManager _knobValues;
    AnalysisRunner _analysisRunner;
    VerticalAlignerRenderEngine _renderEngine;
    MultiViewNameMapper _multiViewNameMapper;
    MultiViewManager _multiViewManager;
};

} // namespace Marrow::Research
