// Camera: a 3-D camera of the host, described by its knobs; it makes no image.
//
// Conventions (those of the research library's cameras): the camera looks down its -z axis
// with y up; rotate is Euler angles in degrees applied as rotateY · rotateX · rotateZ (z is
// the roll), so the camera-to-world transform is translate · rotateY · rotateX · rotateZ.
// focal, haperture and vaperture are in millimetres; win_translate shifts the film window in
// units of half the aperture, win_scale scales it, skew shears it. Every value may be
// animated and split per view; a JoinViews of one camera per view makes a stereo rig.
// gl_color and tile_color are the colours of its 3-D drawing and of its tile, 0xRRGGBBAA.
//
// The field of view at a frame is 2 · atan(aperture / (2 · focal)) in degrees, horizontal
// from haperture and vertical from vaperture (window scale and skew leave it as it is).
#pragma once

#include <Kx/Image/Op.h>

#include <string>
#include <vector>

namespace Kx::Image {
class Node;
}

namespace Kestrel::Nodes {

class Camera : public Kx::Image::Op {
public:
    static constexpr const char* kClass = "Camera";
    static constexpr const char* kFocal = "focal";
    static constexpr const char* kHAperture = "haperture";
    static constexpr const char* kVAperture = "vaperture";
    static constexpr const char* kTranslate = "translate";
    static constexpr const char* kRotate = "rotate";
    static constexpr const char* kWinTranslate = "win_translate";
    static constexpr const char* kWinScale = "win_scale";
    static constexpr const char* kSkew = "skew";
    static constexpr const char* kGlColor = "gl_color";
    static constexpr const char* kTileColor = "tile_color";

    explicit Camera(Kx::Image::Node* node) : Op(node) {}
    const char* Class() const override { return kClass; }
    const char* node_help() const override;
    // The optional input is a parent camera: a rig or scene graph keeps the link, and the
    // knobs (and the exported table) are this camera's own values relative to it.
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 1; }
    bool test_input(int n, Op* op) const override;
    const char* input_label(int n, char* buffer) const override;
    void knobs(Kx::Image::Knob_Closure& f) override;
    void append(Kx::Image::Hash& h) override;

    float focal = 50.0f;
    float haperture = 24.576f, vaperture = 18.672f;
    float translate[3] = {0, 0, 0};
    float rotate[3] = {0, 0, 0};
    float winTranslate[2] = {0, 0};
    float winScale[2] = {1, 1};
    float skew = 0.0f;
    int glColor = 0, tileColor = 0;
};

// One row of the camera's table at a frame and view (0: the shared values).
struct CameraSample {
    double frame;
    double translate[3];
    double rotate[3];
    double horizontalFov, verticalFov; // degrees
};
CameraSample sampleCamera(const Kx::Image::Node& camera, double frame, int view);

// Writes the camera's animation as a text table, one line per frame:
//   # frame tx ty tz rx ry rz hfov vfov
//   1 0 0 0 0 0 0 39.5978 30.5118
// The file is written beside its final name and renamed when complete. False with the reason
// (naming the node or the file) when the node is not a Camera or the file cannot be written.
bool exportCameraTable(const Kx::Image::Node& camera, const std::string& path,
                       const std::vector<double>& frames, int view, std::string* error);

} // namespace Kestrel::Nodes
