// Camera: knobs, the per-frame samples and the exported table.
#include "nodes/Camera.h"

#include <Kx/Image/Hash.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Node.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>

namespace Kestrel::Nodes {

using namespace Kx::Image;

const char* Camera::node_help() const {
    return "A camera: lens, film back, position and orientation, each animatable and "
           "splittable per view. Join one camera per view with JoinViews to make a rig.";
}

bool Camera::test_input(int, Op* op) const {
    return op == nullptr || dynamic_cast<Camera*>(op);
}

const char* Camera::input_label(int, char*) const {
    return "parent";
}

void Camera::knobs(Knob_Closure& f) {
    floatKnob(f, &focal, kFocal, "focal length", 50.0, Range{5, 200}, "focal length in mm");
    floatKnob(f, &haperture, kHAperture, "horiz aperture", 24.576, Range{0.1, 50},
              "film back width in mm");
    floatKnob(f, &vaperture, kVAperture, "vert aperture", 18.672, Range{0.1, 50},
              "film back height in mm");
    xyzKnob(f, translate, kTranslate, "translate", {0, 0, 0}, "position of the camera");
    xyzKnob(f, rotate, kRotate, "rotate", {0, 0, 0},
            "Euler angles in degrees, applied as Y, then X, then Z (roll)");
    xyKnob(f, winTranslate, kWinTranslate, "window translate", {0, 0},
           "film window shift in units of half the aperture");
    xyKnob(f, winScale, kWinScale, "window scale", {1, 1}, "film window scale");
    floatKnob(f, &skew, kSkew, "skew", 0.0, Range{-1, 1}, "film window shear");
    if (Knob* k = intKnob(f, &glColor, kGlColor, "3D colour", 0, std::nullopt,
                          "colour of the camera in 3-D views, 0xRRGGBBAA"))
        k->set_flag(KnobFlag::NoAnimation | KnobFlag::NoViewSplit | KnobFlag::NoRerender);
    if (Knob* k = intKnob(f, &tileColor, kTileColor, "tile colour", 0, std::nullopt,
                          "colour of the node's tile, 0xRRGGBBAA"))
        k->set_flag(KnobFlag::NoAnimation | KnobFlag::NoViewSplit | KnobFlag::NoRerender);
}

void Camera::append(Hash& h) {
    h.append(double(focal));
    h.append(double(haperture));
    h.append(double(vaperture));
    for (float v : translate) h.append(double(v));
    for (float v : rotate) h.append(double(v));
    for (float v : winTranslate) h.append(double(v));
    for (float v : winScale) h.append(double(v));
    h.append(double(skew));
}

namespace {

double knobValue(const Node& node, const char* knob, int component, int view, double frame) {
    const Knob* k = node.knob(knob);
    return k ? k->value(component, view, frame) : 0.0;
}

double fieldOfView(double aperture, double focal) {
    if (focal <= 0) return 0;
    return 2.0 * std::atan(aperture / (2.0 * focal)) * 180.0 / std::numbers::pi;
}

} // namespace

CameraSample sampleCamera(const Node& camera, double frame, int view) {
    CameraSample s{};
    s.frame = frame;
    for (int c = 0; c < 3; ++c) {
        s.translate[c] = knobValue(camera, Camera::kTranslate, c, view, frame);
        s.rotate[c] = knobValue(camera, Camera::kRotate, c, view, frame);
    }
    const double focal = knobValue(camera, Camera::kFocal, 0, view, frame);
    s.horizontalFov = fieldOfView(knobValue(camera, Camera::kHAperture, 0, view, frame), focal);
    s.verticalFov = fieldOfView(knobValue(camera, Camera::kVAperture, 0, view, frame), focal);
    return s;
}

bool exportCameraTable(const Node& camera, const std::string& path,
                       const std::vector<double>& frames, int view, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (std::string(camera.Class()) != Camera::kClass)
        return fail(camera.name() + " is a " + camera.Class() + ", not a Camera: export a Camera");
    if (view < 0 || view >= OutputContext::viewcount())
        return fail(camera.name() + ": view " + std::to_string(view) + " is not a view");
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path temporary =
        target.parent_path() / ("." + target.filename().string() + ".kestrel-tmp");
    {
        std::ofstream out(temporary);
        if (!out)
            return fail("cannot write the camera table " + path +
                        ": check that its folder exists and is writable");
        out << "# frame tx ty tz rx ry rz hfov vfov\n";
        char line[512];
        for (double f : frames) {
            CameraSample s = sampleCamera(camera, f, view);
            std::snprintf(line, sizeof line,
                          "%.10g %.10g %.10g %.10g %.10g %.10g %.10g %.10g %.10g\n", s.frame,
                          s.translate[0], s.translate[1], s.translate[2], s.rotate[0], s.rotate[1],
                          s.rotate[2], s.horizontalFov, s.verticalFov);
            out << line;
        }
        out.flush();
        if (!out) {
            out.close();
            std::error_code ec;
            fs::remove(temporary, ec);
            return fail("writing the camera table " + path + " failed: check the free space");
        }
    }
    std::error_code ec;
    fs::rename(temporary, target, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return fail("cannot put the camera table in place at " + path + ": " + ec.message());
    }
    return true;
}

namespace {
Op* build(Node* node) {
    return new Camera(node);
}
const Op::Description description(Camera::kClass, build);
} // namespace

} // namespace Kestrel::Nodes
