#include "Align.h"

#include "DisparityStage.h"
#include "Progress.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/ImageData.h>
#include <Kestrel/IO/ImageReader.h>
#include <Kestrel/IO/ImageWriter.h>
#include <Kestrel/IO/PathPattern.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Executable.h>
#include <Kx/Image/Filter.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/KnobChange.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Script.h>
#include <Kx/Image/Undo.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;
using namespace Kx::Image;

namespace Kestrel {

namespace {

constexpr const char* kAligner = "Q_VerticalAligner2_1";
constexpr int kMinMatches = 12;

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

const std::vector<std::string> kPresets = {"Custom", "Transform", "Match Camera", "Keystone Only",
                                           "Full"};
const std::vector<std::string> kSpaces = {"Spherical", "Rectilinear"};

int indexOf(const std::vector<std::string>& items, const std::string& name, const char* option) {
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i] == name) return int(i);
    std::string list;
    for (auto& i : items) list += (list.empty() ? "\"" : ", \"") + i + "\"";
    fail(std::string("unknown ") + option + " \"" + name + "\": use one of " + list);
}

// The frames a file pattern has on disk, ascending.
std::vector<int> framesOnDisk(const std::string& path) {
    IO::PathPattern pattern(path);
    if (!pattern.hasFrame()) {
        if (!fs::exists(path)) fail("no such file: " + path + " (check the path)");
        return {1};
    }
    const fs::path p(path);
    const fs::path folder = p.has_parent_path() ? p.parent_path() : fs::path(".");
    // The file name with the frame token as a capture; %V and %v match any text.
    std::string name = p.filename().string(), expression;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '#') {
            size_t n = 0;
            while (i < name.size() && name[i] == '#') ++i, ++n;
            --i;
            expression += "(-?\\d{" + std::to_string(n) + ",})";
        } else if (c == '%' && i + 1 < name.size()) {
            size_t j = i + 1;
            while (j < name.size() && std::isdigit(static_cast<unsigned char>(name[j]))) ++j;
            if (j < name.size() && name[j] == 'd') {
                expression += "(-?\\d+)";
                i = j;
            } else if (name[i + 1] == 'V' || name[i + 1] == 'v') {
                expression += ".+";
                ++i;
            } else {
                expression += "%";
            }
        } else if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            expression += std::string("\\") + c;
        } else {
            expression += c;
        }
    }
    const std::regex re(expression);
    std::vector<int> frames;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        std::smatch m;
        const std::string file = entry.path().filename().string();
        if (std::regex_match(file, m, re) && m.size() > 1) frames.push_back(std::stoi(m[1]));
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    if (frames.empty())
        fail("no frames of " + path + " in " + folder.string() + " (check the path)");
    return frames;
}

Knob& knob(Node& node, const char* name) {
    Knob* k = node.knob(name);
    if (!k) fail("node " + node.name() + " has no knob \"" + name + "\"");
    return *k;
}

void press(Node& node, const char* button) {
    KnobChange::notify(knob(node, button));
}

// The stored matches of a node, per frame: each track's left and right positions.
struct Pair {
    double xl, yl, xr, yr;
};
std::map<int, std::vector<Pair>> storedMatches(Node& aligner) {
    std::istringstream in(knob(aligner, "controlPoints").scriptText(false));
    std::map<int, std::vector<Pair>> out;
    std::string word;
    unsigned version = 0;
    long long frames = 0;
    in >> word >> version >> word >> frames;
    for (long long f = 0; f < frames; ++f) {
        int frame = 0;
        long long tracks = 0;
        in >> word >> frame >> word >> tracks;
        auto& pairs = out[frame];
        for (long long t = 0; t < tracks; ++t) {
            long long n = 0;
            in >> n;
            Pair p{};
            bool left = false, right = false;
            for (long long k = 0; k < n; ++k) {
                long long camera = 0;
                double x = 0, y = 0;
                in >> camera >> x >> y;
                if (camera == 0 && !left) p.xl = x, p.yl = y, left = true;
                if (camera == 1 && !right) p.xr = x, p.yr = y, right = true;
            }
            if (version == 2) {
                double skip;
                for (int k = 0; k < 8; ++k) in >> skip;
            }
            if (left && right) pairs.push_back(p);
        }
    }
    return out;
}

