// The rendering tests' stage: the synthetic stereo plate, carried through the host's
// AddChannels node, which adds the two STMap channels to the stream (the aligner writes an
// STMap only into channels the stream already has), into the aligner; Match at frame 1; whole
// views rendered into planes; the plate's own channels read back at any position.
#pragma once

#include "AlignerStage.h"
#include "mwControlPointsKnob.h"
#include "mwVerticalAlignerRenderEngine.h"

#include "Kx/Image/Engine.h"
#include "Kx/Image/Executable.h"
#include "Kx/Image/Filter.h"
#include "Kx/Image/Knob.h"
#include "Kx/Image/KnobChange.h"
#include "nodes/SyntheticStereo.h"

#include <gtest/gtest.h>

#include <Eigen/Core>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

namespace RenderTest {

using namespace Kx::Image;
using namespace Marrow::Research;
using Kestrel::Nodes::SyntheticStereo;
using K = VerticalAlignerKnobManager;
using Misalignment = std::vector<std::pair<const char*, double>>;

inline constexpr auto stmapU = &VerticalAlignerRenderEngine::stmapU;
inline constexpr auto stmapV = &VerticalAlignerRenderEngine::stmapV;
inline ChannelSet stmapChannels() {
    return ChannelSet{stmapU(), stmapV()};
}

// A rendered area: one plane per channel, rows bottom-up.
struct Image {
    Box box;
    std::vector<std::vector<float>> planes = std::vector<std::vector<float>>(kMaxChannels + 1);
    float at(Channel z, int x, int y) const {
        return planes[size_t(z)][size_t((y - box.y()) * box.w() + x - box.x())];
    }
    // The source position an STMap pixel holds, in pixels of a w by h format.
    Eigen::Vector2d stmap(int x, int y, int w, int h) const {
        return Eigen::Vector2d(double(at(stmapU(), x, y)) * w, double(at(stmapV(), x, y)) * h);
    }
};

inline Image renderArea(Iop& op, const Box& box, const ChannelSet& channels) {
    Image image;
    image.box = box;
    for (Channel z : channels) image.planes[size_t(z)].resize(size_t(box.w() * box.h()));
    EXPECT_TRUE(Engine::renderRows(op, box, channels, [&](int y, const Row& row) {
        for (Channel z : channels)
            std::copy(row[z] + box.x(), row[z] + box.r(),
                      image.planes[size_t(z)].begin() + (y - box.y()) * box.w());
    }));
    return image;
}

struct Plate : AlignerTest::Views {
    static constexpr int kLeft = 1, kRight = 2;
    int width, height;
    Node source{"SyntheticStereo", "Plate"};
    Node stmap{"AddChannels", "STMapChannels"};
    Node aligner{"Q_VerticalAligner2_1", "VerticalAligner1"};

    // The stereo layout in Rectilinear space on views "left" and "right", unless other views
    // are named (the plate shows its right camera in "right" and "cam2").
    Plate(const Misalignment& misalignment, int preset, int w = 640, int h = 360,
          const std::vector<std::string>& views = {"left", "right"})
        : Views(views), width(w), height(h) {
        source.knob("width")->setValue(w);
        source.knob("height")->setValue(h);
        for (auto [name, value] : misalignment) source.knob(name)->setValue(value);
        stmap.knob("channels")->setText("stitch_map.u stitch_map.v");
        stmap.setInput(0, &source);
        aligner.setInput(0, &stmap);
        aligner.setPanelOpen(true);
        set("layoutType", K::StereoLayout);
        set("alignmentSpace", K::Rectilinear);
        set("alignmentType", preset);
        aligner.setContext(OutputContext(1, kLeft));
    }

    void set(const char* name, double value) { aligner.knob(name)->setValue(value); }
    // The rig of the metadata's cameras 1 and 2, shown in the views "cam1" and "cam2".
    void useMetadataRig() {
        set("leftView", 1);
        set("rightView", 2);
        set("layoutType", K::DefaultSource);
    }
    // Spherical space into a latlong output as fine as the camera at its centre (one output
    // pixel spans the angle of one camera pixel there), so that residuals read as camera pixels.
    void useLatlong() {
        set("alignmentSpace", K::Spherical);
        const int w = int(std::lround(2 * std::numbers::pi * width * 35.0 / 36.0));
        FormatPair latlong;
        latlong.fullSizeFormat = latlong.format = Format(w, w / 2, 1.0, "latlong");
        aligner.knob("outputFormat")->setFormat(latlong);
    }
    double get(const char* name) { return aligner.knob(name)->value(); }
    // A button press or an edit made in the panel while the viewer shows a view.
    void press(const char* name, int viewerView) {
        aligner.setContext(OutputContext(1, viewerView));
        KnobChange::notify(*aligner.knob(name));
    }
    void setFixPoint(double x, double y, int viewerView) {
        aligner.setContext(OutputContext(1, viewerView));
        KnobChangeGroup once;
        Knob* k = aligner.knob("fixPoint");
        k->setValue(x, 0);
        k->setValue(y, 1);
    }

    VerticalAlignerPlugin& node() { return AlignerTest::plugin(aligner); }
    // The aligner's op of a view, validated.
    VerticalAlignerPlugin& view(int v) {
        auto* op = static_cast<VerticalAlignerPlugin*>(aligner.iop(OutputContext(1, v)));
        op->validate(true);
        return *op;
    }
    // The plate's op of a view at a frame, validated, with its whole box asked for.
    SyntheticStereo& plate(int v, const ChannelSet& channels, double frame = 1) {
        auto* op = static_cast<SyntheticStereo*>(source.op(OutputContext(frame, v)));
        op->validate(true);
        op->request(op->box(), channels);
        return *op;
    }

