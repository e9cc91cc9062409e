// kestrel align, step by step (AlignSteps.h).
#include "Align.h"

#include "AlignSteps.h"
#include "AlignerKnobs.h"
#include "ContactSheet.h"
#include "DisparityStage.h"
#include "Progress.h"
#include "UsageError.h"
#include "Verbosity.h"

#include <Kestrel/IO/FrameList.h>
#include <Kestrel/IO/FramesOnDisk.h>
#include <Kestrel/IO/ImageData.h>
#include <Kestrel/IO/ImageReader.h>
#include <Kestrel/IO/PathPattern.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Executable.h>
#include <Kx/Image/Filter.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/KnobChange.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Undo.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Kx::Image;

namespace Kestrel {

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

std::string lower(std::string t) {
    for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    return t;
}

std::string quotedList(const std::vector<std::string>& items) {
    std::string list;
    for (const auto& i : items) list += (list.empty() ? "\"" : ", \"") + i + "\"";
    return list;
}

// The index of a name among the items, matched without regard to case; an unknown name is a
// usage error naming the option and the items.
template <class Items>
int itemIndex(const Items& items, const std::string& name, const std::string& option) {
    std::vector<std::string> names;
    for (const auto& i : items) names.emplace_back(i);
    for (size_t i = 0; i < names.size(); ++i)
        if (lower(names[i]) == lower(name)) return int(i);
    throw UsageError("unknown " + option + " \"" + name + "\": use one of " + quotedList(names));
}

void press(Node& node, const char* button) {
    KnobChange::notify(knob(node, button));
}

// Sets an enumeration knob by the name of its item, matched without regard to case.
void setItem(Node& node, const char* name, const std::string& item, const std::string& option) {
    Knob& k = knob(node, name);
    k.setValue(itemIndex(k.items(), item, option));
}

// Runs a node's frame work over frames with progress; a failure is the job's.
void executeNode(Node& node, const std::vector<double>& frames, const std::string& task) {
    Progress progress(task, int(frames.size()), progressStream());
    const ExecuteResult r =
        execute(*node.firstOp(), frames, [&](int done, int) { progress.update(done); });
    progress.finish(r.ok ? "done" : r.interrupted ? "interrupted" : "failed");
    if (r.interrupted) fail("interrupted: " + task + " stopped");
    if (!r.ok) fail(r.error);
}

// What an output path can hold, by its extension.
enum class FileKind { Exr, OneView, Unknown };
FileKind fileKind(const fs::path& path) {
    const std::string ext = lower(path.extension().string());
    if (ext == ".exr") return FileKind::Exr;
    for (const char* e : {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".dpx"})
        if (ext == e) return FileKind::OneView;
    return FileKind::Unknown;
}

// Checks, without making anything, that the file's folder exists or can be made and takes
// new files: the nearest existing folder on the way must be a folder kestrel may write in.
void checkWritableFolder(const fs::path& file, const std::string& option) {
    fs::path folder = file.parent_path();
    while (!folder.empty() && !fs::exists(folder) && folder != folder.root_path())
        folder = folder.parent_path();
    if (folder.empty()) folder = fs::current_path();
    if (!fs::is_directory(folder))
        fail(option + " " + file.string() + ": " + folder.string() +
             " is a file, not a folder; choose another path");
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        fail(option + " " + file.string() + ": the folder " + folder.string() +
             " does not take new files (permission denied); choose a folder you may write in");
}

// Makes the folder a file goes into when it does not exist yet.
void makeFolderOf(const fs::path& file) {
    std::error_code made;
    fs::create_directories(file.parent_path(), made);
    if (made) fail("cannot make the folder " + file.parent_path().string() + ": " + made.message());
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

ViewCorrection sampleCorrection(Node& aligner, int frame, int view, const std::string& name) {
    ViewCorrection c;
    c.frame = frame;
    c.view = name;
    c.fit = correctionGrid(aligner, frame, view).fit(); // validates the op first
    Iop* op = aligner.iop(OutputContext(frame, view));
    const Format out = op->format();
    Format in = out;
    if (Iop* source = op->input_iop(0)) in = source->format();
    c.outputWidth = out.width();
    c.outputHeight = out.height();
    c.inputWidth = in.width();
    c.inputHeight = in.height();
    return c;
}

} // namespace

Knob& knob(Node& node, const char* name) {
    Knob* k = node.knob(name);
    if (!k) fail("node " + node.name() + " has no knob \"" + name + "\"");
    return *k;
}

StoredTracks storedTracks(Node& aligner) {
    const std::string what = "the stored matches of " + aligner.name();
    std::istringstream in(knob(aligner, AlignerKnobs::kControlPoints).scriptText(false));
    StoredTracks out;
    std::string line;
    int number = 0;
    auto next = [&] {
        if (!std::getline(in, line)) fail(what + " end early, at line " + std::to_string(number));
        ++number;
        return std::istringstream(line);
    };
    auto malformed = [&] {
        fail(what + " are malformed at line " + std::to_string(number) + ": \"" + line + "\"");
    };
    std::string word;
    unsigned version = 0;
    long long frames = -1;
    // The knob writes format version 2, which storeTracks writes back.
    if (!(next() >> word >> version) || word != "version" || version != 2) malformed();
    if (!(next() >> word >> frames) || word != "frames" || frames < 0) malformed();
    for (long long f = 0; f < frames; ++f) {
        int frame = 0;
        long long count = -1;
        std::string tracksWord;
        if (!(next() >> word >> frame >> tracksWord >> count) || word != "Frame" ||
            tracksWord != "tracks" || count < 0)
            malformed();
        auto& tracks = out[frame];
        for (long long t = 0; t < count; ++t) {
            std::istringstream fields = next();
            long long n = -1;
            if (!(fields >> n) || n < 0) malformed();
            StoredTrack track;
            track.line = line;
            bool left = false, right = false;
            for (long long k = 0; k < n; ++k) {
                long long camera = 0;
                double x = 0, y = 0;
                if (!(fields >> camera >> x >> y)) malformed();
                if (camera == 0 && !left) track.pair.xl = x, track.pair.yl = y, left = true;
                if (camera == 1 && !right) track.pair.xr = x, track.pair.yr = y, right = true;
            }
            double user = 0, colour = 0;
            if (!(fields >> user >> colour >> colour >> colour >> track.error)) malformed();
            track.paired = left && right;
            tracks.push_back(std::move(track));
        }
    }
    return out;
}

void storeTracks(Node& aligner, const StoredTracks& tracks) {
    std::ostringstream text;
    text << "version 2\nframes " << tracks.size() << "\n";
    for (const auto& [frame, list] : tracks) {
        text << "Frame " << frame << " tracks " << list.size() << "\n";
        for (const StoredTrack& t : list) text << t.line << "\n";
    }
    if (!knob(aligner, AlignerKnobs::kControlPoints).from_script(text.str().c_str()))
        fail("the stored matches of " + aligner.name() + " could not be written back");
}

std::map<int, std::vector<MatchPair>> pairsOf(const StoredTracks& tracks) {
    std::map<int, std::vector<MatchPair>> out;
    for (const auto& [frame, list] : tracks) {
        auto& pairs = out[frame];
        for (const StoredTrack& t : list)
            if (t.paired) pairs.push_back(t.pair);
    }
    return out;
}

// Output pixel centres and the source positions the aligner's STMap gives them.
CorrectionGrid correctionGrid(Node& aligner, int frame, int view) {
    Iop* op = aligner.iop(OutputContext(frame, view));
    op->validate(true);
    if (op->hasError())
        fail(aligner.name() + " at frame " + std::to_string(frame) + ": " + op->errorMessage());
    const Format out = op->format();
    Format in = out;
    if (Iop* source = op->input_iop(0)) {
        source->validate(true);
        in = source->format();
    }
    if (out.width() < 2 || out.height() < 2)
        fail(aligner.name() + " at frame " + std::to_string(frame) + ": the frame is " +
             std::to_string(out.width()) + " x " + std::to_string(out.height()) +
             " pixels, too small to measure a correction on");
    const Channel u = getChannel("stitch_map.u"), v = getChannel("stitch_map.v");
    const ChannelSet mask = {u, v};
    const int step = std::max(1, std::min(out.width(), out.height()) / 64);
    // Pixel centres step / 2 + i · step across the frame (at least two each way).
    const int columns = std::max(2, (out.width() - 1 - step / 2) / step + 1);
    const int rows = std::max(2, (out.height() - 1 - step / 2) / step + 1);
    op->request(0, 0, out.width(), out.height(), mask);
    Row row(0, out.width());
    std::vector<Eigen::Vector2d> source;
    source.reserve(size_t(columns) * size_t(rows));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int j = 0; j < rows; ++j) {
        const int y = step / 2 + j * step;
        op->get(y, 0, out.width(), mask, row);
        for (int i = 0; i < columns; ++i) {
            const int x = step / 2 + i * step;
            // The STMap is a fraction of the input's format; a failed projection lies far
            // outside it and counts as no sample.
            const double sx = double(row[u][x]) * in.width(), sy = double(row[v][x]) * in.height();
            const bool ok = std::isfinite(sx) && std::isfinite(sy) &&
                            std::abs(sx) <= 4.0 * in.width() && std::abs(sy) <= 4.0 * in.height();
            source.emplace_back(ok ? sx : nan, ok ? sy : nan);
        }
    }
    const double origin = step / 2 + 0.5;
    return CorrectionGrid({origin, origin}, step, columns, rows, std::move(source));
}

