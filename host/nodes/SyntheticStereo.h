// SyntheticStereo: a stereo plate with exact ground truth, rendered from a procedural scene.
//
// The scene is an infinite back wall, a floor and a handful of boxes at different depths,
// all covered by fractal value noise fine enough for features everywhere; the seed decides
// the boxes and the noise, so equal parameters always give equal pixels. A stereo rig of two
// research-library cameras (Marrow::Research::CameraDefinition conventions: -z forward,
// y up, focal length and sensor in millimetres) stands at the origin: the left camera at
// (-interaxial/2, 0, 0), the right one at (+interaxial/2, cameraOffsetY, 0), both looking
// down -z. The right camera carries the misalignment: tilt, pan and roll are its Euler angles
// rx, ry, rz in degrees (tilt up, pan to its left, roll anticlockwise as seen from behind),
// its focal length is the left one times focalRatio, and its image is shifted up by
// verticalShift pixels (a centre shift). Each of these may be keyed over frames. The scene
// itself moves past the rig (rigVelocity per frame, turning panSpeed degrees per frame about
// the vertical axis through the origin), so the motion vectors are not zero.
//
// Views: the host view named "right" shows the right camera, and so does "cam2", the view
// that a rig of camera views gives the metadata's camera 2; every other view the left.
// Output channels, for the pixel (i, j) of the view, with its centre p = (i + 0.5, j + 0.5):
//   rgba              colour, supersampled samples x samples per pixel; alpha 1
//   forward.u/v       where the scene point at p is in the same view at the next frame, - p
//   backward.u/v      the same for the previous frame
//   disparityL.x/y    (both views) at left pixel p: its match in the right view - p
//   disparityR.x/y    (both views) at right pixel p: its match in the left view - p
//   occlusion.left    1 where disparityL's match is hidden or outside the right frame, else 0
//   occlusion.right   1 where disparityR's match is hidden or outside the left frame, else 0
// The vectors are exact for the ray through the pixel centre (not supersampled). A pixel
// whose ray meets nothing, or whose point is behind the other camera, gets a zero vector.
// Metadata: the rig, in the layout of Marrow::Research::MetaDataHandler (camera 1 left,
// camera 2 right, linked, rig at the origin, the convergence depth given below). With
// nominalMetadata the rig is published as designed, the right camera without its
// misalignment, as an ingest that knows the rig's design but not how the camera sits.
//
// Hard plates. Each camera may have radial lens distortion, in the division model centred
// on its principal point c: the ideal (pinhole) position of an image position d is
//   u = c + (d - c) / (1 + k1·r² + k2·r⁴),   r = |d - c| / R,
// R the half diagonal of the frame in pixels. Negative k1 is barrel distortion (k1 = -0.25
// brings the corners in by a fifth), positive k1 pincushion. The model is used exactly both
// ways: an image position is traced through its ideal ray, and a scene point is projected
// to its ideal position and then distorted (the radius solved to double precision), so the
// disparity, motion vectors and correspondence() stay exact; the published rig metadata
// carries the pinhole cameras only, as a plain ingest would. Parameters that fold the image
// over inside the frame are refused.
// Surfaces may carry a repeating chequer (squares of chequerSize scene units, dark and light
// in the surface's tint) instead of the noise: the wall, the floor (from the bottom of the
// frame up to about a third of its height with the default lens) and the boxes. contrast
// scales the texture's swing around its middle grey and detail its fine structure (1: all
// octaves with crisp blob borders; 0: the coarsest, soft blobs only): low values of both make
// a plate with little texture.
// The views may differ as two real cameras do: per camera, an exposure (stops) and a colour
// cast (gain per channel) in linear light, then a gamma (value^(1/gamma)), then noise (a
// normal deviate of the given standard deviation per pixel and channel, the same for the
// same seed, camera, frame and pixel). quantise8 then rounds the colour to the 256 levels of
// an 8-bit file in a display gamma of 2.2, as a plate that went through 8-bit files would be.
// None of these moves anything in the image: the truth is the same as without them, except
// for the lens distortion, which the truth includes.
#pragma once

#include <Kx/Image/Hash.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Node.h>
#include <Quorvane/CameraRigDefinition.h>

#include <Eigen/Core>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Kestrel::Nodes {

// A parameter over frames: a constant, or keys with linear interpolation between them
// (held before the first and after the last key).
class AnimatedValue {
public:
    AnimatedValue(double value = 0.0) : _value(value) {}
    void setValue(double value);
    void setKey(double frame, double value);
    bool isAnimated() const { return !_keys.empty(); }
    double valueAt(double frame) const;
    void append(Kx::Image::Hash& h) const;

private:
    double _value;
    std::map<double, double> _keys;
};

