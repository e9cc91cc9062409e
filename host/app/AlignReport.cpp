// The end of kestrel align: the report, printed and as JSON, the contact sheet
// (ContactSheet.h) and the export of the correction.
//
// The export (--export-correction FILE.json) is how the correction travels to other tools:
// per view and frame, the homography from input to output pixels in the image-file
// convention (x right, y down from the top row, pixel centres at whole numbers), which is
// what OpenCV's warpPerspective(input, M, size) takes, and the corner pin of the frame in the
// host's convention (y up from the bottom edge, corners of the frame). A correction that is
// not a homography (vertical skew, local alignment) is flagged "exact": false with the
// largest departure in pixels: the homography is then the closest one, and the STMap
// (--stmap) is the exact form.
#include "AlignSteps.h"
#include "AlignerKnobs.h"
#include "ContactSheet.h"
#include "Verbosity.h"

#include <Kestrel/IO/FrameList.h>
#include <Kx/Image/Iop.h>
#include <Kx/Image/Knob.h>
#include <Kx/Image/Node.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <stdexcept>

#ifndef KESTREL_VERSION
#error "the build names the program's version in KESTREL_VERSION"
#endif

namespace fs = std::filesystem;
using namespace Kx::Image;

namespace Kestrel {

namespace {

// A correction whose STMap departs from its homography by less than this is one: a fitted
// exact homography is off by rounding only (about 1e-6 px at 4K in single precision), while
// vertical skew and the local correction move pixels by tenths.
constexpr double kExactTolerance = 0.01;

constexpr const char* kVerticalConvention =
    "vertical disparity is the right view's row minus the left view's, in pixels with y "
    "upward: a positive figure means the right view's point stands higher";
constexpr const char* kCorrectionConvention =
    "corrections map input to output pixels of the host (x right, y up from the bottom row, "
    "pixel centres at i + 0.5), taken about the frame's centre: rotation counter-clockwise in "
    "degrees, shift of the centre in pixels, scale, horizontal skew, keystone as the change of "
    "scale at the right and top edges; matrix is the 3 x 3 homography acting on (x, y, 1)";

double knobValue(Node& node, const char* name, int component = 0) {
    Knob* k = node.knob(name);
    if (!k) throw std::runtime_error("node " + node.name() + " has no knob \"" + name + "\"");
    return k->value(component);
}

nlohmann::json toJson(const DisparityStats& s) {
    return {{"matches", s.count}, {"mean", s.mean}, {"rms", s.rms}, {"max", s.max}};
}

nlohmann::json toJson(const ResidualStats& s) {
    return {{"matches", s.count}, {"rms", s.rms}};
}

nlohmann::json toJson(const Coverage& c) {
    return {{"cells", c.covered}, {"share", c.share()}, {"matches", c.matches}};
}

nlohmann::json toJson(const Eigen::Matrix3d& m) {
    nlohmann::json rows = nlohmann::json::array();
    for (int r = 0; r < 3; ++r) rows.push_back({m(r, 0), m(r, 1), m(r, 2)});
    return rows;
}

bool exact(const ViewCorrection& c) {
    return c.fit.maxResidual < kExactTolerance;
}

nlohmann::json toJson(const ViewCorrection& c) {
    const CorrectionFigures f = figuresOf(c.fit.inputToOutput, c.inputWidth, c.inputHeight);
    return {{"rotationDegrees", f.rotationDegrees},
            {"shift", {{"x", f.shiftX}, {"y", f.shiftY}}},
            {"scale", {{"x", f.scaleX}, {"y", f.scaleY}}},
            {"skew", f.skew},
            {"keystone", {{"x", f.keystoneX}, {"y", f.keystoneY}}},
            {"matrix", toJson(c.fit.inputToOutput)},
            {"homography", exact(c)},
            {"maxDeparture", c.fit.maxResidual}};
}

// Writes text to a file whole or not at all: into a temporary beside it, renamed at the end.
void writeFile(const fs::path& path, const std::string& text, const std::string& what) {
    std::error_code made;
    fs::create_directories(path.parent_path(), made);
    const fs::path tmp = path.string() + ".tmp";
    std::ofstream f(tmp);
    f << text;
    f.close();
    if (!f || made) {
        fs::remove(tmp, made);
        throw std::runtime_error("cannot write the " + what + " " + path.string() +
                                 ": check the folder is writable and the disk not full");
    }
    fs::rename(tmp, path);
}

// The export: per view and frame, the homography for OpenCV and the corner pin.
nlohmann::json exportJson(const AlignJob& job) {
    nlohmann::json views = nlohmann::json::object();
    for (const ViewCorrection& c : job.corrections) {
        if (!std::binary_search(job.frames.begin(), job.frames.end(), c.frame)) continue;
        const auto pin = cornerPin(c.fit.inputToOutput, c.inputWidth, c.inputHeight);
        nlohmann::json to = nlohmann::json::array();
        for (const auto& p : pin) to.push_back({p.x(), p.y()});
        const double w = c.inputWidth, h = c.inputHeight;
        nlohmann::json entry = {
            {"frame", c.frame},
            {"homography",
             toJson(toTopLeftPixels(c.fit.inputToOutput, c.inputHeight, c.outputHeight))},
            {"cornerPin", {{"from", {{0.0, 0.0}, {w, 0.0}, {w, h}, {0.0, h}}}, {"to", to}}},
            {"exact", exact(c)},
            {"maxDeparture", c.fit.maxResidual}};
        if (!exact(c))
            entry["note"] = "not a pure homography (vertical skew or local correction): this is "
                            "the closest one; the STMap (--stmap) is the exact correction";
        views[c.view].push_back(entry);
    }
    const ViewCorrection& first = job.corrections.front();
    return {{"version", KESTREL_VERSION},
            {"inputSize", {first.inputWidth, first.inputHeight}},
            {"outputSize", {first.outputWidth, first.outputHeight}},
            {"homographyConvention",
             "maps input to output pixels; x right, y down from the top row, pixel centres "
             "at whole numbers: OpenCV's warpPerspective(input, homography, outputSize)"},
            {"cornerPinConvention",
             "corners of the frame bottom-left, bottom-right, top-right, top-left, in pixels "
             "with y up from the bottom edge"},
            {"views", views}};
}

} // namespace

void writeReport(AlignJob& job, std::ostream& out) {
    namespace K = AlignerKnobs;
    const AlignOptions& o = job.options;
    Node& aligner = *job.aligner;
    nlohmann::json report;
    report["version"] = KESTREL_VERSION;
    report["conventions"] = {{"verticalDisparity", kVerticalConvention},
                             {"corrections", kCorrectionConvention}};
    if (o.demo) {
        report["plate"] = "synthetic stereo plate (demo)";
        report["inputs"] = {{"left", nullptr}, {"right", nullptr}};
    } else {
        const std::string left = job.sequences.front().pattern;
        const std::string right = job.sequences.back().pattern;
        report["plate"] = left + (right == left ? "" : " + " + right);
        report["inputs"] = {{"left", left}, {"right", right}};
    }
    report["views"] = {job.leftName, job.rightName};
    report["frames"] = Kestrel::IO::formatFrameList(job.frames);
    report["framesWritten"] = job.written;
    report["missingFrames"] = o.missingFrames;
    report["filledFrames"] = nlohmann::json::array();
    for (const Nodes::FrameNotice& n : job.filled) {
        report["filledFrames"].push_back(
            {{"frame", n.frame}, {"file", n.file}, {"read", n.node}, {"filled", n.action}});
        job.warnings.push_back("frame " + std::to_string(n.frame) + " filled (--missing-frames " +
                               o.missingFrames + "): " + n.file + " is missing, " + n.action);
    }
    const bool solvedLayout = knobValue(aligner, K::kLayoutType) == K::kStereoLayout;
    report["preset"] = job.chosen;
    report["presetAsked"] = o.preset;
    report["space"] = o.space;
    report["filter"] = o.filter;
    report["keyStep"] = o.keyStep;
    report["layout"] = solvedLayout ? "Stereo Layout (the pair's pose is solved from the matches)"
                                    : "Default (Source) (the cameras as the plate gives them)";

    // The check of the correction.
    nlohmann::json tried = nlohmann::json::array();
    for (const TriedCorrection& t : job.tried) {
        nlohmann::json entry = {{"preset", t.name}, {"used", t.name == job.chosen}};
        if (t.refused.empty())
            entry["heldOutRms"] = t.heldOut.rms;
        else
            entry["notTried"] = t.refused;
        tried.push_back(entry);
    }
    report["corrections"] = tried;
    report["heldOut"] = {{"matches", job.heldOutBefore.count},
                         {"before", job.heldOutBefore.rms},
                         {"after", job.heldOutAfter.rms},
                         {"note", "vertical disparity RMS in px of the matches held out of the "
                                  "fit (every fifth in each cell of the grid), under the "
                                  "correction fitted without them"}};
    const auto leastOf = [](const std::map<int, Coverage>& perKey) {
        std::optional<std::pair<int, Coverage>> least;
        for (const auto& [k, c] : perKey)
            if (!least || c.covered < least->second.covered) least = std::make_pair(k, c);
        return least;
    };
    const auto coverageBefore = leastOf(job.coverageBefore);
    const auto coverageAfter = leastOf(job.coverageAfter);
    report["coverage"] = {{"grid", {kCoverageGrid, kCoverageGrid}},
                          {"matchesPerCell", kMatchesPerCell}};
    if (coverageBefore) {
        report["coverage"]["before"] = toJson(coverageBefore->second);
        report["coverage"]["before"]["frame"] = coverageBefore->first;
    }
    if (coverageAfter) {
        report["coverage"]["after"] = toJson(coverageAfter->second);
        report["coverage"]["after"]["frame"] = coverageAfter->first;
    }
    nlohmann::json regions = nlohmann::json::object();
    for (int r = 0; r < kRegions; ++r)
        regions[regionName(Region(r))] = toJson(job.regions[size_t(r)]);
    report["regions"] = regions;
    report["edges"] = {{"centre", toJson(job.edges.inner)},
                       {"edges", toJson(job.edges.outer)},
                       {"grows", job.edges.grows}};
    report["confidence"] = {{"level", confidenceName(job.verdict.level)},
                            {"reason", job.verdict.reason}};
    const bool zoom = knobValue(aligner, K::kScaleToFit) != 0;
    const bool fix = knobValue(aligner, K::kFixParallax) != 0;
    report["zoom"] = {{"on", zoom}, {"scale", knobValue(aligner, K::kScale)}};
    report["fixPoint"] = {
        {"on", fix},
        {"point", {knobValue(aligner, K::kFixPoint, 0), knobValue(aligner, K::kFixPoint, 1)}},
        {"offset", knobValue(aligner, K::kOffset)}};
    if (!o.analyseOnly) report["output"] = job.output.string();
    report["script"] = job.script.string();

    std::vector<MatchPair> allBefore, allAfter;
    for (double key : job.keys) {
        const int k = int(key);
        const auto& b = job.before.at(k);
        allBefore.insert(allBefore.end(), b.begin(), b.end());
        nlohmann::json entry = {{"frame", k}, {"before", toJson(verticalDisparity(b))}};
        if (job.coverageBefore.count(k))
            entry["coverage"]["before"] = toJson(job.coverageBefore.at(k));
        if (job.coverageAfter.count(k))
            entry["coverage"]["after"] = toJson(job.coverageAfter.at(k));
        if (!o.analyseOnly)
            entry["after"] = toJson(
                verticalDisparity(job.after.count(k) ? job.after.at(k) : std::vector<MatchPair>{}));
        for (const ViewCorrection& c : job.corrections)
            if (c.frame == k) entry["correction"][c.view] = toJson(c);
        report["keys"].push_back(entry);
    }
    report["before"] = toJson(verticalDisparity(allBefore));
    // The worst frame is the worst of those measured with matches: a frame where none are
    // found (a black frame filled in for a missing one) has no figure, not 0 px.
    std::optional<std::pair<int, DisparityStats>> worst;
    for (int f : job.measured) {
        const auto& pairs = job.after.count(f) ? job.after.at(f) : std::vector<MatchPair>{};
        const DisparityStats st = verticalDisparity(pairs);
        allAfter.insert(allAfter.end(), pairs.begin(), pairs.end());
        nlohmann::json entry = toJson(st);
        entry["frame"] = f;
        entry["key"] = job.keys.count(double(f)) > 0;
        report["measured"].push_back(entry);
        if (st.count > 0 && (!worst || st.rms > worst->second.rms)) worst = std::make_pair(f, st);
    }
    if (!o.analyseOnly) {
        report["after"] = toJson(verticalDisparity(allAfter));
        if (worst)
            report["worst"] = {{"frame", worst->first}, {"rms", worst->second.rms}};
        else
            job.warnings.push_back("no matches found in the output: check the output frames "
                                   "by eye");
    }
    if (!job.exportFile.empty())
        for (const ViewCorrection& c : job.corrections)
            if (!exact(c)) {
                job.warnings.push_back(
                    "the correction is not a pure homography (it departs by up to " +
                    std::to_string(c.fit.maxResidual) +
                    " px): the exported homographies are the closest ones; use the STMap "
                    "(--stmap) for the exact correction");
                break;
            }
    report["seconds"] = job.seconds;

    if (!job.contactSheet.empty()) {
        writeContactSheet(job);
        report["contactSheet"] = job.contactSheet.string();
    }
    if (!job.exportFile.empty()) {
        writeFile(job.exportFile, exportJson(job).dump(2) + "\n", "correction export");
        report["exportCorrection"] = job.exportFile.string();
    }
    report["warnings"] = job.warnings;
    if (!job.report.empty()) writeFile(job.report, report.dump(2) + "\n", "report");

    if (verbosity() == Verbosity::Quiet) return;
    const DisparityStats b = verticalDisparity(allBefore), a = verticalDisparity(allAfter);
    out << std::fixed << std::setprecision(3);
    out << (o.analyseOnly ? "Analysed " : "Aligned ") << report["plate"].get<std::string>()
        << ", views " << job.leftName << " and " << job.rightName << ", frames "
        << Kestrel::IO::formatFrameList(job.frames) << "\n";
    out << "  kestrel " << KESTREL_VERSION << ", preset " << job.chosen
        << (o.preset == job.chosen ? "" : " (asked " + o.preset + ")") << ", " << o.space
        << " space, "
        << (solvedLayout ? "Stereo Layout (no rig metadata used)"
                         : "cameras as the plate gives them")
        << ", filter " << o.filter << ", key step " << o.keyStep << "\n";
    out << "  zoom " << (zoom ? "on" : "off") << ", scale " << knobValue(aligner, K::kScale)
        << "; fix point " << (fix ? "on" : "off") << ", offset " << knobValue(aligner, K::kOffset)
        << " px\n";
    out << "  keys:";
    for (double key : job.keys)
        out << " " << int(key) << " (" << job.before.at(int(key)).size() << " matches)";
    out << "\n";
    for (const ViewCorrection& c : job.corrections) {
        if (!job.keys.count(double(c.frame))) continue;
        const CorrectionFigures f = figuresOf(c.fit.inputToOutput, c.inputWidth, c.inputHeight);
        out << "  correction at " << c.frame << ", " << c.view << ": rotation " << f.rotationDegrees
            << " deg, shift " << f.shiftX << "," << f.shiftY << " px, scale " << f.scaleX << ","
            << f.scaleY << ", skew " << f.skew << ", keystone " << f.keystoneX << "," << f.keystoneY
            << (exact(c) ? "" : " (not a pure homography)") << "\n";
    }
    out << "  vertical disparity of the matches, before: mean " << b.mean << " px, RMS " << b.rms
        << " px, max " << b.max << " px (" << b.count << " matches)\n";
    if (!o.analyseOnly) {
        out << "  vertical disparity of the matches, after:  mean " << a.mean << " px, RMS "
            << a.rms << " px, max " << a.max << " px (" << a.count
            << " matches found afresh in the output)\n";
        out << "  after, per measured frame (RMS):";
        for (int f : job.measured) {
            const DisparityStats st =
                verticalDisparity(job.after.count(f) ? job.after.at(f) : std::vector<MatchPair>{});
            out << " " << f << ": ";
            if (st.count > 0)
                out << st.rms << " px";
            else
                out << "no matches";
            out << (f == job.measured.back() ? "\n" : ",");
        }
        if (worst)
            out << "  worst frame " << worst->first << ": RMS " << worst->second.rms << " px\n";
        out << "  frames written " << Kestrel::IO::formatFrameList(job.written) << "\n";
        out << "  output " << job.output.string() << "\n";
    }
    out << "  corrections tried on the held-out matches:";
    for (const TriedCorrection& t : job.tried) {
        out << " " << t.name << " ";
        if (t.refused.empty())
            out << t.heldOut.rms << " px";
        else
            out << "(not tried)";
        out << (&t == &job.tried.back() ? "\n" : ",");
    }
    out << "  held-out matches (" << job.heldOutBefore.count
        << ", left out of the fit): before RMS " << job.heldOutBefore.rms << " px, after RMS "
        << job.heldOutAfter.rms << " px\n";
    out << "  coverage (cells of a " << kCoverageGrid << " x " << kCoverageGrid
        << " grid with matches, the least covered key)";
    if (coverageBefore)
        out << ": before " << coverageBefore->second.covered << " of "
            << kCoverageGrid * kCoverageGrid;
    if (coverageAfter)
        out << ", after " << coverageAfter->second.covered << " of "
            << kCoverageGrid * kCoverageGrid;
    out << "\n  residual per region after (RMS):";
    for (int r = 0; r < kRegions; ++r) {
        const ResidualStats& st = job.regions[size_t(r)];
        out << " " << regionName(Region(r)) << " ";
        if (st.count)
            out << st.rms << " px";
        else
            out << "no matches";
        out << (r + 1 == kRegions ? "\n" : ",");
    }
    out << "  confidence: " << confidenceName(job.verdict.level) << " (" << job.verdict.reason
        << ")\n";
    out << "  (" << kVerticalConvention << ")\n";
    out << "  script " << job.script.string() << "\n";
    if (o.analyseOnly)
        out << "  nothing rendered: render chunks with kestrel render " << job.script.string()
            << " --frames A-B\n";
    if (!job.contactSheet.empty()) out << "  contact sheet " << job.contactSheet.string() << "\n";
    if (!job.exportFile.empty()) out << "  correction " << job.exportFile.string() << "\n";
    for (const std::string& w : job.warnings) out << "  warning: " << w << "\n";
    out << "  time " << std::setprecision(1) << job.seconds << " s\n";
}

} // namespace Kestrel