DisparityStats verticalDisparity(const std::vector<MatchPair>& pairs) {
    DisparityStats s;
    s.count = pairs.size();
    if (pairs.empty()) return s;
    double sum = 0, sq = 0;
    for (const MatchPair& p : pairs) {
        const double d = p.yr - p.yl;
        sum += d;
        sq += d * d;
        s.max = std::max(s.max, std::abs(d));
    }
    s.mean = sum / double(pairs.size());
    s.rms = std::sqrt(sq / double(pairs.size()));
    return s;
}

void checkOptions(AlignJob& job) {
    AlignOptions& o = job.options;
    if (o.output.empty())
        throw UsageError("no output: give one with -o, such as -o aligned.%04d.exr");
    if (o.demo && !o.left.empty())
        throw UsageError("--demo aligns the built-in plate: leave out the plate files, or "
                         "leave out --demo");
    if (!o.demo && o.left.empty())
        throw UsageError("no plate: give a multi-view file, a left and a right file, or --demo");
    if (o.keyStep < 1)
        throw UsageError("--key-step must be 1 or more, not " + std::to_string(o.keyStep));
    std::vector<std::string> presets(AlignerKnobs::kPresets.begin(), AlignerKnobs::kPresets.end());
    presets.push_back("auto");
    job.preset = itemIndex(presets, o.preset, "--preset");
    o.preset = presets[size_t(job.preset)];
    if (o.preset == "auto") job.preset = kAutoPreset;
    job.space = itemIndex(AlignerKnobs::kSpaces, o.space, "--space");
    job.filter = itemIndex(Filter::names(), o.filter, "--filter");
    o.space = std::string(AlignerKnobs::kSpaces[size_t(job.space)]);
    o.filter = Filter::name(job.filter);
    if (!o.datatype.empty() && lower(o.datatype) != "half" && lower(o.datatype) != "float")
        throw UsageError("unknown --datatype \"" + o.datatype + "\": use half or float");
    if (!o.frames.empty()) try {
            IO::parseFrameList(o.frames);
        } catch (const std::exception& e) {
            throw UsageError(std::string("--frames: ") + e.what());
        }
    if (!o.views.empty() && std::count(o.views.begin(), o.views.end(), ',') != 1)
        throw UsageError("--views takes two names, such as --views left,right");

    // The outputs: file types that hold what is asked, in folders that take new files.
    job.output = fs::absolute(o.output);
    const IO::PathPattern outputPattern(job.output.string()); // refuses unknown % tokens
    const FileKind kind = fileKind(job.output);
    const std::string ext = job.output.extension().string();
    if (kind == FileKind::Unknown)
        throw UsageError("-o " + o.output + ": unknown file type \"" + ext +
                         "\"; end the name in .exr, .png, .jpg, .tif or .dpx");
    if (kind == FileKind::OneView) {
        if (!outputPattern.hasView())
            throw UsageError("-o " + o.output + ": a " + ext +
                             " file holds one view and the job writes two; put %V in the name "
                             "for one file per view (such as aligned_%V" +
                             ext + ") or write OpenEXR (.exr)");
        const std::string needs = o.stmap       ? "--stmap"
                                  : o.disparity ? "--disparity"
                                  : o.overscan  ? "--overscan"
                                                : "";
        if (!needs.empty())
            throw UsageError(needs + " needs an OpenEXR output: a " + ext +
                             " file holds colour only; write -o with .exr");
    }
    job.script = o.script.empty() ? job.output.parent_path() / "aligned.kscript"
                 : fs::path(o.script).has_parent_path() ? fs::absolute(o.script)
                                                        : job.output.parent_path() / o.script;
    checkWritableFolder(job.output, "-o");
    checkWritableFolder(job.script, "--script");
    if (!o.report.empty()) {
        job.report = fs::absolute(o.report);
        checkWritableFolder(job.report, "--report");
    }
    if (!o.exportCorrection.empty()) {
        job.exportFile = fs::absolute(o.exportCorrection);
        checkWritableFolder(job.exportFile, "--export-correction");
    }
    if (!o.contactSheet.empty()) {
        job.contactSheet = fs::absolute(o.contactSheet);
        if (fileKind(job.contactSheet) != FileKind::OneView)
            throw UsageError("--contact-sheet " + o.contactSheet +
                             ": the contact sheet is an image of one view; end the name in "
                             ".png, .jpg or .tif");
        checkWritableFolder(job.contactSheet, "--contact-sheet");
        requireLabelFont("--contact-sheet");
    }
    const std::set<fs::path> paths = {job.output, job.script, job.report, job.exportFile,
                                      job.contactSheet};
    const size_t given =
        2 + !job.report.empty() + !job.exportFile.empty() + !job.contactSheet.empty();
    if (paths.size() - (paths.count(fs::path()) ? 1 : 0) != given)
        throw UsageError("two outputs of the job have the same name: give -o, --script, "
                         "--report, --export-correction and --contact-sheet different paths");
}

