// CornerPin2D: warps the image so that the four "from" corners land on the four "to" corners.
//
// The warp is the projective transform (homography) H that maps from1..from4 to to1..to4, in
// pixel coordinates of the host (x to the right, y upward, the centre of pixel (i, j) at
// (i + 0.5, j + 0.5)). Each output pixel centre p is mapped back through the inverse of H into
// the input and sampled there with the chosen filter over the footprint that the inverse
// mapping gives one output pixel; positions outside the input's data box give black.
//
// A degenerate pin (either quadrilateral not strictly convex, or corners in a different turning
// order) gives the identity: the input passes through untouched, as it does when from equals to.
// Every corner is animatable and may be split per view.
#pragma once

#include <Kx/Image/Filter.h>
#include <Kx/Image/Iop.h>

#include <array>
#include <optional>

namespace Kestrel::Nodes {

// Row-major 3 x 3, acting on column vectors (x, y, 1).
using Homography = std::array<double, 9>;

// The homography taking the four points `from` to the four points `to` (in order), or nothing
// when either quadrilateral is not strictly convex or they turn in opposite directions.
std::optional<Homography> cornerPinHomography(const std::array<std::array<double, 2>, 4>& from,
                                              const std::array<std::array<double, 2>, 4>& to);

class CornerPin2D : public Kx::Image::Iop {
public:
    static constexpr const char* kClass = "CornerPin2D";
    static constexpr const char* kFrom[4] = {"from1", "from2", "from3", "from4"};
    static constexpr const char* kTo[4] = {"to1", "to2", "to3", "to4"};
    static constexpr const char* kLabel = "label";
    static constexpr const char* kFilter = "filter";

    explicit CornerPin2D(Kx::Image::Node* node);
    const char* Class() const override { return kClass; }
    const char* node_help() const override;
    void knobs(Kx::Image::Knob_Closure& f) override;
    void append(Kx::Image::Hash& h) override;
    void _validate(bool for_real) override;
    void _request(int x, int y, int r, int t, Kx::Image::ChannelSet channels, int count) override;
    void engine(int y, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) override;

    float from[4][2];
    float to[4][2];

private:
    std::string _label;
    Kx::Image::Filter _filter;
    bool _identity = true;
    Homography _inverse{};
};

} // namespace Kestrel::Nodes