    // Runs Match (0) or Analyse Sequence (1) over the given frames, as the buttons do.
    bool run(int type, const std::vector<double>& frames) {
        set("executeType", type);
        const ExecuteResult r = execute(*aligner.firstOp(), frames);
        if (!r.ok) std::printf("%s failed: %s\n", type ? "Analyse" : "Match", r.error.c_str());
        return r.ok;
    }
    bool match() { return run(0, {1}); }

    // A view of the aligner over the plate's format.
    Image render(int v, const ChannelSet& channels) {
        VerticalAlignerPlugin& op = view(v);
        EXPECT_FALSE(op.hasError()) << op.errorMessage();
        return renderArea(op, Box(0, 0, width, height), channels);
    }
    Image renderPlate(int v, const ChannelSet& channels) {
        return renderArea(plate(v, channels), Box(0, 0, width, height), channels);
    }
};

// Calls f(p, q) for a grid of left pixel centres p of the validated plate whose scene point
// the right camera sees, q being its exact position in the right view; returns their count.
template <class F> int forTrueCorrespondences(const SyntheticStereo& truth, double frame, F f) {
    int n = 0;
    for (int y = 20; y < truth.format().height(); y += 25)
        for (int x = 20; x < truth.format().width(); x += 25) {
            const Eigen::Vector2d p(x + 0.5, y + 0.5);
            Eigen::Vector2d q;
            bool visible = false;
            if (!truth.correspondence(0, 1, p, frame, q, visible) || !visible) continue;
            f(p, q);
            ++n;
        }
    return n;
}

// Stores the plate's exact correspondences of a frame as that key's matches, left camera
// first, as Match would find them without noise.
inline void storeTrueMatches(Plate& g, double frame) {
    VerticalAlignerKnobManager& kv = g.node().knobValues();
    kv.addKey(frame);
    CameraTrack& track = kv.controlPoints()->tracksForFrame(int(frame));
    track.clearTracks();
    forTrueCorrespondences(g.plate(Plate::kLeft, Mask_RGBA, frame), frame,
                           [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
                               FeatureTrack t;
                               t.addFeature(0, Feature(p));
                               t.addFeature(1, Feature(q));
                               track.addTrack(t);
                           });
}

// RMS of the vertical disparity of the true correspondences of a frame, as they are or after
// the two samplers' corrections (homography and skew).
inline double verticalRms(const SyntheticStereo& truth, double frame,
                          const Marrow::Vireon::VireonAlignmentSampler* l = nullptr,
                          const Marrow::Vireon::VireonAlignmentSampler* r = nullptr) {
    double sum = 0;
    const int n = forTrueCorrespondences(
        truth, frame, [&](const Eigen::Vector2d& p, const Eigen::Vector2d& q) {
            const double d = l ? l->toOutput(p).y() - r->toOutput(q).y() : p.y() - q.y();
            sum += d * d;
        });
    return std::sqrt(sum / n);
}

// Whether the plate's disparity pair is whole around a source position: every pixel within
// three of it sees its match (no occlusion), and the disparity there is the plane that the
// central differences give (within 0.05 px), as it is on one flat surface. Near a depth edge a
// filtered sample of the disparity mixes two surfaces.
inline bool smoothDisparity(const Image& plate, const Eigen::Vector2d& s, Channel dx, Channel dy,
                            Channel hidden) {
    const Eigen::Vector2i c(std::clamp(int(std::floor(s.x())), plate.box.x(), plate.box.r() - 1),
                            std::clamp(int(std::floor(s.y())), plate.box.y(), plate.box.t() - 1));
    if (c.x() < 4 || c.y() < 4 || c.x() >= plate.box.r() - 4 || c.y() >= plate.box.t() - 4)
        return false;
    for (Channel z : {dx, dy}) {
        const double centre = plate.at(z, c.x(), c.y());
        const double gx = 0.5 * (plate.at(z, c.x() + 1, c.y()) - plate.at(z, c.x() - 1, c.y()));
        const double gy = 0.5 * (plate.at(z, c.x(), c.y() + 1) - plate.at(z, c.x(), c.y() - 1));
        for (int j = -3; j <= 3; ++j)
            for (int i = -3; i <= 3; ++i)
                if (plate.at(hidden, c.x() + i, c.y() + j) != 0 ||
                    std::fabs(plate.at(z, c.x() + i, c.y() + j) - (centre + i * gx + j * gy)) >
                        0.05)
                    return false;
    }
    return true;
}

// Bilinear interpolation of a channel of an image between pixel centres.
inline double bilinear(const Image& image, Channel z, const Eigen::Vector2d& p) {
    const double fx = p.x() - 0.5, fy = p.y() - 0.5;
    const int x0 = int(std::floor(fx)), y0 = int(std::floor(fy));
    const double a = fx - x0, b = fy - y0;
    auto v = [&](int x, int y) {
        x = std::clamp(x, image.box.x(), image.box.r() - 1);
        y = std::clamp(y, image.box.y(), image.box.t() - 1);
        return double(image.at(z, x, y));
    };
    return (v(x0, y0) * (1 - a) + v(x0 + 1, y0) * a) * (1 - b) +
           (v(x0, y0 + 1) * (1 - a) + v(x0 + 1, y0 + 1) * a) * b;
}

} // namespace RenderTest