void readPlate(AlignJob& job) {
    const AlignOptions& o = job.options;
    const bool fill = o.missingFrames != "error";
    if (!o.views.empty()) {
        const auto comma = o.views.find(',');
        job.leftName = o.views.substr(0, comma);
        job.rightName = o.views.substr(comma + 1);
    }
    if (o.demo) {
        job.frames = {1, 2, 3, 4, 5};
    } else {
        // One pattern naming the view (seq/%V.%04d.png) is a left and a right sequence.
        std::string left = o.left, right = o.right;
        if (right.empty() && IO::PathPattern(left).hasView()) {
            const IO::PathPattern both(left);
            left = both.withView(job.leftName).text();
            right = both.withView(job.rightName).text();
            job.views = {job.leftName, job.rightName};
        }
        job.sequences.push_back({left, IO::framesOnDisk(left)});
        if (!right.empty()) job.sequences.push_back({right, IO::framesOnDisk(right)});
        int first = job.sequences[0].onDisk.front(), last = job.sequences[0].onDisk.back();
        for (const auto& s : job.sequences) {
            first = std::min(first, s.onDisk.front());
            last = std::max(last, s.onDisk.back());
        }
        for (int f = first; f <= last; ++f) job.frames.push_back(f);
        if (right.empty()) {
            const std::string firstFile =
                IO::PathPattern(left).expand(job.sequences[0].onDisk.front());
            const IO::ImageData header = IO::readImage(firstFile);
            job.views = header.viewNames();
            if (job.views.size() < 2)
                fail(firstFile + " holds one view: give the right view as a second file "
                                 "(kestrel align LEFT RIGHT -o ...), a pattern with %V, or a "
                                 "multi-view OpenEXR");
            if (o.views.empty()) {
                const bool stereo = std::count(job.views.begin(), job.views.end(), "left") &&
                                    std::count(job.views.begin(), job.views.end(), "right");
                job.leftName = stereo ? "left" : job.views[0];
                job.rightName = stereo ? "right" : job.views[1];
            }
        } else {
            // Two sequences are the two views, named by --views.
            job.views = {job.leftName, job.rightName};
        }
    }
    if (job.leftName == job.rightName)
        throw UsageError("--views " + o.views +
                         " names one view twice: name the left and the "
                         "right view, such as --views left,right");
    for (const std::string& v : {job.leftName, job.rightName})
        if (std::find(job.views.begin(), job.views.end(), v) == job.views.end()) {
            std::string list;
            for (const auto& n : job.views) list += (list.empty() ? "" : ", ") + n;
            fail("the plate has no view \"" + v + "\"; its views are " + list);
        }
    // Frames asked for outside the plate are an error unless the user chose how to fill them.
    if (!o.frames.empty()) {
        std::vector<int> wanted = IO::parseFrameList(o.frames);
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        std::vector<int> outside;
        for (int f : wanted)
            if (f < job.frames.front() || f > job.frames.back()) outside.push_back(f);
        if (outside.size() == wanted.size() && !fill)
            fail("none of the frames " + o.frames + " is in the plate (frames " +
                 Kestrel::IO::formatFrameList(job.frames) + ")");
        if (!outside.empty() && !fill)
            fail("frames " + Kestrel::IO::formatFrameList(outside) + " of --frames " + o.frames +
                 " are outside the plate (frames " + Kestrel::IO::formatFrameList(job.frames) +
                 "): ask for frames of the plate, or pass --missing-frames black or hold to "
                 "fill them");
        job.frames = wanted;
    }
    for (const auto& s : job.sequences) {
        std::vector<int> missing;
        for (int f : job.frames)
            if (!std::binary_search(s.onDisk.begin(), s.onDisk.end(), f)) missing.push_back(f);
        if (!missing.empty() && !fill)
            fail("frame " + std::to_string(missing.front()) + " is missing: " +
                 IO::PathPattern(s.pattern).expand(missing.front(), job.leftName) +
                 " does not exist" +
                 (missing.size() > 1
                      ? " (nor do frames " + Kestrel::IO::formatFrameList(missing) + ")"
                      : "") +
                 ": render or restore it, or pass --missing-frames black or hold");
    }

    // No output may overwrite a file of the plate.
    std::set<fs::path> inputs;
    for (const auto& s : job.sequences)
        for (int f : s.onDisk) {
            const IO::PathPattern p(s.pattern);
            for (const std::string& v : job.views)
                inputs.insert(fs::weakly_canonical(fs::absolute(p.expand(f, v))));
        }
    const IO::PathPattern output(job.output.string());
    for (int f : job.frames)
        for (const std::string& v : {job.leftName, job.rightName}) {
            const fs::path target = fs::weakly_canonical(output.expand(f, v));
            if (inputs.count(target))
                fail("the output " + target.string() +
                     " is also a file of the plate: write the aligned views elsewhere");
        }
    for (const fs::path& other : {job.script, job.report, job.exportFile, job.contactSheet})
        if (!other.empty() && inputs.count(fs::weakly_canonical(other)))
            fail(other.string() + " is also a file of the plate: name another");
}