struct Stats {
    size_t count = 0;
    double mean = 0, rms = 0, max = 0;
};
Stats verticalDisparity(const std::vector<Pair>& pairs) {
    Stats s;
    s.count = pairs.size();
    if (pairs.empty()) return s;
    double sum = 0, sq = 0;
    for (const Pair& p : pairs) {
        const double d = p.yr - p.yl;
        sum += d;
        sq += d * d;
        s.max = std::max(s.max, std::abs(d));
    }
    s.mean = sum / double(pairs.size());
    s.rms = std::sqrt(sq / double(pairs.size()));
    return s;
}

nlohmann::json toJson(const Stats& s) {
    return {{"matches", s.count}, {"mean", s.mean}, {"rms", s.rms}, {"max", s.max}};
}

// Runs a node's frame work over frames with progress; a failure is the job's.
void executeNode(Node& node, const std::vector<double>& frames, const std::string& task) {
    Progress progress(task, int(frames.size()));
    const ExecuteResult r =
        execute(*node.firstOp(), frames, [&](int done, int) { progress.update(done); });
    progress.finish(r.ok ? "done" : r.interrupted ? "interrupted" : "failed");
    if (r.interrupted) fail("interrupted: " + task + " stopped");
    if (!r.ok) fail(r.error);
}

// A red/cyan anaglyph of the left and right views of an op at a frame, scaled to width w.
IO::ViewPixels anaglyph(Node& node, double frame, int leftView, int rightView, int w) {
    Iop* views[2] = {node.iop(OutputContext(frame, leftView)),
                     node.iop(OutputContext(frame, rightView))};
    views[0]->validate(true);
    const Format format = views[0]->format();
    const int h = std::max(1, int(std::lround(double(w) * format.height() / format.width())));
    IO::ViewPixels out(Format(w, h), Box(0, 0, w, h), Mask_RGBA);
    for (int v = 0; v < 2; ++v) {
        Iop& op = *views[v];
        op.validate(true);
        op.request(0, 0, format.width(), format.height(), Mask_RGB);
        Row row(0, format.width());
        for (int y = 0; y < h; ++y) {
            const int sy = std::min(format.height() - 1, int((y + 0.5) * format.height() / h));
            op.get(sy, 0, format.width(), Mask_RGB, row);
            for (int x = 0; x < w; ++x) {
                const int sx = std::min(format.width() - 1, int((x + 0.5) * format.width() / w));
                const float grey = 0.3f * row[Chan_Red][sx] + 0.59f * row[Chan_Green][sx] +
                                   0.11f * row[Chan_Blue][sx];
                if (v == 0) {
                    out.row(Chan_Red, y)[x] = grey;
                } else {
                    out.row(Chan_Green, y)[x] = grey;
                    out.row(Chan_Blue, y)[x] = grey;
                }
                out.row(Chan_Alpha, y)[x] = 1.0f;
            }
        }
    }
    return out;
}

void writeContactSheet(const std::string& path, Node& before, Node& after, double frame,
                       int leftView, int rightView) {
    constexpr int kPanel = 640, kGap = 8;
    const IO::ViewPixels a = anaglyph(before, frame, leftView, rightView, kPanel);
    const IO::ViewPixels b = anaglyph(after, frame, leftView, rightView, kPanel);
    const int h = a.box().h(), w = 2 * kPanel + kGap;
    IO::ViewPixels sheet(Format(w, h), Box(0, 0, w, h), Mask_RGBA);
    for (int y = 0; y < h; ++y)
        for (Channel z : Mask_RGBA) {
            float* out = sheet.row(z, y);
            std::fill(out, out + w, z == Chan_Alpha ? 1.0f : 0.15f);
            std::copy(a.row(z, y), a.row(z, y) + kPanel, out);
            std::copy(b.row(z, y), b.row(z, y) + kPanel, out + kPanel + kGap);
        }
    IO::ImageData image;
    image.addView("", std::move(sheet));
    IO::writeImage(path, image);
}

} // namespace