// Radial lens distortion of one camera (the division model above).
struct LensDistortion {
    double k1 = 0.0, k2 = 0.0;
};

// How one camera's image differs in tone and colour (see above).
struct ViewLook {
    double exposure = 0.0; // stops
    double gamma = 1.0;
    Eigen::Vector3d cast{1.0, 1.0, 1.0}; // gain of red, green, blue
    double noise = 0.0;                  // standard deviation, in units of the colour value
};

// The surfaces that may carry the chequer.
enum ChequerSurface : unsigned {
    ChequerWall = 1u,
    ChequerFloor = 2u,
    ChequerBoxes = 4u,
};

struct SyntheticStereoParameters {
    int width = 1024, height = 768;
    double pixelAspect = 1.0;
    uint32_t seed = 1;
    int firstFrame = 1, lastFrame = 100;
    int samples = 2;               // supersamples per pixel along each axis, for the colour
    double focalLength = 35.0;     // mm
    double sensorWidth = 36.0;     // mm
    double interaxial = 0.1;       // scene units
    double convergenceDepth = 8.0; // scene units, published in the rig metadata
    bool nominalMetadata = false;  // publish the rig without the right camera's misalignment
    Eigen::Vector3d rigVelocity{-0.01, 0.0, 0.01}; // scene motion per frame
    double panSpeed = 0.05;                        // degrees per frame
    // The right camera's misalignment.
    AnimatedValue roll, tilt, pan; // degrees
    AnimatedValue focalRatio{1.0};
    AnimatedValue verticalShift; // pixels
    AnimatedValue cameraOffsetY; // scene units
    // Hard plates: index 0 is the left camera, 1 the right one.
    LensDistortion lens[2];
    ViewLook look[2];
    unsigned chequerSurfaces = 0; // ChequerSurface bits
    double chequerSize = 0.25;    // scene units
    double contrast = 1.0, detail = 1.0;
    bool quantise8 = false;
};

// The hard plates of the tracking tests and benchmark, each on top of the parameters given:
// k1 = -0.25 on both cameras; a chequerboard floor; soft blobs at 40 % contrast; the right
// view 0.7 stops brighter with gamma 1.3 and a warm cast, both views with 1 % grain; and all
// of them together with 8-bit levels.
void barrelDistortion(SyntheticStereoParameters& p);
void chequerboardFloor(SyntheticStereoParameters& p);
void lowTexture(SyntheticStereoParameters& p);
void unevenViews(SyntheticStereoParameters& p);
void everythingHard(SyntheticStereoParameters& p);
// Sets the hard-plate knobs of a SyntheticStereo node (lens, chequer, texture, the views'
// looks and 8-bit levels) to those of the parameters, as a script or the panel would: the
// way to put a hard plate into a node graph.
void setHardPlateKnobs(Kx::Image::Node& node, const SyntheticStereoParameters& p);

// The procedural scene, in its own axes (it is placed in the world per frame).
class SyntheticScene {
public:
    struct Hit {
        double distance = 0.0;
        int surface = -1;
        Eigen::Vector2d uv = Eigen::Vector2d::Zero();
    };

    // Texture of the surfaces (see SyntheticStereoParameters).
    struct Texture {
        unsigned chequerSurfaces = 0;
        double chequerSize = 0.25;
        double contrast = 1.0, detail = 1.0;
    };

    explicit SyntheticScene(uint32_t seed);
    // The nearest surface along a ray (direction of unit length); false when none.
    bool trace(const Eigen::Vector3d& origin, const Eigen::Vector3d& direction, Hit& hit) const;
    // Linear RGB of a surface point.
    Eigen::Vector3f shade(const Hit& hit, const Texture& texture) const;

private:
    struct Box {
        Eigen::Vector3d centre, half;
        double cosYaw, sinYaw;
    };
    struct Surface {
        double frequency;
        Eigen::Vector3f tint;
        uint32_t seed;
    };

    std::vector<Box> _boxes; // surface 2 + index
    std::vector<Surface> _surfaces;
};

class SyntheticStereo : public Kx::Image::Iop {
public:
    explicit SyntheticStereo(Kx::Image::Node* node);

    const char* Class() const override { return "SyntheticStereo"; }
    const char* node_help() const override;
    int minimum_inputs() const override { return 0; }
    int maximum_inputs() const override { return 0; }

    const SyntheticStereoParameters& parameters() const { return _parameters; }
    // Replaces the parameters and drops everything validated or rendered before.
    void setParameters(const SyntheticStereoParameters& p);

    // Whether the host view of that name shows the right camera (see above).
    static bool showsRightCamera(const char* viewName);