void buildGraph(AlignJob& job) {
    namespace K = AlignerKnobs;
    const AlignOptions& o = job.options;
    OutputContext::setViews(job.views);
    job.leftView = OutputContext::lookup_view(job.leftName);
    job.rightView = OutputContext::lookup_view(job.rightName);

    job.graph = std::make_unique<Graph>();
    Graph& graph = *job.graph;
    graph.firstFrame = job.frames.front();
    graph.lastFrame = job.frames.back();
    auto read = [&](const std::string& file, const std::string& name) {
        Node* r = graph.add(std::make_unique<Node>("Read", name));
        knob(*r, "file").setText(fs::absolute(file).string());
        knob(*r, "first").setValue(job.frames.front());
        knob(*r, "last").setValue(job.frames.back());
        setItem(*r, "missing_frames", o.missingFrames, "--missing-frames");
        return r;
    };
    Node* plate = nullptr;
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
    } else if (job.sequences.size() == 1) {
        plate = read(job.sequences[0].pattern, "Plate");
    } else {
        Node* l = read(job.sequences[0].pattern, "PlateLeft");
        Node* r = read(job.sequences[1].pattern, "PlateRight");
        plate = graph.add(std::make_unique<Node>("JoinViews", "Plate"));
        plate->setInput(0, l);
        plate->setInput(1, r);
    }

    // The two views must be the same size: the correction maps one frame onto the other.
    Iop* views[2] = {plate->iop(OutputContext(job.frames.front(), job.leftView)),
                     plate->iop(OutputContext(job.frames.front(), job.rightView))};
    for (Iop* op : views) {
        op->validate(true);
        if (op->hasError()) fail(op->errorMessage());
    }
    const Format& fl = views[0]->format();
    const Format& fr = views[1]->format();
    if (fl.width() != fr.width() || fl.height() != fr.height())
        fail("the views differ in size: " + job.leftName + " is " + std::to_string(fl.width()) +
             " x " + std::to_string(fl.height()) + " and " + job.rightName + " is " +
             std::to_string(fr.width()) + " x " + std::to_string(fr.height()) +
             "; scale or crop them to one size before aligning");
    job.frame = {fl.width(), fl.height()};
    job.rigMetadata = views[0]->fetchMetaData().contains("rig/cameraCount");
    // Spherical output reprojects through the rig's cameras, which only rig metadata gives.
    if (job.space == K::kSpherical && !job.rigMetadata)
        fail("--space Spherical needs a plate with camera-rig metadata (rig/...), and this "
             "plate has none; align it in Rectilinear space");

    plate = addDisparityStage(graph, plate, o, job.leftView, job.rightView, job.frames.front());
    // The aligner writes its STMap into these two channels; they are always carried, since
    // the report measures the correction from them, and written when --stmap asks.
    Node* channels = graph.add(std::make_unique<Node>("AddChannels", "STMapChannels"));
    channels->setInput(0, plate);
    knob(*channels, "channels").setText("stitch_map.u stitch_map.v");
    job.plate = plate;
    job.channels = channels;

    Node& write = *graph.add(std::make_unique<Node>("Write", "Write1"));
    knob(write, "file").setText(job.output.string());
    knob(write, "channels")
        .setText(std::string("rgba") + (o.disparity ? " disparityL disparityR" : "") +
                 (o.stmap ? " stitch_map" : ""));
    if (!o.datatype.empty()) knob(write, "datatype").setValue(lower(o.datatype) == "float");
    if (!o.compression.empty()) setItem(write, "compression", o.compression, "--compression");
    if (o.overscan) knob(write, "overscan").setValue(1);
    job.write = &write;

    Node& aligner = *graph.add(std::make_unique<Node>(K::kClass, "VerticalAligner1"));
    aligner.setInput(0, channels);
    aligner.setPanelOpen(true);
    knob(aligner, K::kLeftView).setValue(job.leftView);
    knob(aligner, K::kRightView).setValue(job.rightView);
    knob(aligner, K::kLayoutType).setValue(K::kStereoLayout);
    knob(aligner, K::kAlignmentSpace).setValue(job.space);
    knob(aligner, K::kAlignmentType).setValue(job.preset == kAutoPreset ? K::kFull : job.preset);
    knob(aligner, K::kFilter).setValue(job.filter);
    knob(aligner, K::kLocalAlignment).setValue(o.local);
    knob(aligner, K::kKeyStep).setValue(o.keyStep);
    write.setInput(0, &aligner);
    job.aligner = &aligner;
    job.result = &aligner;
    for (std::string& w : applyKnobSettings(graph, o.settings)) {
        warn(w);
        job.warnings.push_back(std::move(w));
    }
}

