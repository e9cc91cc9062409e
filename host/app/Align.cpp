#include "Align.h"

#include "DisparityStage.h"
#include "Progress.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/FramesOnDisk.h>
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
#include <nodes/FrameNotices.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <set>
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

// Frames as farms write them: runs of consecutive frames joined ("1-4,6,8-10").
std::string frameListText(const std::vector<int>& frames) {
    std::string text;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        text += (text.empty() ? "" : ",") + std::to_string(frames[i]);
        if (j > i) text += "-" + std::to_string(frames[j]);
        i = j + 1;
    }
    return text;
}

// Sets an enumeration knob by the name of its item, matched without regard to case; an
// unknown name fails naming the option and the items.
void setItem(Node& node, const char* name, const std::string& item, const std::string& option) {
    Knob& k = knob(node, name);
    const auto& items = k.items();
    const auto lower = [](std::string t) {
        for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    for (size_t i = 0; i < items.size(); ++i)
        if (lower(items[i]) == lower(item)) {
            k.setValue(double(i));
            return;
        }
    std::string list;
    for (const auto& i : items) list += (list.empty() ? "" : ", ") + i;
    fail("unknown " + option + " \"" + item + "\": use one of " + list);
}

// The frames whose "after" the report measures: every key, the written frame farthest from
// any key (where the blend between keys is least sure), and the last written frame.
std::vector<int> measuredFrames(const std::set<double>& keys, const std::vector<int>& written) {
    std::set<int> frames;
    for (double k : keys) frames.insert(int(k));
    int farthest = written.front();
    double distance = -1;
    for (int f : written) {
        double d = 1e300;
        for (double k : keys) d = std::min(d, std::abs(double(f) - k));
        if (d > distance) distance = d, farthest = f;
    }
    frames.insert(farthest);
    frames.insert(written.back());
    return {frames.begin(), frames.end()};
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
    const bool fill = o.missingFrames != "error";

    // Frames and views of the plate: the range runs from its first to its last frame on disk,
    // in either view; a frame of the range that one view lacks is a hole.
    std::vector<int> frames;
    std::vector<std::string> views = {"left", "right"};
    std::string leftName = "left", rightName = "right";
    std::vector<std::pair<std::string, std::vector<int>>> sequences; // pattern, frames on disk
    if (o.demo) {
        frames = {1, 2, 3, 4, 5};
    } else {
        sequences.emplace_back(o.left, IO::framesOnDisk(o.left));
        if (!o.right.empty()) sequences.emplace_back(o.right, IO::framesOnDisk(o.right));
        int first = sequences[0].second.front(), last = sequences[0].second.back();
        for (const auto& [pattern, have] : sequences) {
            first = std::min(first, have.front());
            last = std::max(last, have.back());
        }
        for (int f = first; f <= last; ++f) frames.push_back(f);
        if (o.right.empty()) {
            const std::string firstFile =
                IO::PathPattern(o.left).expand(sequences[0].second.front());
            const IO::ImageData header = IO::readImage(firstFile);
            views = header.viewNames();
            if (views.size() < 2)
                fail(firstFile + " holds one view: give the right view as a second file "
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
    // Frames asked for outside the plate are an error unless the user chose how to fill them.
    if (!o.frames.empty()) {
        std::vector<int> wanted = IO::parseFrameList(o.frames);
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        std::vector<int> outside;
        for (int f : wanted)
            if (f < frames.front() || f > frames.back()) outside.push_back(f);
        if (outside.size() == wanted.size() && !fill)
            fail("none of the frames " + o.frames + " is in the plate (frames " +
                 frameListText(frames) + ")");
        if (!outside.empty() && !fill)
            fail("frames " + frameListText(outside) + " of --frames " + o.frames +
                 " are outside the plate (frames " + frameListText(frames) +
                 "): ask for frames of the plate, or pass --missing-frames black or hold to "
                 "fill them");
        frames = wanted;
    }
    for (const auto& [pattern, have] : sequences) {
        std::vector<int> missing;
        for (int f : frames)
            if (!std::binary_search(have.begin(), have.end(), f)) missing.push_back(f);
        if (!missing.empty() && !fill)
            fail("frame " + std::to_string(missing.front()) + " is missing: " +
                 IO::PathPattern(pattern).expand(missing.front()) + " does not exist" +
                 (missing.size() > 1 ? " (nor do frames " + frameListText(missing) + ")" : "") +
                 ": render or restore it, or pass --missing-frames black or hold");
    }

    // No output may overwrite a file of the plate.
    const fs::path outputPath = fs::absolute(o.output);
    const fs::path scriptPath = o.script.empty() ? outputPath.parent_path() / "aligned.kscript"
                                : fs::path(o.script).has_parent_path()
                                    ? fs::absolute(o.script)
                                    : outputPath.parent_path() / o.script;
    {
        std::set<fs::path> inputs;
        for (const auto& [pattern, have] : sequences)
            for (int f : have) {
                const IO::PathPattern p(pattern);
                for (const std::string& v : views)
                    inputs.insert(fs::weakly_canonical(fs::absolute(p.expand(f, v))));
            }
        const IO::PathPattern output(outputPath.string());
        for (int f : frames)
            for (const std::string& v : {leftName, rightName}) {
                const fs::path target = fs::weakly_canonical(output.expand(f, v));
                if (inputs.count(target))
                    fail("the output " + target.string() +
                         " is also a file of the plate: write the aligned views elsewhere");
            }
        if (inputs.count(fs::weakly_canonical(scriptPath)))
            fail("the script " + scriptPath.string() +
                 " is also a file of the plate: name another with --script");
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
        setItem(*r, "missing_frames", o.missingFrames, "--missing-frames");
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
    // The Write's options are checked before any work starts.
    Node& write = *graph.add(std::make_unique<Node>("Write", "Write1"));
    knob(write, "file").setText(outputPath.string());
    knob(write, "channels")
        .setText(std::string("rgba") + (o.disparity ? " disparityL disparityR" : "") +
                 (o.stmap ? " stitch_map" : ""));
    if (!o.datatype.empty())
        knob(write, "datatype")
            .setValue(
                o.datatype == "half" ? 0.0
                : o.datatype == "float"
                    ? 1.0
                    : (fail("unknown --datatype \"" + o.datatype + "\": use half or float"), 0.0));
    if (!o.compression.empty()) setItem(write, "compression", o.compression, "--compression");
    if (o.overscan) knob(write, "overscan").setValue(1);

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
    // Key All leaves the last frame out; the job keys it too, so that the end of the shot
    // is analysed rather than held at the last key's correction.
    knob(aligner, "analysisKeyframe").setValueAt(frames.back(), frames.back());
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

    // The output's folder, made when it does not exist yet; then the script, which is all a
    // render of any chunk of the shot needs.
    for (const fs::path& folder : {outputPath.parent_path(), scriptPath.parent_path()}) {
        std::error_code made;
        fs::create_directories(folder, made);
        if (made) fail("cannot make the folder " + folder.string() + ": " + made.message());
    }
    write.setInput(0, &aligner);
    write.setContext(OutputContext(frames.front(), leftView));
    std::string error;
    if (!Script::save(graph, scriptPath.string(), &error)) fail(error);

    // Render both views, written beside their final names and renamed when complete.
    std::vector<int> written;
    std::vector<Nodes::FrameNotice> filled;
    if (!o.analyseOnly) {
        Nodes::takeFrameNotices(); // what Match filled in is reported with the render's
        executeNode(write, std::vector<double>(frames.begin(), frames.end()), "Render");
        written = frames;
        filled = Nodes::takeFrameNotices();
    }

    // Measure: the stored matches of the input, and matches found afresh in the output.
    std::map<int, std::vector<Pair>> after;
    std::vector<int> measured;
    if (!o.analyseOnly) {
        measured = measuredFrames(keys, written);
        Graph check;
        Node& measure = *check.add(std::make_unique<Node>(kAligner, "Measure"));
        measure.setInput(0, &aligner);
        knob(measure, "leftView").setValue(leftView);
        knob(measure, "rightView").setValue(rightView);
        knob(measure, "layoutType").setValue(1);
        knob(measure, "alignmentSpace").setValue(1);
        for (int f : measured) knob(measure, "analysisKeyframe").setValueAt(f, f);
        measure.setContext(OutputContext(frames.front(), leftView));
        knob(measure, "executeType").setValue(0);
        executeNode(measure, std::vector<double>(measured.begin(), measured.end()), "Measure");
        after = storedMatches(measure);
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json report;
    report["plate"] = o.demo ? "synthetic stereo plate (demo)"
                             : o.left + (o.right.empty() ? "" : " + " + o.right);
    report["views"] = {leftName, rightName};
    report["frames"] = {frames.front(), frames.back()};
    report["framesWritten"] = written;
    report["missingFrames"] = o.missingFrames;
    report["filledFrames"] = nlohmann::json::array();
    for (const Nodes::FrameNotice& n : filled) {
        const nlohmann::json entry = {
            {"frame", n.frame}, {"file", n.file}, {"read", n.node}, {"filled", n.action}};
        report["filledFrames"].push_back(entry);
    }
    report["preset"] = o.preset;
    report["space"] = o.space;
    report["layout"] = "Stereo Layout (the pair's pose is solved from the matches)";
    if (!o.analyseOnly) report["output"] = outputPath.string();
    report["script"] = scriptPath.string();
    std::vector<Pair> allBefore, allAfter;
    for (double key : keys) {
        const int k = int(key);
        const auto& b = before.at(k);
        allBefore.insert(allBefore.end(), b.begin(), b.end());
        nlohmann::json entry = {{"frame", k}, {"before", toJson(verticalDisparity(b))}};
        if (!o.analyseOnly)
            entry["after"] =
                toJson(verticalDisparity(after.count(k) ? after.at(k) : std::vector<Pair>{}));
        report["keys"].push_back(entry);
    }
    report["before"] = toJson(verticalDisparity(allBefore));
    // The worst frame is the worst of those measured with matches: a frame where none are
    // found (a black frame filled in for a missing one) has no figure, not 0 px.
    std::optional<std::pair<int, Stats>> worst;
    for (int f : measured) {
        const auto& pairs = after.count(f) ? after.at(f) : std::vector<Pair>{};
        const Stats st = verticalDisparity(pairs);
        allAfter.insert(allAfter.end(), pairs.begin(), pairs.end());
        nlohmann::json entry = toJson(st);
        entry["frame"] = f;
        entry["key"] = keys.count(double(f)) > 0;
        report["measured"].push_back(entry);
        if (st.count > 0 && (!worst || st.rms > worst->second.rms)) worst = std::make_pair(f, st);
    }
    if (!o.analyseOnly) {
        report["after"] = toJson(verticalDisparity(allAfter));
        if (worst) report["worst"] = {{"frame", worst->first}, {"rms", worst->second.rms}};
    }
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
    out << (o.analyseOnly ? "Analysed " : "Aligned ") << report["plate"].get<std::string>()
        << ", views " << leftName << " and " << rightName << ", frames " << frameListText(frames)
        << "\n";
    out << "  preset " << o.preset << ", " << o.space
        << " space, Stereo Layout (no rig metadata used)\n";
    out << "  keys:";
    for (double key : keys)
        out << " " << int(key) << " (" << before.at(int(key)).size() << " matches)";
    out << "\n";
    out << "  vertical disparity of the matches, before: mean " << b.mean << " px, RMS " << b.rms
        << " px, max " << b.max << " px (" << b.count << " matches)\n";
    if (!o.analyseOnly) {
        out << "  vertical disparity of the matches, after:  mean " << a.mean << " px, RMS "
            << a.rms << " px, max " << a.max << " px (" << a.count
            << " matches found afresh in the output)\n";
        out << "  after, per measured frame (RMS):";
        for (int f : measured) {
            const Stats st = verticalDisparity(after.count(f) ? after.at(f) : std::vector<Pair>{});
            out << " " << f << ": ";
            if (st.count > 0)
                out << st.rms << " px";
            else
                out << "no matches";
            out << (f == measured.back() ? "\n" : ",");
        }
        if (worst)
            out << "  worst frame " << worst->first << ": RMS " << worst->second.rms << " px\n";
        else
            out << "  no matches found in the output: check the output frames by eye\n";
        out << "  frames written " << frameListText(written) << "\n";
        for (const Nodes::FrameNotice& n : filled)
            out << "  frame " << n.frame << " filled (--missing-frames " << o.missingFrames
                << "): " << n.file << " is missing, " << n.action << "\n";
        out << "  output " << outputPath.string() << "\n";
    }
    out << "  script " << scriptPath.string() << "\n";
    if (o.analyseOnly)
        out << "  nothing rendered: render chunks with kestrel render " << scriptPath.string()
            << " --frames A-B\n";
    if (!o.contactSheet.empty())
        out << "  contact sheet " << fs::absolute(o.contactSheet).string() << "\n";
    out << "  time " << std::setprecision(1) << seconds << " s\n";
}

} // namespace Kestrel
