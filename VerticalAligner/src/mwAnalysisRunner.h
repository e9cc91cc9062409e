// AnalysisRunner: what Match and Analyse Sequence do when the host executes the node over
// its frame range. The host asks before each frame whether to skip it; every frame that is
// not an analysis key is skipped, so both runs work at the keys only.
//
// Match finds and triangulates the feature matches between the two cameras of the chosen
// views at each key and replaces that key's stored tracks. Analyse Sequence writes, at each
// key and for each of the two views, a corner pin (the inset corners of input 0's format
// after the view's correction) and the correction as a 4 x 4 matrix, then a summary of the
// global options. The node's own global alignment is applied in the warp, not in these
// outputs: they carry the framing corrections, the zoom that prevents black and the
// parallax offset, which other nodes can apply.
//
// Analyse asks the data provider that the stereo library holds for the node: the node's own,
// unless another part of the pipeline registered one for it. When that provider supplies the
// camera projections of the aligned views (at the frame being analysed), each view's
// projection is split into a camera over input 0's format and written at the key: its
// position (translate), its orientation (rotate, degrees), its focal length (the projection's
// focal length over the image width times the sensor width, millimetres), the sensor size as
// the aperture (a constant, millimetres), the centre shift as the window translation, a
// window scale of 1 and the lean of its y axis as the skew (degrees); analysedWithCamera
// then becomes 1. A projection that does not split into a camera writes no camera values.
#pragma once

#include "Kx/Image/Box.h"

#include <Eigen/Core>

namespace Marrow::Research {

class VerticalAlignerPlugin;

class AnalysisRunner {
public:
    enum Type { Match = 0, Analyse = 1 };

    explicit AnalysisRunner(VerticalAlignerPlugin* node) : _node(node) {}

    void begin();
    void execute(double frame);
    void end();

    // The inset box of the corner pins: m = ceil(W · 0.005) · 10 pixels in from each edge.
    static Kx::Image::Box insetBox(const Kx::Image::Box& format);

private:
    void prepareOutputs();
    void match(double frame);
    void analyse(double frame);
    void writeView(int view, const Eigen::Matrix3d& m, const Kx::Image::Box& inset, double frame);
    // The camera values of both views from their projections; false (nothing written) when
    // either does not split into a camera.
    bool writeCameras(const Eigen::Matrix<double, 3, 4>& left,
                      const Eigen::Matrix<double, 3, 4>& right, double sensorWidth,
                      double sensorHeight, const Kx::Image::Box& format, double frame);

    VerticalAlignerPlugin* _node;
    int _type = Match;
};

} // namespace Marrow::Research