void analyse(AlignJob& job) {
    namespace K = AlignerKnobs;
    Node& aligner = *job.aligner;
    const std::vector<int>& frames = job.frames;
    aligner.setContext(OutputContext(frames.front(), job.leftView));
    press(aligner, K::kAddAllKeys);
    // Key All leaves the last frame out; the job keys it too, so that the end of the shot
    // is analysed rather than held at the last key's correction.
    Knob& keys = knob(aligner, K::kAnalysisKeyframe);
    keys.setValueAt(frames.back(), frames.back());
    if (keys.keyTimes().empty()) keys.setValueAt(frames.front(), frames.front());
    job.keys = keys.keyTimes();

    knob(aligner, K::kExecuteType).setValue(K::kExecuteMatch);
    executeNode(aligner, std::vector<double>(job.keys.begin(), job.keys.end()), "Match");
    job.before = pairsOf(storedTracks(aligner));
    // Fewer matches than even a vertical shift needs leave nothing to solve or to check.
    const size_t least = matchesNeeded(Spread::SomeMatches);
    for (double key : job.keys) {
        auto it = job.before.find(int(key));
        const size_t n = it == job.before.end() ? 0 : it->second.size();
        if (n < least)
            fail("too few matches at frame " + std::to_string(int(key)) + " (" + std::to_string(n) +
                 "): the views may not overlap or the frame has too little texture; key other "
                 "frames with --frames or --key-step");
    }

    // The refresh an artist's viewer gives the node once matched: its rig and samplers, the
    // convergence from the rig metadata when it is on Auto, and the analysis buttons.
    aligner.setContext(OutputContext(*job.keys.begin(), job.leftView));
    aligner.firstOp()->updateUI(aligner.firstOp()->outputContext());
    aligner.firstOp()->doPreValidate();
}

