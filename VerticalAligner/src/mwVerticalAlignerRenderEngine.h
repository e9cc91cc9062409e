// The render engine: every output pixel of a view is produced by inverse mapping. The pixel
// centre goes back through the view's correction chain (mwCorrectionChain.h) and the local
// shift to a position in the view's source, where the input is sampled with the node's filter
// (black outside the source's data box). The same chains run forwards give output boxes, the
// aligned disparity and motion, and the positions of matches drawn in the viewer.
//
// Positions are pixels, x right, y up, pixel centres at i + 0.5. The correction is prepared
// for one view at each validation and only read while rows are rendered, from many threads
// at once; no call here takes a lock or writes anything but the row or pixel it is given.
//
// The zoom scales about the centre of each view's alignment box; the parallax offset moves
// the right view right and the left view left by offset × the view's share. The zoom and the
// offset themselves are computed by the framing helper (mwFraming.h).
#pragma once

#include "mwCorrectionChain.h"

#include "Kx/Image/Box.h"
#include "Kx/Image/Channel.h"
#include "Kx/Image/Filter.h"
#include "Kx/Image/Row.h"

#include "Quorvane/CameraRigDefinition.h"
#include "Quorvane/SphericalTransform.h"
#include "VireonShared/VireonAlignmentSampler.h"

#include <Eigen/Core>

namespace Marrow::Research {

class VerticalAlignerPlugin;

// A disparity channel pair: its mask and its x and y channels.
struct DisparityPair {
    uint32_t mask = 0;
    int x = 0, y = 0;
};

// The correction of the view being rendered and of the other view of the pair: two chains
// (mwCorrectionChain.h) built by prepareView from the knob values at the node's frame, plus
// what only the local shift and the disparity and motion outputs need.
class ViewCorrection {
public:
    explicit ViewCorrection(VerticalAlignerPlugin* node);

    // Prepares the chains of a view (-1: the node's output view) at the node's frame.
    void prepareView(int view);

    // Output position to source position of the prepared view, with the local shift; the
    // shift is returned in shift (0 when none is computed).
    Eigen::Vector2f mapToSource(const Eigen::Vector2f& p, float& shift) const;
    // The same with the caller's pixel for the disparity sample of the local shift, so that
    // a loop over pixels builds no pixel per point.
    Eigen::Vector2f mapToSource(const Eigen::Vector2f& p, float& shift,
                                Kx::Image::Pixel& scratch) const;
    // mapToSource of the pixel centres (i + 0.5, y + 0.5) of the columns x <= i < r, into
    // xs[i - x] and ys[i - x].
    void mapRow(int y, int x, int r, float* xs, float* ys, Kx::Image::Pixel& scratch) const;
    Eigen::Vector2d toSourceThis(const Eigen::Vector2d& p) const { return _this.toSource(p); }
    Eigen::Vector2d toSourceOther(const Eigen::Vector2d& p) const { return _other.toSource(p); }
    Eigen::Vector2d toOutputThis(const Eigen::Vector2d& p) const { return _this.toOutput(p); }
    Eigen::Vector2d toOutputOther(const Eigen::Vector2d& p) const { return _other.toOutput(p); }
    Kx::Image::Box sourceArea(const Kx::Image::Box& output) const {
        return _this.sourceArea(output);
    }
    Kx::Image::Box outputArea(const Kx::Image::Box& input) const { return _this.outputArea(input); }

    // The vertical local shift at output point p whose source point is s (this-view form),
    // or the other view's mirrored form.
    float localShift(const Eigen::Vector2f& p, const Eigen::Vector2f& s) const;
    float localShiftOther(const Eigen::Vector2f& p, const Eigen::Vector2f& s) const;
    // The same with the caller's pixel for the disparity sample.
    float localShift(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                     Kx::Image::Pixel& scratch) const;
    float localShiftOther(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                          Kx::Image::Pixel& scratch) const;

