// The render engine: every output pixel of a view is produced by inverse mapping. The pixel
// centre goes back through the view's chain of corrections, spherical reprojection, parallax
// offset, zoom, vertical skew, inverse homography and local shift, to a position in the
// view's source, where the input is sampled with the node's filter (black outside the
// source's data box). The same chains run forwards give output boxes and the positions of
// matches drawn in the viewer.
//
// Positions are pixels, x right, y up, pixel centres at i + 0.5. The correction is prepared
// for one view at each validation and only read while rows are rendered, from many threads
// at once; no call here takes a lock or writes anything but the row or pixel it is given.
//
// The zoom scales about the centre of each view's alignment box; the parallax offset moves
// the right view right and the left view left by offset × the view's share.
#pragma once

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
    // xs[i - x] and ys[i - x]: the same positions to the bit, with the work that depends only
    // on the row done once for it.
    void mapRow(int y, int x, int r, float* xs, float* ys, Kx::Image::Pixel& scratch) const;
    Eigen::Vector2d toSourceThis(const Eigen::Vector2d& p) const;
    Eigen::Vector2d toSourceOther(const Eigen::Vector2d& p) const;
    Eigen::Vector2d toOutputThis(const Eigen::Vector2d& p) const;
    Eigen::Vector2d toOutputOther(const Eigen::Vector2d& p) const;
    Kx::Image::Box sourceArea(const Kx::Image::Box& output) const;
    Kx::Image::Box outputArea(const Kx::Image::Box& input) const;

    // The vertical local shift at output point p whose source point is s (this-view form),
    // or the other view's mirrored form.
    float localShift(const Eigen::Vector2f& p, const Eigen::Vector2f& s) const;
    float localShiftOther(const Eigen::Vector2f& p, const Eigen::Vector2f& s) const;
    // The same with the caller's pixel for the disparity sample.
    float localShift(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                     Kx::Image::Pixel& scratch) const;
    float localShiftOther(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                          Kx::Image::Pixel& scratch) const;

    // Computes the zoom that keeps black out of both views and stores it in `scale`.
    bool computeScale();
    // Computes the parallax offset at the fix point and stores it in `offset`.
    bool computeOffset();

    int view() const { return _view; }
    bool alignThis() const { return _alignThis; }
    bool alignOther() const { return _alignOther; }
    bool localOn() const { return _localOn; }
    bool offsetOn() const { return _offsetOn; }
    bool scaleOn() const { return _scaleOn; }
    float viewShare() const { return _viewShare; }
    float viewOffset() const { return _viewOffset; }
    float fitScale() const { return _fitScale; }
    bool spherical() const { return _spherical; }
    const Vireon::VireonAlignmentSampler& thisSampler() const { return _thisSampler; }
    const Vireon::VireonAlignmentSampler& otherSampler() const { return _otherSampler; }
    const SphericalTransform& thisTransform() const { return _thisTransform; }
    const SphericalTransform& otherTransform() const { return _otherTransform; }
    const DisparityPair& thisDisparity() const { return _thisDisparity; }
    const DisparityPair& otherDisparity() const { return _otherDisparity; }
    // The filter of every disparity and motion sample (sampling does not change it).
    Kx::Image::Filter* disparityFilter() const { return &_disparityFilter; }

private:
    // The shared steps of the two local-shift forms: sample the pair at s, carry the match
    // forwards through a sampler and a view's zoom and projection, and compare rows.
    float shiftThrough(const Eigen::Vector2f& p, const Eigen::Vector2f& s,
                       const DisparityPair& pair, const Vireon::VireonAlignmentSampler& sampler,
                       const SphericalTransform& transform, bool projected,
                       Kx::Image::Pixel& d) const;
    Eigen::Vector2d inverseChain(const Eigen::Vector2d& p, const Vireon::VireonAlignmentSampler& s,
                                 const SphericalTransform& t, bool align, float offset) const;
    Eigen::Vector2d forwardChain(const Eigen::Vector2d& p, const Vireon::VireonAlignmentSampler& s,
                                 const SphericalTransform& t, bool align, float offset) const;
    void setupTransform(const CameraRigDefinition& rig, SphericalTransform& target, int view);

    VerticalAlignerPlugin* _node;
    mutable Kx::Image::Filter _disparityFilter{Kx::Image::Filter::Parzen};
    SphericalTransform _thisTransform, _otherTransform;
    int _view = -1;
    bool _alignThis = false, _alignOther = false, _localOn = false, _offsetOn = false;
    bool _scaleOn = false, _spherical = false;
    float _viewShare = 1.0f, _localAmount = 0.0f, _viewOffset = 0.0f, _fitScale = 1.0f;
    Vireon::VireonAlignmentSampler _thisSampler, _otherSampler;
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