void frameViews(AlignJob& job) {
    namespace K = AlignerKnobs;
    Node& aligner = *job.aligner;
    const AlignOptions& o = job.options;
    if (o.fixPoint) {
        knob(aligner, K::kFixParallax).setValue(1);
        Knob& fix = knob(aligner, K::kFixPoint);
        fix.setValue(o.fixPoint->first, 0);
        fix.setValue(o.fixPoint->second, 1);
    }
    if (o.zoom) {
        knob(aligner, K::kScaleToFit).setValue(1);
        aligner.setContext(OutputContext(*job.keys.begin(), job.leftView));
        press(aligner, K::kCalculateScale);
    }
}

void renderViews(AlignJob& job) {
    // The script first, which is all a render of any chunk of the shot needs.
    makeFolderOf(job.output);
    makeFolderOf(job.script);
    job.write->setContext(OutputContext(job.frames.front(), job.leftView));
    std::string error;
    if (!Script::save(*job.graph, job.script.string(), &error)) fail(error);
    if (job.options.analyseOnly) return;
    // Both views, written beside their final names and renamed when complete.
    Nodes::takeFrameNotices(); // what Match filled in is reported with the render's
    executeNode(*job.write, std::vector<double>(job.frames.begin(), job.frames.end()), "Render");
    job.written = job.frames;
    job.filled = Nodes::takeFrameNotices();
}

