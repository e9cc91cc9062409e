// DisparityGeneratorPlugin: the Q_DisparityGenerator node. It takes one multi-view stream,
// "Source", and adds to it the dense 2-D disparity between two of its views (DenseDisparity.h
// says how it is measured), in the channels the aligner and other stereo tools read:
//
//   disparityL.x, disparityL.y (12, 13)  at a pixel p of the left view: its match in the
//                                         right view minus p
//   disparityR.x, disparityR.y (10, 11)  at a pixel p of the right view: its match in the
//                                         left view minus p
//   occlusion.left, occlusion.right      1 where that view's disparity failed the left-right
//                                         consistency check (occluded, outside the other
//                                         frame, no detail, or longer than "Max Disparity"),
//                                         0 where it is trusted
//
// All six channels carry the same values in every view of the output, as the synthetic
// source's truth does, so that a node reading the stream in one view finds both views'
// disparity there. Every other channel passes through from the output's own view.
//
// Both views come from the one input, read in three contexts at the output's frame: split 0
// at the output's own view, split 1 at the left view (knob leftView), split 2 at the right
// view (knob rightView); host input 1 is the left view's image, 2 the right view's. The
// disparity is measured over the format's frame (0, 0, width, height).
//
// The pair is measured once per frame and settings: the ops of the other views of the same
// frame reuse the result (the last two results are kept, for a viewer flipping between two
// frames). The work runs on the host engine's threads.
//
// Bad input: two knobs naming the same view, views of different sizes or smaller than 32 x 32,
// or a stream with no colour are errors naming the knob or the sizes; a pair with no texture gives
// zero disparity, every pixel unmatched, and a warning.
#pragma once

#include "mwDenseDisparity.h"

#include "IopPlugin.h"

#include <memory>

namespace Marrow::Research {

namespace DisparityKnobNames {
inline constexpr const char* kLeftView = "leftView";
inline constexpr const char* kRightView = "rightView";
inline constexpr const char* kQuality = "quality";
inline constexpr const char* kMaxDisparity = "maxDisparity";
inline constexpr const char* kTolerance = "consistencyTolerance";
} // namespace DisparityKnobNames

class DisparityGeneratorPlugin : public Support::KDK::IopPlugin {
public:
    static constexpr const char* kDisplayName = "Q_DisparityGenerator";
    static constexpr const char* kClassName = "Q_DisparityGenerator";
    static const char* const kHelp;
    // The items of the "quality" knob, in the order of DisparityQuality.
    static const char* const kQualityItems[];

    explicit DisparityGeneratorPlugin(Kx::Image::Node* node);

    // The channels the node writes (all of them in every view).
    static Kx::Image::ChannelSet outputChannels();
    static Kx::Image::Channel occlusionLeftChannel();
    static Kx::Image::Channel occlusionRightChannel();

    DisparitySettings settings() const;

    // ---- host virtuals ----
    const char* Class() const override { return kClassName; }
    const char* node_help() const override { return kHelp; }
    bool test_input(int n, Kx::Image::Op* op) const override;
    int split_input(int n) const override { return n == 0 ? 3 : 1; }
    const Kx::Image::OutputContext& inputContext(int n, int offset,
                                                 Kx::Image::OutputContext& scratch) const override;
    void append(Kx::Image::Hash& h) override;

    // ---- framework hooks ----
    void pluginValidate(bool for_real) override;
    void pluginRequest(int x, int y, int r, int t, Kx::Image::ChannelSet channels,
                       int count) override;
    const char* pluginDisplayName() const override { return kDisplayName; }
    const char* pluginHelp() const override { return kHelp; }
    void pluginKnobs(Kx::Image::Knob_Closure& f) override;
    void outputBox(Kx::Image::Box& box) override;
    void process(Support::KDK::FrameJob& job) override;

private:
    // The pair's disparity at the output's frame: computed, or taken from an op of another
    // view that computed it. Null when the render was interrupted.
    std::shared_ptr<const StereoDisparity> measure();
    // The colour of the view read through host input n (1 left, 2 right).
    bool readView(int n, DisparityPlane (&colour)[3]);

    int _leftView, _rightView;
    int _quality = int(DisparityQuality::Normal);
    float _maxDisparity = 200.0f;
    float _tolerance = 1.0f;
};

} // namespace Marrow::Research