    const CorrectionChain& thisChain() const { return _this; }
    const CorrectionChain& otherChain() const { return _other; }
    int view() const { return _view; }
    bool alignThis() const { return _this.steps().align; }
    bool alignOther() const { return _other.steps().align; }
    bool localOn() const { return _localOn; }
    bool offsetOn() const { return _this.steps().offsetOn; }
    bool scaleOn() const { return _this.steps().scaleOn; }
    float viewShare() const { return _viewShare; }
    float viewOffset() const { return _this.steps().offset; }
    float fitScale() const { return _this.steps().fitScale; }
    bool spherical() const { return _this.steps().spherical; }
    const Vireon::VireonAlignmentSampler& thisSampler() const { return _this.sampler(); }
    const Vireon::VireonAlignmentSampler& otherSampler() const { return _other.sampler(); }
    const SphericalTransform& thisTransform() const { return _this.transform(); }
    const SphericalTransform& otherTransform() const { return _other.transform(); }
    const DisparityPair& thisDisparity() const { return _thisDisparity; }
    const DisparityPair& otherDisparity() const { return _otherDisparity; }
    // The filter of every disparity and motion sample (sampling does not change it).
    Kx::Image::Filter* disparityFilter() const { return &_disparityFilter; }

private:
    // The knob values of the view at the node's frame, into the two chains' steps and the
    // local-shift fields; false when the view keeps the identity.
    bool readView(int view, Vireon::VireonAlignmentSampler& thisSampler,
                  Vireon::VireonAlignmentSampler& otherSampler, CorrectionChain::Steps& own,
                  CorrectionChain::Steps& other);
    // The shared steps of the two local-shift forms: sample the pair at s, carry the match
    // forwards through the partner's alignment, zoom and projection, and compare rows.
    float shiftThrough(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                       const DisparityPair& pair, const CorrectionChain& partner,
                       Kx::Image::Pixel& d) const;
    void setupTransform(const CameraRigDefinition& rig, SphericalTransform& target, int view);

    VerticalAlignerPlugin* _node;
    mutable Kx::Image::Filter _disparityFilter{Kx::Image::Filter::Parzen};
    // The projections last set up from the aligned rig; a frame without rig cameras keeps them.
    SphericalTransform _thisTransform, _otherTransform;
    CorrectionChain _this, _other;
    int _view = -1;
    bool _localOn = false;
    float _viewShare = 1.0f, _localAmount = 0.0f;
    DisparityPair _thisDisparity, _otherDisparity;
};

class VerticalAlignerRenderEngine {
public:
    explicit VerticalAlignerRenderEngine(VerticalAlignerPlugin* node);
    VerticalAlignerRenderEngine(const VerticalAlignerRenderEngine&) = delete;
    VerticalAlignerRenderEngine& operator=(const VerticalAlignerRenderEngine&) = delete;

    void setCorrectView(bool on) { _correctView = on; }
    bool correctView() const { return _correctView; }
    Kx::Image::ChannelSet stmapChannels() const;
    ViewCorrection& correction() { return _correction; }
    const ViewCorrection& correction() const { return _correction; }

    void renderRow(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                   Kx::Image::Filter& filter, Kx::Image::Row& row) const;
    void samplePoint(const Eigen::Vector2f& centre, Kx::Image::Filter& filter,
                     Kx::Image::Pixel& pixel) const;

    // The STMap channels, looked up (and made) by name once per process.
    static Kx::Image::Channel stmapU();
    static Kx::Image::Channel stmapV();

private:
    void warpRow(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                 Kx::Image::Filter& filter, Kx::Image::Row& row) const;
    void stmapRow(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                  Kx::Image::Row& row) const;
    void disparityRow(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                      Kx::Image::Row& row) const;
    void motionRow(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                   Kx::Image::Row& row) const;

    VerticalAlignerPlugin* _node;
    ViewCorrection _correction;
    bool _correctView = false;
};

} // namespace Marrow::Research