void measure(AlignJob& job) {
    namespace K = AlignerKnobs;
    if (job.options.analyseOnly) return;
    job.measured = measuredFrames(job.keys, job.written);
    Graph check;
    Node& m = *check.add(std::make_unique<Node>(K::kClass, "Measure"));
    m.setInput(0, job.result);
    knob(m, K::kLeftView).setValue(job.leftView);
    knob(m, K::kRightView).setValue(job.rightView);
    knob(m, K::kLayoutType).setValue(K::kStereoLayout);
    knob(m, K::kAlignmentSpace).setValue(K::kRectilinear);
    for (int f : job.measured) knob(m, K::kAnalysisKeyframe).setValueAt(f, f);
    m.setContext(OutputContext(job.frames.front(), job.leftView));
    knob(m, K::kExecuteType).setValue(K::kExecuteMatch);
    executeNode(m, std::vector<double>(job.measured.begin(), job.measured.end()), "Measure");
    job.after = pairsOf(storedTracks(m));
    for (double key : job.keys) {
        const auto found = job.after.find(int(key));
        job.coverageAfter[int(key)] = coverageOf(
            found == job.after.end() ? std::vector<MatchPair>{} : found->second, job.frame);
    }
}

void measureCorrections(AlignJob& job) {
    // The report gives the correction at the keys; the export at every frame of the job.
    std::set<int> frames;
    for (double k : job.keys) frames.insert(int(k));
    if (!job.exportFile.empty()) frames.insert(job.frames.begin(), job.frames.end());
    Progress progress("Correction", int(frames.size()), progressStream());
    int done = 0;
    for (int f : frames) {
        for (const auto& [view, name] :
             {std::pair{job.leftView, job.leftName}, {job.rightView, job.rightName}}) {
            if (job.result == job.aligner) {
                job.corrections.push_back(sampleCorrection(*job.aligner, f, view, name));
                continue;
            }
            // The views left as they are: the identity.
            ViewCorrection c;
            c.frame = f;
            c.view = name;
            c.inputWidth = c.outputWidth = job.frame.width;
            c.inputHeight = c.outputHeight = job.frame.height;
            job.corrections.push_back(c);
        }
        progress.update(++done);
    }
    progress.finish();
}

Confidence runAlign(const AlignOptions& options, std::ostream& out) {
    const auto start = std::chrono::steady_clock::now();
    Undo::Suspend noUndo;
    AlignJob job;
    job.options = options;
    const std::pair<const char*, void (*)(AlignJob&)> steps[] = {
        {"options", checkOptions}, {"plate", readPlate},       {"graph", buildGraph},
        {"analysis", analyse},     {"check", checkCorrection}, {"framing", frameViews},
        {"render", renderViews},   {"measure", measure},       {"corrections", measureCorrections},
    };
    for (const auto& [name, step] : steps) {
        const auto t = std::chrono::steady_clock::now();
        step(job);
        std::ostringstream line;
        line << "align: " << name << " done in "
             << std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count() << " s";
        detail(line.str());
    }
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writeReport(job, out);
    return job.verdict.level;
}

} // namespace Kestrel