    // The channels marking hidden matches (see above).
    static Kx::Image::Channel occlusionLeftChannel();
    static Kx::Image::Channel occlusionRightChannel();

    // Camera 0 (left) or 1 (right) at a frame, in the world.
    Marrow::Research::CameraDefinition camera(int index, double frame) const;
    Marrow::Research::CameraRigDefinition rig(double frame) const;
    // The rig as designed: both cameras without the right camera's misalignment.
    Marrow::Research::CameraRigDefinition nominalRig() const;
    // Exact truth: the position in camera `to` of the scene point that camera `from` sees at
    // a pixel position, and whether camera `to` sees that point there (not hidden, inside its
    // frame). False when the pixel's ray meets nothing or the point is behind camera `to`.
    bool correspondence(int from, int to, const Eigen::Vector2d& pixel, double frame,
                        Eigen::Vector2d& match, bool& visible) const;
    const SyntheticScene& scene() const { return _scene; }
    // Where the scene stands in the world at a frame: world = sceneToWorld · scene point.
    Eigen::Matrix4d sceneToWorld(double frame) const;

    // The knobs: width, height, seed, first and last frame, samples, focal length,
    // interaxial, convergence depth and nominal metadata; the right camera's animatable
    // misalignment roll, tilt, pan, focalRatio, verticalShift and cameraOffsetY; and the hard
    // plate's leftK1, leftK2, rightK1, rightK2, chequerWall, chequerFloor, chequerBoxes,
    // chequerSize, contrast, detail, leftExposure, leftGamma, leftCast, leftNoise (and the
    // same for right) and quantise8.
    void knobs(Kx::Image::Knob_Closure& f) override;
    void append(Kx::Image::Hash& h) override;
    void _validate(bool for_real) override;
    void engine(int y, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) override;
    void _fetchMetaData(const char* key) override;

private:
    // A camera at one frame, expressed in the scene's axes, ready for many rays.
    struct Pinhole {
        Eigen::Matrix3d cameraToScene;
        Eigen::Vector3d centre; // in the scene's axes
        double fx, fy, cx, cy, width, height;
        LensDistortion lens;
        double halfDiagonal;

        Pinhole() = default;
        Pinhole(const Marrow::Research::CameraDefinition& c, const Eigen::Matrix4d& toScene,
                const LensDistortion& lens);
        // Unit direction through a pixel position, in the scene's axes.
        Eigen::Vector3d ray(const Eigen::Vector2d& pixel) const;
        // Pixel position of a scene point; false behind the camera.
        bool project(const Eigen::Vector3d& point, Eigen::Vector2d& pixel) const;
        bool inside(const Eigen::Vector2d& pixel) const;
    };

    // The scene point seen through a pixel position.
    bool pointAt(const Pinhole& c, const Eigen::Vector2d& pixel, Eigen::Vector3d& point) const;
    bool visibleFrom(const Pinhole& c, const Eigen::Vector3d& point) const;
    void disparityRow(int from, int y, int x, int r, float* dx, float* dy, float* hidden) const;
    // The camera's tone, colour, noise and quantisation applied to a rendered colour.
    Eigen::Vector3f look(int camera, const Eigen::Vector3f& colour, int i, int y) const;
    // The error that makes a parameter of the hard plate unusable, or empty.
    std::string hardPlateError() const;

    // Takes the knob values of the node: plain values as stored, the misalignment as keys at
    // the frames around the output frame, which is all that the motion vectors need.
    void parametersFromKnobs();

    SyntheticStereoParameters _parameters;
    SyntheticScene _scene;
    struct KnobFields {
        int width = 1024, height = 768, seed = 1, firstFrame = 1, lastFrame = 100, samples = 2;
        float focalLength = 35, interaxial = 0.1f, convergenceDepth = 8;
        bool nominalMetadata = false;
        float roll = 0, tilt = 0, pan = 0, focalRatio = 1, verticalShift = 0, cameraOffsetY = 0;
        float k1[2] = {0, 0}, k2[2] = {0, 0};
        bool chequerWall = false, chequerFloor = false, chequerBoxes = false;
        float chequerSize = 0.25f, contrast = 1, detail = 1;
        float exposure[2] = {0, 0}, gamma[2] = {1, 1}, cast[2][3] = {{1, 1, 1}, {1, 1, 1}},
              noise[2] = {0, 0};
        bool quantise8 = false;
    } _fields;
    // Prepared by _validate for the output frame f: index 0, 1, 2 for f - 1, f, f + 1. The
    // scene is static in its own axes, so a point moves between frames only through the
    // cameras' poses in those axes.
    int _viewCamera = 0;
    Pinhole _cameras[2][3];
};

} // namespace Kestrel::Nodes