void runAlign(const AlignOptions& o, std::ostream& out) {
    const auto start = std::chrono::steady_clock::now();
    if (o.output.empty()) fail("no output: give one with -o, such as -o aligned.%04d.exr");
    if (!o.demo && o.left.empty())
        fail("no plate: give a multi-view file, a left and a right file, or --demo");
    if (o.keyStep < 1) fail("--key-step must be 1 or more, not " + std::to_string(o.keyStep));
    const int preset = indexOf(kPresets, o.preset, "preset");
    const int space = indexOf(kSpaces, o.space, "space");
    int filter = -1;
    for (int t = 0; t < Filter::count(); ++t)
        if (o.filter == Filter::name(t)) filter = t;
    if (filter < 0) indexOf(Filter::names(), o.filter, "filter");

    // Frames and views of the plate.
    std::vector<int> frames;
    std::vector<std::string> views = {"left", "right"};
    std::string leftName = "left", rightName = "right";
    if (o.demo) {
        frames = {1, 2, 3, 4, 5};
    } else {
        frames = framesOnDisk(o.left);
        if (!o.right.empty()) {
            const std::vector<int> right = framesOnDisk(o.right);
            std::vector<int> both;
            std::set_intersection(frames.begin(), frames.end(), right.begin(), right.end(),
                                  std::back_inserter(both));
            if (both.empty()) fail("the left and right plates share no frame numbers");
            frames = both;
        } else {
            const std::string first = IO::PathPattern(o.left).expand(frames.front());
            const IO::ImageData header = IO::readImage(first);
            views = header.viewNames();
            if (views.size() < 2)
                fail(first + " holds one view: give the right view as a second file "
                             "(kestrel align LEFT RIGHT -o ...) or a multi-view OpenEXR");
            leftName = views[0];
            rightName = views[1];
            if (std::find(views.begin(), views.end(), "left") != views.end() &&
                std::find(views.begin(), views.end(), "right") != views.end())
                leftName = "left", rightName = "right";
        }
    }
    if (!o.views.empty()) {
        const auto comma = o.views.find(',');
        if (comma == std::string::npos) fail("--views takes two names, such as --views left,right");
        leftName = o.views.substr(0, comma);
        rightName = o.views.substr(comma + 1);
        for (const std::string& v : {leftName, rightName})
            if (std::find(views.begin(), views.end(), v) == views.end())
                fail("the plate has no view \"" + v + "\"; its views are " + [&] {
                    std::string s;
                    for (auto& n : views) s += (s.empty() ? "" : ", ") + n;
                    return s;
                }());
    }
    if (!o.frames.empty()) {
        const std::vector<int> wanted = IO::parseFrameList(o.frames);
        std::vector<int> both;
        for (int f : wanted)
            if (std::binary_search(frames.begin(), frames.end(), f)) both.push_back(f);
        if (both.empty()) fail("none of the frames " + o.frames + " is in the plate");
        frames = both;
    }
    OutputContext::setViews(views);
    const int leftView = OutputContext::lookup_view(leftName);
    const int rightView = OutputContext::lookup_view(rightName);

    // The graph.
    Undo::Suspend noUndo;
    Graph graph;
    graph.firstFrame = frames.front();
    graph.lastFrame = frames.back();
    Node* plate = nullptr;
    auto read = [&](const std::string& file, const std::string& name) {
        Node* r = graph.add(std::make_unique<Node>("Read", name));
        knob(*r, "file").setText(fs::absolute(file).string());
        knob(*r, "first").setValue(frames.front());
        knob(*r, "last").setValue(frames.back());
        return r;
    };
    if (o.demo) {
        plate = graph.add(std::make_unique<Node>("SyntheticStereo", "Plate"));
        for (auto [name, value] : {std::pair{"width", 1280.0},
                                   {"height", 720.0},
                                   {"lastFrame", 5.0},
                                   {"verticalShift", 6.0},
                                   {"roll", 0.6},
                                   {"focalRatio", 1.015},
                                   {"tilt", 0.25}})
            knob(*plate, name).setValue(value);
    } else if (o.right.empty()) {
        plate = read(o.left, "Plate");
    } else {
        Node* l = read(o.left, "PlateLeft");
        Node* r = read(o.right, "PlateRight");
        plate = graph.add(std::make_unique<Node>("JoinViews", "Plate"));
        plate->setInput(0, l);
        plate->setInput(1, r);
    }
    plate = addDisparityStage(graph, plate, o, leftView, rightView, frames.front());
    // The aligner writes its STMap into the two channels when the stream carries them.
    if (o.stmap) {
        Node* channels = graph.add(std::make_unique<Node>("AddChannels", "STMapChannels"));
        channels->setInput(0, plate);
        knob(*channels, "channels").setText("stitch_map.u stitch_map.v");
        plate = channels;
    }
    Node& aligner = *graph.add(std::make_unique<Node>(kAligner, "VerticalAligner1"));
    aligner.setInput(0, plate);
    aligner.setPanelOpen(true);
    knob(aligner, "leftView").setValue(leftView);
    knob(aligner, "rightView").setValue(rightView);
    knob(aligner, "layoutType").setValue(1);
    knob(aligner, "alignmentSpace").setValue(space);
    knob(aligner, "alignmentType").setValue(preset);
    knob(aligner, "filter").setValue(filter);
    knob(aligner, "localAlignment").setValue(o.local);
    knob(aligner, "keyStep").setValue(o.keyStep);
    aligner.setContext(OutputContext(frames.front(), leftView));
    press(aligner, "addAllKeys");
    // Key All leaves the last frame out; a plate of one frame, or a step past the end,
    // still gets its first frame keyed.
    if (knob(aligner, "analysisKeyframe").keyTimes().empty())
        knob(aligner, "analysisKeyframe").setValueAt(frames.front(), frames.front());
    const std::set<double> keys = knob(aligner, "analysisKeyframe").keyTimes();

    // Match at the keys.
    knob(aligner, "executeType").setValue(0);
    executeNode(aligner, std::vector<double>(keys.begin(), keys.end()), "Match");
    const auto before = storedMatches(aligner);
    for (double key : keys) {
        auto it = before.find(int(key));
        const size_t n = it == before.end() ? 0 : it->second.size();
        if (n < size_t(kMinMatches))
            fail("too few matches at frame " + std::to_string(int(key)) + " (" + std::to_string(n) +
                 "): the views may not overlap or the frame has too little texture; key other "
                 "frames with --frames or --key-step");
    }

    // The refresh an artist's viewer gives the node once matched: its rig and samplers, the
    // convergence from the rig metadata when it is on Auto, and the analysis buttons.
    aligner.setContext(OutputContext(*keys.begin(), leftView));
    aligner.firstOp()->updateUI(aligner.firstOp()->outputContext());
    aligner.firstOp()->doPreValidate();

    // Framing.
    if (o.fixPoint) {
        knob(aligner, "fixParallax").setValue(1);
        Knob& fix = knob(aligner, "fixPoint");
        fix.setValue(o.fixPoint->first, 0);
        fix.setValue(o.fixPoint->second, 1);
    }
    if (o.zoom) {
        knob(aligner, "scaleToFit").setValue(1);
        aligner.setContext(OutputContext(*keys.begin(), leftView));
        press(aligner, "calculateScale");
    }

    // Render both views, written beside their final names and renamed when complete, into
    // the output's folder, made when it does not exist yet.
    std::error_code made;
    fs::create_directories(fs::absolute(o.output).parent_path(), made);
    if (made)
        fail("cannot make the output folder " + fs::absolute(o.output).parent_path().string() +
             ": " + made.message());
    Node& write = *graph.add(std::make_unique<Node>("Write", "Write1"));
    write.setInput(0, &aligner);
    knob(write, "file").setText(fs::absolute(o.output).string());
    knob(write, "channels")
        .setText(std::string("rgba") + (o.disparity ? " disparityL disparityR" : "") +
                 (o.stmap ? " stitch_map" : ""));
    write.setContext(OutputContext(frames.front(), leftView));
    std::vector<double> renderFrames(frames.begin(), frames.end());
    executeNode(write, renderFrames, "Render");

    // The script beside the output, for the artist to open and adjust.
    const fs::path outputPath = fs::absolute(o.output);
    const fs::path scriptPath = outputPath.parent_path() / "aligned.kscript";
    std::string error;
    if (!Script::save(graph, scriptPath.string(), &error)) fail(error);

    // Measure: the stored matches of the input, and matches found afresh in the output.
    Graph check;
    Node& measure = *check.add(std::make_unique<Node>(kAligner, "Measure"));
    measure.setInput(0, &aligner);
    knob(measure, "leftView").setValue(leftView);
    knob(measure, "rightView").setValue(rightView);
    knob(measure, "layoutType").setValue(1);
    knob(measure, "alignmentSpace").setValue(1);
    for (double key : keys) knob(measure, "analysisKeyframe").setValueAt(key, key);
    measure.setContext(OutputContext(frames.front(), leftView));
    knob(measure, "executeType").setValue(0);
    executeNode(measure, std::vector<double>(keys.begin(), keys.end()), "Measure");
    const auto after = storedMatches(measure);

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json report;
    report["plate"] = o.demo ? "synthetic stereo plate (demo)"
                             : o.left + (o.right.empty() ? "" : " + " + o.right);
    report["views"] = {leftName, rightName};
    report["frames"] = {frames.front(), frames.back()};
    report["preset"] = o.preset;
    report["space"] = o.space;
    report["layout"] = "Stereo Layout (the pair's pose is solved from the matches)";
    report["output"] = outputPath.string();
    report["script"] = scriptPath.string();
    std::vector<Pair> allBefore, allAfter;
    for (double key : keys) {
        const int k = int(key);
        const auto& b = before.at(k);
        const std::vector<Pair> a = after.count(k) ? after.at(k) : std::vector<Pair>{};
        allBefore.insert(allBefore.end(), b.begin(), b.end());
        allAfter.insert(allAfter.end(), a.begin(), a.end());
        report["keys"].push_back({{"frame", k},
                                  {"before", toJson(verticalDisparity(b))},
                                  {"after", toJson(verticalDisparity(a))}});
    }
    report["before"] = toJson(verticalDisparity(allBefore));
    report["after"] = toJson(verticalDisparity(allAfter));
    report["seconds"] = seconds;

    if (!o.contactSheet.empty()) {
        writeContactSheet(o.contactSheet, *plate, aligner, *keys.begin(), leftView, rightView);
        report["contactSheet"] = fs::absolute(o.contactSheet).string();
    }
    if (!o.report.empty()) {
        const fs::path tmp = fs::path(o.report).string() + ".tmp";
        std::ofstream f(tmp);
        f << report.dump(2) << "\n";
        f.close();
        if (!f)
            fail("cannot write the report " + o.report +
                 ": check the folder exists and is writable");
        fs::rename(tmp, o.report);
    }

    const Stats b = verticalDisparity(allBefore), a = verticalDisparity(allAfter);
    out << std::fixed << std::setprecision(3);
    out << "Aligned " << report["plate"].get<std::string>() << ", views " << leftName << " and "
        << rightName << ", frames " << frames.front() << "-" << frames.back() << "\n";
    out << "  preset " << o.preset << ", " << o.space
        << " space, Stereo Layout (no rig metadata used)\n";
    out << "  keys:";
    for (double key : keys)
        out << " " << int(key) << " (" << before.at(int(key)).size() << " matches)";
    out << "\n";
    out << "  vertical disparity of the matches, before: mean " << b.mean << " px, RMS " << b.rms
        << " px, max " << b.max << " px (" << b.count << " matches)\n";
    out << "  vertical disparity of the matches, after:  mean " << a.mean << " px, RMS " << a.rms
        << " px, max " << a.max << " px (" << a.count << " matches found afresh in the output)\n";
    out << "  output " << outputPath.string() << "\n  script " << scriptPath.string() << "\n";
    if (!o.contactSheet.empty())
        out << "  contact sheet " << fs::absolute(o.contactSheet).string() << "\n";
    out << "  time " << std::setprecision(1) << seconds << " s\n";
}

} // namespace Kestrel
