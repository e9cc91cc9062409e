#include "nodes/SyntheticStereo.h"

#include <Kx/Image/Channel.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/OutputContext.h>
#include <Kx/Image/Row.h>
#include <Quorvane/MetaDataHandler.h>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numbers>

namespace Kestrel::Nodes {

using Marrow::Research::CameraDefinition;
using Marrow::Research::CameraRigDefinition;

namespace {

constexpr double kRadians = std::numbers::pi / 180.0;

// ---- procedural texture ----

uint32_t mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

float lattice(uint32_t seed, int64_t ix, int64_t iy) {
    const uint32_t h = mix(seed ^ mix(uint32_t(ix) ^ mix(uint32_t(iy) + 0x9e3779b9u)));
    return float(h) * (1.0f / 4294967296.0f);
}

// Smooth value noise in [0, 1): random values on the integer lattice, blended with a
// quintic fade so that the gradient is continuous.
float valueNoise(uint32_t seed, double x, double y) {
    const double fx = std::floor(x), fy = std::floor(y);
    const auto ix = int64_t(fx), iy = int64_t(fy);
    const auto fade = [](double t) { return float(t * t * t * (t * (t * 6.0 - 15.0) + 10.0)); };
    const float u = fade(x - fx), v = fade(y - fy);
    const float a = lattice(seed, ix, iy), b = lattice(seed, ix + 1, iy);
    const float c = lattice(seed, ix, iy + 1), d = lattice(seed, ix + 1, iy + 1);
    return (a + (b - a) * u) + ((c + (d - c) * u) - (a + (b - a) * u)) * v;
}

// Five octaves, from blobs of a texture unit down to a sixteenth of one; each octave weighs
// `falloff` times the one before.
float fractal(uint32_t seed, double x, double y, float falloff) {
    float sum = 0.0f, amplitude = 0.5f, total = 0.0f;
    double f = 1.0;
    for (int octave = 0; octave < 5; ++octave) {
        // Each octave is shifted so that the lattices of the octaves do not line up.
        sum += amplitude * valueNoise(seed + uint32_t(octave) * 0x632be5abu, x * f + 17.3 * octave,
                                      y * f - 9.1 * octave);
        total += amplitude;
        amplitude *= falloff;
        f *= 2.0;
    }
    return sum / total;
}

// A deterministic stream of numbers in [0, 1) for building the scene.
struct Stream {
    uint32_t state;
    double next() {
        state = mix(state + 0x9e3779b9u);
        return double(state) / 4294967296.0;
    }
    double between(double a, double b) { return a + (b - a) * next(); }
};

// A normal deviate that depends only on its key (sum of four uniforms, scaled to unit
// variance: close enough to a normal for grain).
float normalNoise(uint32_t key) {
    float sum = 0.0f;
    for (uint32_t k = 0; k < 4; ++k) {
        key = mix(key + 0x9e3779b9u);
        sum += float(key) * (1.0f / 4294967296.0f);
    }
    return (sum - 2.0f) * std::sqrt(3.0f);
}

// ---- lens distortion ----

// The factor 1 + k1·r² + k2·r⁴ of the division model at a distorted radius r.
double lensDenominator(const LensDistortion& l, double r) {
    const double s = r * r;
    return 1.0 + l.k1 * s + l.k2 * s * s;
}

// The smallest positive root of 1 + a·s + b·s² (infinity when there is none).
double firstPositiveRoot(double a, double b) {
    double best = std::numeric_limits<double>::infinity();
    if (b == 0.0) {
        if (a < 0.0) best = -1.0 / a;
        return best;
    }
    const double d = a * a - 4.0 * b;
    if (d < 0.0) return best;
    for (double s : {(-a - std::sqrt(d)) / (2.0 * b), (-a + std::sqrt(d)) / (2.0 * b)})
        if (s > 0.0) best = std::min(best, s);
    return best;
}

// The distorted radius up to which the division model maps radii one to one: where its
// denominator reaches 0 (the ideal radius grows without bound there) or where the ideal
// radius stops growing (1 - k1·s - 3·k2·s² = 0, s = r²), whichever comes first.
double lensReach(const LensDistortion& l) {
    return std::sqrt(
        std::min(firstPositiveRoot(l.k1, l.k2), firstPositiveRoot(-l.k1, -3.0 * l.k2)));
}

// The distorted radius whose ideal radius is `ideal`, by bisection over the one-to-one
// range (to the last bit of a double); false when no radius of that range reaches it.
bool distortedRadius(const LensDistortion& l, double ideal, double& radius) {
    if (l.k1 == 0.0 && l.k2 == 0.0) {
        radius = ideal;
        return true;
    }
    // Some distortion always bounds the range (either root exists for any k1, k2 not both 0).
    // At its end the ideal radius is unbounded (denominator 0) or at its largest.
    double lo = 0.0, hi = lensReach(l);
    const double atReach = lensDenominator(l, hi);
    if (atReach > 1e-12 && hi / atReach < ideal) return false;
    for (int i = 0; i < 200 && hi - lo > 1e-15 * hi; ++i) {
        const double mid = 0.5 * (lo + hi);
        const double d = lensDenominator(l, mid);
        if (d > 0.0 && mid / d < ideal)
            lo = mid;
        else
            hi = mid;
    }
    radius = 0.5 * (lo + hi);
    return true;
}

// ---- the scene's layout ----

constexpr double kWallDepth = 22.0;
constexpr double kFloorHeight = -1.7;
constexpr int kBoxes = 8;

Eigen::Matrix4d rotationY4(double radians) {
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = Marrow::Research::rotationY(radians);
    return m;
}

} // namespace

// ---- AnimatedValue ----

void AnimatedValue::setValue(double value) {
    _value = value;
    _keys.clear();
}

void AnimatedValue::setKey(double frame, double value) {
    _keys[frame] = value;
}

double AnimatedValue::valueAt(double frame) const {
    if (_keys.empty()) return _value;
    auto after = _keys.lower_bound(frame);
    if (after == _keys.begin()) return after->second;
    if (after == _keys.end()) return std::prev(after)->second;
    if (after->first == frame) return after->second;
    auto before = std::prev(after);
    const double t = (frame - before->first) / (after->first - before->first);
    return before->second + (after->second - before->second) * t;
}

void AnimatedValue::append(Kx::Image::Hash& h) const {
    h.append(_value);
    h.append(uint64_t(_keys.size()));
    for (const auto& [frame, value] : _keys) {
        h.append(frame);
        h.append(value);
    }
}

// ---- SyntheticScene ----

SyntheticScene::SyntheticScene(uint32_t seed) {
    Stream s{mix(seed) ^ 0x51ed270bu};
    // Surface 0: the back wall, 1: the floor, 2...: the boxes. Texture frequencies grow with
    // the distance of the surface so that its detail keeps a similar size in the image.
    _surfaces.push_back({1.0, {0.9f, 0.85f, 0.75f}, mix(seed + 1)});
    _surfaces.push_back({1.6, {0.7f, 0.8f, 0.9f}, mix(seed + 2)});
    for (int i = 0; i < kBoxes; ++i) {
        Box b;
        const double z = s.between(4.0, 14.0);
        b.half = {s.between(0.3, 0.9), s.between(0.3, 1.2), s.between(0.2, 0.7)};
        const double floating = s.next() < 0.3 ? s.between(0.3, 1.5) : 0.0;
        b.centre = {s.between(-0.35, 0.35) * z, kFloorHeight + b.half.y() + floating, -z};
        const double yaw = s.between(-40.0, 40.0) * kRadians;
        b.cosYaw = std::cos(yaw);
        b.sinYaw = std::sin(yaw);
        _boxes.push_back(b);
        const Eigen::Vector3f tint(float(s.between(0.45, 1.0)), float(s.between(0.45, 1.0)),
                                   float(s.between(0.45, 1.0)));
        _surfaces.push_back({kWallDepth / z, tint, mix(seed + 3 + uint32_t(i))});
    }
}

bool SyntheticScene::trace(const Eigen::Vector3d& o, const Eigen::Vector3d& d, Hit& hit) const {
    constexpr double kNear = 1e-9;
    hit.distance = std::numeric_limits<double>::infinity();
    hit.surface = -1;
    if (d.z() < 0.0) { // the wall, facing +z
        const double t = (-kWallDepth - o.z()) / d.z();
        if (t > kNear && t < hit.distance) {
            hit = {t, 0, {o.x() + t * d.x(), o.y() + t * d.y()}};
        }
    }
    if (d.y() < 0.0) { // the floor, facing +y
        const double t = (kFloorHeight - o.y()) / d.y();
        if (t > kNear && t < hit.distance) hit = {t, 1, {o.x() + t * d.x(), o.z() + t * d.z()}};
    }
    for (size_t i = 0; i < _boxes.size(); ++i) {
        const Box& b = _boxes[i];
        // The ray in the box's axes (the box turned by its yaw about its vertical axis).
        const Eigen::Vector3d p = o - b.centre;
        const Eigen::Vector3d lo(b.cosYaw * p.x() - b.sinYaw * p.z(), p.y(),
                                 b.sinYaw * p.x() + b.cosYaw * p.z());
        const Eigen::Vector3d ld(b.cosYaw * d.x() - b.sinYaw * d.z(), d.y(),
                                 b.sinYaw * d.x() + b.cosYaw * d.z());
        double enter = -std::numeric_limits<double>::infinity();
        double leave = std::numeric_limits<double>::infinity();
        int axis = -1;
        bool missed = false;
        for (int k = 0; k < 3 && !missed; ++k) {
            if (ld[k] == 0.0) {
                missed = std::abs(lo[k]) > b.half[k];
                continue;
            }
            double t0 = (-b.half[k] - lo[k]) / ld[k], t1 = (b.half[k] - lo[k]) / ld[k];
            if (t0 > t1) std::swap(t0, t1);
            if (t0 > enter) {
                enter = t0;
                axis = k;
            }
            leave = std::min(leave, t1);
        }
        if (missed || axis < 0 || enter > leave || !(enter > kNear) || enter >= hit.distance)
            continue;
        const Eigen::Vector3d q = lo + enter * ld;
        const int u = axis == 0 ? 2 : 0, v = axis == 1 ? 2 : 1;
        // Opposite faces get different texture positions.
        const double side = 7.0 * (axis + 1) * (q[axis] > 0 ? 1.0 : -1.0);
        hit = {enter, int(2 + i), {q[u] + side, q[v] - side}};
    }
    return hit.surface >= 0;
}

Eigen::Vector3f SyntheticScene::shade(const Hit& hit, const Texture& texture) const {
    const Surface& s = _surfaces[size_t(hit.surface)];
    const Eigen::Vector2d uv = hit.uv * s.frequency;
    const unsigned kind = hit.surface == 0   ? ChequerWall
                          : hit.surface == 1 ? ChequerFloor
                                             : ChequerBoxes;
    float g;
    if (texture.chequerSurfaces & kind) {
        const auto square = [&](double t) { return int64_t(std::floor(t / texture.chequerSize)); };
        g = float((square(hit.uv.x()) + square(hit.uv.y())) & 1);
    } else {
        const float detail = float(std::clamp(texture.detail, 0.0, 1.0));
        const float n = fractal(s.seed, uv.x(), uv.y(), 0.6f * detail);
        // A steep contrast curve turns the noise into blobs with crisp but smooth borders;
        // less detail softens it.
        g = 0.5f + 0.5f * std::tanh((1.0f + 5.0f * detail) * (n - 0.5f));
    }
    g = 0.5f + float(texture.contrast) * (g - 0.5f);
    const float hue = valueNoise(s.seed ^ 0xabcdefu, uv.x() * 0.3, uv.y() * 0.3);
    const Eigen::Vector3f tint =
        s.tint.cwiseProduct(Eigen::Vector3f(0.8f + 0.4f * hue, 1.0f, 1.2f - 0.4f * hue));
    return tint * (0.05f + 0.9f * g);
}

// ---- SyntheticStereo ----

SyntheticStereo::SyntheticStereo(Kx::Image::Node* node) : Iop(node), _scene(_parameters.seed) {
    set_node_inputs(0);
}

const char* SyntheticStereo::node_help() const {
    return "A stereo plate rendered from a procedural scene, with a chosen misalignment of the "
           "right camera and exact disparity, motion vectors and rig metadata.";
}

void SyntheticStereo::setParameters(const SyntheticStereoParameters& p) {
    if (p.seed != _parameters.seed) _scene = SyntheticScene(p.seed);
    _parameters = p;
    invalidate();
}

bool SyntheticStereo::showsRightCamera(const char* viewName) {
    return viewName && (std::strcmp(viewName, "right") == 0 || std::strcmp(viewName, "cam2") == 0);
}

Kx::Image::Channel SyntheticStereo::occlusionLeftChannel() {
    static const Kx::Image::Channel z = Kx::Image::getChannel("occlusion.left");
    return z;
}

Kx::Image::Channel SyntheticStereo::occlusionRightChannel() {
    static const Kx::Image::Channel z = Kx::Image::getChannel("occlusion.right");
    return z;
}

CameraDefinition SyntheticStereo::camera(int index, double frame) const {
    const SyntheticStereoParameters& p = _parameters;
    CameraDefinition c;
    c.setFormatWidth(p.width);
    c.setFormatHeight(p.height);
    c.setPixelAspect(p.pixelAspect);
    c.setFocalLength(p.focalLength);
    c.setSensorSize({p.sensorWidth, p.sensorWidth * p.height / (p.width * p.pixelAspect)});
    if (index == 0) {
        c.setName("left");
        c.setPosition({-0.5 * p.interaxial, 0.0, 0.0});
        return c;
    }
    c.setName("right");
    c.setPosition({0.5 * p.interaxial, p.cameraOffsetY.valueAt(frame), 0.0});
    c.setRotation({p.tilt.valueAt(frame), p.pan.valueAt(frame), p.roll.valueAt(frame)});
    c.setFocalLength(p.focalLength * p.focalRatio.valueAt(frame));
    // cy = H/2 - shift.y · pixelAspect · W/2 moves up by verticalShift pixels.
    c.setCentreShift({0.0, -2.0 * p.verticalShift.valueAt(frame) / (p.pixelAspect * p.width)});
    return c;
}

CameraRigDefinition SyntheticStereo::rig(double frame) const {
    CameraRigDefinition r;
    r.setNumberCameras(2);
    r.setCamera(0, camera(0, frame));
    r.setCamera(1, camera(1, frame));
    r.setAllLinked();
    r.setRigDiameter((r.getCamera(1).getPosition() - r.getCamera(0).getPosition()).norm());
    return r;
}

// The right camera as designed is the left one moved along the baseline.
CameraRigDefinition SyntheticStereo::nominalRig() const {
    CameraRigDefinition r = rig(_parameters.firstFrame);
    CameraDefinition right = r.getCamera(0);
    right.setName("right");
    right.setPosition({0.5 * _parameters.interaxial, 0.0, 0.0});
    r.setCamera(1, right);
    r.setRigDiameter(_parameters.interaxial);
    return r;
}

Eigen::Matrix4d SyntheticStereo::sceneToWorld(double frame) const {
    const double elapsed = frame - _parameters.firstFrame;
    Eigen::Matrix4d m = rotationY4(_parameters.panSpeed * elapsed * kRadians);
    m.topRightCorner<3, 1>() = _parameters.rigVelocity * elapsed;
    return m;
}

SyntheticStereo::Pinhole::Pinhole(const CameraDefinition& c, const Eigen::Matrix4d& toScene,
                                  const LensDistortion& l)
    : lens(l) {
    cameraToScene = toScene.topLeftCorner<3, 3>() * c.getWorldToCameraRotation().transpose();
    centre = (toScene * c.getPosition().homogeneous()).head<3>();
    const Eigen::Matrix3d k = c.getIntrinsics();
    fx = k(0, 0);
    fy = k(1, 1);
    cx = k(0, 2);
    cy = k(1, 2);
    width = c.getFormatWidth();
    height = c.getFormatHeight();
    halfDiagonal = 0.5 * std::hypot(width, height);
}

Eigen::Vector3d SyntheticStereo::Pinhole::ray(const Eigen::Vector2d& p) const {
    const Eigen::Vector2d d = p - Eigen::Vector2d(cx, cy);
    const Eigen::Vector2d u = d / lensDenominator(lens, d.norm() / halfDiagonal);
    return (cameraToScene * Eigen::Vector3d(u.x() / fx, u.y() / fy, -1.0)).normalized();
}

bool SyntheticStereo::Pinhole::project(const Eigen::Vector3d& point, Eigen::Vector2d& p) const {
    const Eigen::Vector3d c = cameraToScene.transpose() * (point - centre);
    if (!(c.z() < 0.0)) return false;
    const Eigen::Vector2d u(fx * c.x() / -c.z(), fy * c.y() / -c.z());
    const double ideal = u.norm() / halfDiagonal;
    double distorted;
    if (!distortedRadius(lens, ideal, distorted)) return false;
    p = Eigen::Vector2d(cx, cy) + (ideal > 0.0 ? u * (distorted / ideal) : u);
    return true;
}

bool SyntheticStereo::Pinhole::inside(const Eigen::Vector2d& p) const {
    return p.x() >= 0.0 && p.x() <= width && p.y() >= 0.0 && p.y() <= height;
}

bool SyntheticStereo::pointAt(const Pinhole& c, const Eigen::Vector2d& pixel,
                              Eigen::Vector3d& point) const {
    const Eigen::Vector3d d = c.ray(pixel);
    SyntheticScene::Hit hit;
    if (!_scene.trace(c.centre, d, hit)) return false;
    point = c.centre + hit.distance * d;
    return true;
}

bool SyntheticStereo::visibleFrom(const Pinhole& c, const Eigen::Vector3d& point) const {
    const Eigen::Vector3d v = point - c.centre;
    const double distance = v.norm();
    SyntheticScene::Hit hit;
    if (!_scene.trace(c.centre, v / distance, hit)) return false;
    // Nothing nearer than the point itself (relative tolerance for the rounding of the ray).
    return hit.distance > distance * (1.0 - 1e-9);
}

bool SyntheticStereo::correspondence(int from, int to, const Eigen::Vector2d& pixel, double frame,
                                     Eigen::Vector2d& match, bool& visible) const {
    const Eigen::Matrix4d toScene = sceneToWorld(frame).inverse();
    const Pinhole a(camera(from, frame), toScene, _parameters.lens[from]),
        b(camera(to, frame), toScene, _parameters.lens[to]);
    Eigen::Vector3d point;
    if (!pointAt(a, pixel, point) || !b.project(point, match)) return false;
    visible = b.inside(match) && visibleFrom(b, point);
    return true;
}

void SyntheticStereo::append(Kx::Image::Hash& h) {
    const SyntheticStereoParameters& p = _parameters;
    h.append(p.width);
    h.append(p.height);
    h.append(p.pixelAspect);
    h.append(p.seed);
    h.append(p.firstFrame);
    h.append(p.lastFrame);
    h.append(p.samples);
    h.append(p.focalLength);
    h.append(p.sensorWidth);
    h.append(p.interaxial);
    h.append(p.convergenceDepth);
    h.append(p.nominalMetadata);
    for (int i = 0; i < 3; ++i) h.append(p.rigVelocity[i]);
    h.append(p.panSpeed);
    for (const AnimatedValue* v :
         {&p.roll, &p.tilt, &p.pan, &p.focalRatio, &p.verticalShift, &p.cameraOffsetY})
        v->append(h);
    for (int c = 0; c < 2; ++c) {
        h.append(p.lens[c].k1);
        h.append(p.lens[c].k2);
        h.append(p.look[c].exposure);
        h.append(p.look[c].gamma);
        for (int k = 0; k < 3; ++k) h.append(p.look[c].cast[k]);
        h.append(p.look[c].noise);
    }
    h.append(p.chequerSurfaces);
    h.append(p.chequerSize);
    h.append(p.contrast);
    h.append(p.detail);
    h.append(p.quantise8);
    h.append(_viewCamera);
}

void SyntheticStereo::knobs(Kx::Image::Knob_Closure& f) {
    using namespace Kx::Image;
    intKnob(f, &_fields.width, "width", "Width", 1024, Range{16, 8192}, "Image width in pixels");
    intKnob(f, &_fields.height, "height", "Height", 768, Range{16, 8192}, "Image height in pixels");
    intKnob(f, &_fields.seed, "seed", "Seed", 1, std::nullopt, "Chooses the scene and its texture");
    intKnob(f, &_fields.firstFrame, "firstFrame", "First Frame", 1);
    intKnob(f, &_fields.lastFrame, "lastFrame", "Last Frame", 100);
    intKnob(f, &_fields.samples, "samples", "Samples", 2, Range{1, 8},
            "Colour samples per pixel along each axis");
    floatKnob(f, &_fields.focalLength, "focalLength", "Focal Length", 35, Range{5, 300},
              "Focal length of the left camera in millimetres (36 mm film width)");
    floatKnob(f, &_fields.interaxial, "interaxial", "Interaxial", 0.1, Range{0, 1},
              "Distance between the two cameras, in scene units");
    floatKnob(f, &_fields.convergenceDepth, "convergenceDepth", "Convergence", 8, Range{0.1, 100},
              "Convergence depth published in the rig metadata");
    boolKnob(f, &_fields.nominalMetadata, "nominalMetadata", "Nominal Metadata", false,
             "Publish the rig as designed, without the right camera's misalignment");
    dividerKnob(f, "Right camera misalignment");
    floatKnob(f, &_fields.roll, "roll", "Roll", 0, Range{-10, 10}, "Degrees, anticlockwise");
    floatKnob(f, &_fields.tilt, "tilt", "Tilt", 0, Range{-10, 10}, "Degrees, upwards");
    floatKnob(f, &_fields.pan, "pan", "Pan", 0, Range{-10, 10}, "Degrees, to the left");
    floatKnob(f, &_fields.focalRatio, "focalRatio", "Focal Ratio", 1, Range{0.8, 1.2},
              "Right focal length over left focal length");
    floatKnob(f, &_fields.verticalShift, "verticalShift", "Vertical Shift", 0, Range{-50, 50},
              "Shift of the right image upwards, in pixels");
    floatKnob(f, &_fields.cameraOffsetY, "cameraOffsetY", "Camera Offset Y", 0, Range{-0.1, 0.1},
              "Vertical displacement of the right camera, in scene units");
    dividerKnob(f, "Hard plate");
    boolKnob(f, &_fields.chequerWall, "chequerWall", "Chequer on the wall", false);
    boolKnob(f, &_fields.chequerFloor, "chequerFloor", "Chequer on the floor", false,
             "A chequerboard over about the lower third of the frame");
    boolKnob(f, &_fields.chequerBoxes, "chequerBoxes", "Chequer on the boxes", false);
    floatKnob(f, &_fields.chequerSize, "chequerSize", "Chequer Size", 0.25, Range{0.01, 2},
              "Side of a chequer square, in scene units");
    floatKnob(f, &_fields.contrast, "contrast", "Contrast", 1, Range{0, 1},
              "Swing of the texture around its middle grey");
    floatKnob(f, &_fields.detail, "detail", "Detail", 1, Range{0, 1},
              "Fine structure of the texture: 0 keeps only soft, coarse blobs");
    const char* const side[2] = {"left", "right"};
    const char* const sideLabel[2] = {"Left", "Right"};
    for (int c = 0; c < 2; ++c) {
        const std::string n = side[c], l = sideLabel[c];
        floatKnob(f, &_fields.k1[c], (n + "K1").c_str(), (l + " k1").c_str(), 0, Range{-0.5, 0.5},
                  "Radial lens distortion at the half diagonal (negative: barrel)");
        floatKnob(f, &_fields.k2[c], (n + "K2").c_str(), (l + " k2").c_str(), 0, Range{-0.5, 0.5},
                  "Radial lens distortion of the fourth order");
        floatKnob(f, &_fields.exposure[c], (n + "Exposure").c_str(), (l + " Exposure").c_str(), 0,
                  Range{-3, 3}, "Exposure of the view, in stops");
        floatKnob(f, &_fields.gamma[c], (n + "Gamma").c_str(), (l + " Gamma").c_str(), 1,
                  Range{0.2, 5}, "The view's values are raised to 1 / gamma");
        xyzKnob(f, _fields.cast[c], (n + "Cast").c_str(), (l + " Colour Cast").c_str(), {1, 1, 1},
                "Gain of red, green and blue of the view");
        floatKnob(f, &_fields.noise[c], (n + "Noise").c_str(), (l + " Noise").c_str(), 0,
                  Range{0, 0.2}, "Standard deviation of the view's grain");
    }
    boolKnob(f, &_fields.quantise8, "quantise8", "8-bit", false,
             "Round the colour to the levels of an 8-bit file (display gamma 2.2)");
}

void SyntheticStereo::parametersFromKnobs() {
    using namespace Kx::Image;
    if (!node() || !knob("width")) return;
    SyntheticStereoParameters p = _parameters;
    p.width = _fields.width;
    p.height = _fields.height;
    p.seed = uint32_t(_fields.seed);
    p.firstFrame = _fields.firstFrame;
    p.lastFrame = _fields.lastFrame;
    p.samples = _fields.samples;
    p.focalLength = _fields.focalLength;
    p.interaxial = _fields.interaxial;
    p.convergenceDepth = _fields.convergenceDepth;
    p.nominalMetadata = _fields.nominalMetadata;
    for (int c = 0; c < 2; ++c) {
        p.lens[c] = {_fields.k1[c], _fields.k2[c]};
        p.look[c].exposure = _fields.exposure[c];
        p.look[c].gamma = _fields.gamma[c];
        p.look[c].cast = Eigen::Vector3f(_fields.cast[c][0], _fields.cast[c][1], _fields.cast[c][2])
                             .cast<double>();
        p.look[c].noise = _fields.noise[c];
    }
    p.chequerSurfaces = (_fields.chequerWall ? ChequerWall : 0u) |
                        (_fields.chequerFloor ? ChequerFloor : 0u) |
                        (_fields.chequerBoxes ? ChequerBoxes : 0u);
    p.chequerSize = _fields.chequerSize;
    p.contrast = _fields.contrast;
    p.detail = _fields.detail;
    p.quantise8 = _fields.quantise8;
    const double t = frame();
    const std::pair<const char*, AnimatedValue*> animated[] = {{"roll", &p.roll},
                                                               {"tilt", &p.tilt},
                                                               {"pan", &p.pan},
                                                               {"focalRatio", &p.focalRatio},
                                                               {"verticalShift", &p.verticalShift},
                                                               {"cameraOffsetY", &p.cameraOffsetY}};
    for (auto [name, value] : animated) {
        const Knob* k = knob(name);
        *value = AnimatedValue(k->value(0, 0, t));
        if (k->isAnimated())
            for (double at : {t - 1, t, t + 1}) value->setKey(at, k->value(0, 0, at));
    }
    if (p.seed != _parameters.seed) _scene = SyntheticScene(p.seed);
    _parameters = p;
}

void SyntheticStereo::_validate(bool) {
    using namespace Kx::Image;
    parametersFromKnobs();
    const SyntheticStereoParameters& p = _parameters;
    _viewCamera = showsRightCamera(OutputContext::viewname(view())) ? 1 : 0;
    clear_info();
    if (p.width <= 0 || p.height <= 0) {
        error("SyntheticStereo: width and height must be positive, not %d x %d", p.width, p.height);
        return;
    }
    if (!(p.pixelAspect > 0.0) || !(p.focalLength > 0.0) || !(p.sensorWidth > 0.0)) {
        error("SyntheticStereo: pixel aspect, focal length and sensor width must be positive");
        return;
    }
    if (p.samples < 1 || p.samples > 8) {
        error("SyntheticStereo: samples must be 1 to 8, not %d", p.samples);
        return;
    }
    if (p.lastFrame < p.firstFrame) {
        error("SyntheticStereo: the last frame (%d) comes before the first (%d)", p.lastFrame,
              p.firstFrame);
        return;
    }
    if (const std::string why = hardPlateError(); !why.empty()) {
        error("SyntheticStereo: %s", why.c_str());
        return;
    }
    const double f = frame();
    for (int k = 0; k < 3; ++k) {
        if (!(p.focalRatio.valueAt(f + k - 1) > 0.0)) {
            error("SyntheticStereo: focalRatio must be positive, not %g at frame %g",
                  p.focalRatio.valueAt(f + k - 1), f + k - 1);
            return;
        }
        const Eigen::Matrix4d toScene = sceneToWorld(f + k - 1).inverse();
        for (int c = 0; c < 2; ++c)
            _cameras[c][k] = Pinhole(camera(c, f + k - 1), toScene, p.lens[c]);
    }
    info().format = Format(p.width, p.height, p.pixelAspect, "SyntheticStereo");
    info().full_size_format = info().format;
    info().box = Box(0, 0, p.width, p.height);
    ChannelSet channels = Mask_RGBA + Mask_Motion + Mask_Disparity;
    channels += occlusionLeftChannel();
    channels += occlusionRightChannel();
    info().channels = channels;
    info().first_frame = p.firstFrame;
    info().last_frame = p.lastFrame;
}

std::string SyntheticStereo::hardPlateError() const {
    const SyntheticStereoParameters& p = _parameters;
    const char* const side[2] = {"left", "right"};
    char text[256];
    for (int c = 0; c < 2; ++c) {
        const ViewLook& l = p.look[c];
        // The farthest corner from the principal point must lie where the lens maps one to
        // one; the right camera's centre shift moves its principal point.
        const CameraDefinition cam = camera(c, p.firstFrame);
        const Eigen::Matrix3d k = cam.getIntrinsics();
        const double corner = std::hypot(std::max(k(0, 2), p.width - k(0, 2)),
                                         std::max(k(1, 2), p.height - k(1, 2))) /
                              (0.5 * std::hypot(double(p.width), double(p.height)));
        if (!(lensReach(p.lens[c]) > corner)) {
            std::snprintf(text, sizeof text,
                          "the lens distortion of the %s camera (%sK1 %g, %sK2 %g) folds the image "
                          "over inside the frame; make it weaker",
                          side[c], side[c], p.lens[c].k1, side[c], p.lens[c].k2);
            return text;
        }
        if (!(l.gamma > 0.0) || !(l.noise >= 0.0) || !std::isfinite(l.exposure) ||
            !(l.cast.minCoeff() >= 0.0)) {
            std::snprintf(text, sizeof text,
                          "%sGamma must be positive, %sNoise and %sCast not negative (now %g, %g, "
                          "%g %g %g)",
                          side[c], side[c], side[c], l.gamma, l.noise, l.cast[0], l.cast[1],
                          l.cast[2]);
            return text;
        }
    }
    if (!(p.chequerSize > 0.0)) {
        std::snprintf(text, sizeof text, "chequerSize must be positive, not %g", p.chequerSize);
        return text;
    }
    if (!(p.contrast >= 0.0 && p.contrast <= 1.0) || !(p.detail >= 0.0 && p.detail <= 1.0)) {
        std::snprintf(text, sizeof text, "contrast and detail must be 0 to 1, not %g and %g",
                      p.contrast, p.detail);
        return text;
    }
    return {};
}

void SyntheticStereo::disparityRow(int from, int y, int x, int r, float* dx, float* dy,
                                   float* hidden) const {
    const Pinhole& a = _cameras[from][1];
    const Pinhole& b = _cameras[1 - from][1];
    for (int i = x; i < r; ++i) {
        const Eigen::Vector2d p(i + 0.5, y + 0.5);
        Eigen::Vector3d point;
        Eigen::Vector2d q;
        if (!pointAt(a, p, point) || !b.project(point, q)) {
            dx[i] = dy[i] = 0.0f;
            hidden[i] = 1.0f;
            continue;
        }
        dx[i] = float(q.x() - p.x());
        dy[i] = float(q.y() - p.y());
        hidden[i] = b.inside(q) && visibleFrom(b, point) ? 0.0f : 1.0f;
    }
}

Eigen::Vector3f SyntheticStereo::look(int camera, const Eigen::Vector3f& colour, int i,
                                      int y) const {
    const ViewLook& l = _parameters.look[camera];
    Eigen::Vector3f c = colour.cwiseProduct(l.cast.cast<float>()) * float(std::exp2(l.exposure));
    const uint32_t pixel =
        mix(_parameters.seed ^ mix(uint32_t(camera) + 0x2545f491u * uint32_t(std::lround(frame())) +
                                   mix(uint32_t(i) ^ mix(uint32_t(y) + 0x68e31da4u))));
    for (int k = 0; k < 3; ++k) {
        float v = std::pow(std::max(c[k], 0.0f), float(1.0 / l.gamma));
        if (l.noise > 0.0) v += float(l.noise) * normalNoise(pixel + uint32_t(k) * 0x1b873593u);
        if (_parameters.quantise8) {
            constexpr float kDisplay = 2.2f;
            const float code =
                std::round(255.0f * std::pow(std::clamp(v, 0.0f, 1.0f), 1.0f / kDisplay));
            v = std::pow(code / 255.0f, kDisplay);
        }
        c[k] = v;
    }
    return c;
}

void SyntheticStereo::engine(int y, int x, int r, Kx::Image::ChannelSet channels,
                             Kx::Image::Row& row) {
    using namespace Kx::Image;
    if (aborted()) return;
    const Pinhole& own = _cameras[_viewCamera][1];

    if (channels.intersects(Mask_RGBA)) {
        float* out[4] = {row.writable(Chan_Red), row.writable(Chan_Green), row.writable(Chan_Blue),
                         row.writable(Chan_Alpha)};
        const int n = _parameters.samples;
        const SyntheticScene::Texture texture{_parameters.chequerSurfaces, _parameters.chequerSize,
                                              _parameters.contrast, _parameters.detail};
        for (int i = x; i < r; ++i) {
            Eigen::Vector3f sum = Eigen::Vector3f::Zero();
            for (int b = 0; b < n; ++b)
                for (int a = 0; a < n; ++a) {
                    const Eigen::Vector2d p(i + (a + 0.5) / n, y + (b + 0.5) / n);
                    SyntheticScene::Hit hit;
                    if (_scene.trace(own.centre, own.ray(p), hit))
                        sum += _scene.shade(hit, texture);
                }
            sum = look(_viewCamera, sum / float(n * n), i, y);
            out[0][i] = sum.x();
            out[1][i] = sum.y();
            out[2][i] = sum.z();
            out[3][i] = 1.0f;
        }
    }

    if (channels.intersects(Mask_Motion)) {
        float* fu = row.writable(Chan_Forward_U);
        float* fv = row.writable(Chan_Forward_V);
        float* bu = row.writable(Chan_Backward_U);
        float* bv = row.writable(Chan_Backward_V);
        for (int i = x; i < r; ++i) {
            const Eigen::Vector2d p(i + 0.5, y + 0.5);
            Eigen::Vector3d point;
            fu[i] = fv[i] = bu[i] = bv[i] = 0.0f;
            if (!pointAt(own, p, point)) continue;
            Eigen::Vector2d q;
            if (_cameras[_viewCamera][2].project(point, q)) {
                fu[i] = float(q.x() - p.x());
                fv[i] = float(q.y() - p.y());
            }
            if (_cameras[_viewCamera][0].project(point, q)) {
                bu[i] = float(q.x() - p.x());
                bv[i] = float(q.y() - p.y());
            }
        }
    }

    const ChannelSet leftPair{Chan_DisparityL_X, Chan_DisparityL_Y, occlusionLeftChannel()};
    if (channels.intersects(leftPair))
        disparityRow(0, y, x, r, row.writable(Chan_DisparityL_X), row.writable(Chan_DisparityL_Y),
                     row.writable(occlusionLeftChannel()));
    const ChannelSet rightPair{Chan_DisparityR_X, Chan_DisparityR_Y, occlusionRightChannel()};
    if (channels.intersects(rightPair))
        disparityRow(1, y, x, r, row.writable(Chan_DisparityR_X), row.writable(Chan_DisparityR_Y),
                     row.writable(occlusionRightChannel()));
}

void SyntheticStereo::_fetchMetaData(const char*) {
    Marrow::Research::MetaDataHandler handler;
    handler.setRig(_parameters.nominalMetadata ? nominalRig() : rig(frame()));
    handler.setRigConvergence(_parameters.convergenceDepth);
    _meta = handler.getMetaDataBundle();
}

void barrelDistortion(SyntheticStereoParameters& p) {
    p.lens[0].k1 = p.lens[1].k1 = -0.25;
}

void chequerboardFloor(SyntheticStereoParameters& p) {
    p.chequerSurfaces = ChequerFloor;
}

void lowTexture(SyntheticStereoParameters& p) {
    p.contrast = 0.4;
    p.detail = 0.5;
}

void unevenViews(SyntheticStereoParameters& p) {
    p.look[1].exposure = 0.7;
    p.look[1].gamma = 1.3;
    p.look[1].cast = {1.1, 1.0, 0.85};
    p.look[0].noise = p.look[1].noise = 0.01;
}

void everythingHard(SyntheticStereoParameters& p) {
    barrelDistortion(p);
    chequerboardFloor(p);
    lowTexture(p);
    unevenViews(p);
    p.quantise8 = true;
}

void setHardPlateKnobs(Kx::Image::Node& node, const SyntheticStereoParameters& p) {
    const auto set = [&](const std::string& name, double value, int component = -1) {
        node.knob(name)->setValue(value, component);
    };
    const char* const side[2] = {"left", "right"};
    for (int c = 0; c < 2; ++c) {
        const std::string n = side[c];
        set(n + "K1", p.lens[c].k1);
        set(n + "K2", p.lens[c].k2);
        set(n + "Exposure", p.look[c].exposure);
        set(n + "Gamma", p.look[c].gamma);
        for (int k = 0; k < 3; ++k) set(n + "Cast", p.look[c].cast[k], k);
        set(n + "Noise", p.look[c].noise);
    }
    set("chequerWall", (p.chequerSurfaces & ChequerWall) ? 1 : 0);
    set("chequerFloor", (p.chequerSurfaces & ChequerFloor) ? 1 : 0);
    set("chequerBoxes", (p.chequerSurfaces & ChequerBoxes) ? 1 : 0);
    set("chequerSize", p.chequerSize);
    set("contrast", p.contrast);
    set("detail", p.detail);
    set("quantise8", p.quantise8 ? 1 : 0);
}

namespace {

Kx::Image::Op* build(Kx::Image::Node* node) {
    return new SyntheticStereo(node);
}

const Kx::Image::Op::Description description("SyntheticStereo", build);

} // namespace

} // namespace Kestrel::Nodes
