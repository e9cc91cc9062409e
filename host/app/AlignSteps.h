// The steps of kestrel align, in the order the job runs them. Each takes the job as the
// steps before it left it and adds its part; each can be run and tested alone from a job
// filled in as far as it needs.
//
//   checkOptions   the option values, the outputs' file types and folders (no file is read)
//   readPlate      the plate's files, frames and views; no output overwrites a file of it
//   buildGraph     the graph and the --set values; the views' sizes and the rig are checked
//   analyse        the analysis keys, Match at the keys
//   checkCorrection  the correction chosen and checked on matches held out of its fit
//   frameViews     the framing (fix point, zoom)
//   renderViews    the script saved, both views rendered
//   measure        matches found afresh in the output at the keys and the least sure frames
//   measureCorrections  the correction of each view as a homography fitted to its STMap
//   writeReport    the printed report, its JSON, the contact sheet and the export
#pragma once

#include "Align.h"
#include "AlignCheck.h"
#include "Correction.h"

#include <Kx/Image/Script.h>
#include <nodes/FrameNotices.h>

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace Kestrel {

// The vertical disparity of matches: right minus left, in pixels with y up, so a positive
// figure means the right view's point stands higher than the left's.
struct DisparityStats {
    size_t count = 0;
    double mean = 0, rms = 0, max = 0;
};
DisparityStats verticalDisparity(const std::vector<MatchPair>& pairs);

// The correction of one view at one frame, measured from the node's STMap.
struct ViewCorrection {
    int frame = 0;
    std::string view;
    int inputWidth = 0, inputHeight = 0, outputWidth = 0, outputHeight = 0;
    FittedHomography fit;
};

// A knob of a node; a missing one fails the job naming the node and the knob.
Kx::Image::Knob& knob(Kx::Image::Node& node, const char* name);

// The node's stored matches as their script text holds them: per frame, each track's line
// and, when the track pairs a feature of the left camera (0) with one of the right (1), that
// pair and the track's error (px; negative when the track has no point).
struct StoredTrack {
    std::string line;
    bool paired = false;
    MatchPair pair{};
    double error = 0;
};
using StoredTracks = std::map<int, std::vector<StoredTrack>>;
// Reads them from the aligner's controlPoints knob; throws std::runtime_error naming the
// node and the line when the text is malformed.
StoredTracks storedTracks(Kx::Image::Node& aligner);
// Writes them back, whole.
void storeTracks(Kx::Image::Node& aligner, const StoredTracks& tracks);
// The pairs of every frame.
std::map<int, std::vector<MatchPair>> pairsOf(const StoredTracks& tracks);

// The correction of a view at a frame as the aligner's STMap gives it, on a grid of output
// pixels about 64 steps across the shorter side.
CorrectionGrid correctionGrid(Kx::Image::Node& aligner, int frame, int view);

// A correction the job tried: the preset (or "Shift", "None"), the node's options it set,
// and its held-out residual or why it was not tried.
struct TriedCorrection {
    std::string name;
    unsigned options = 0;
    ResidualStats heldOut;
    std::string refused; // why the matches rule it out; empty when tried
};

// AlignJob::preset when the job chooses it.
inline constexpr int kAutoPreset = -1;

struct AlignJob {
    AlignOptions options;
    int preset = 0, space = 0, filter = 0; // enumeration indices of the node's knobs

    // Paths, absolute.
    std::filesystem::path output, script, report, contactSheet, exportFile;

    // The plate.
    FrameSize frame;          // the views' size
    bool rigMetadata = false; // the plate names its cameras' rig
    std::vector<int> frames;
    std::vector<std::string> views = {"left", "right"};
    std::string leftName = "left", rightName = "right";
    struct Sequence {
        std::string pattern;     // one view's files, or every view's (a multi-view plate)
        std::vector<int> onDisk; // its frames on disk
    };
    std::vector<Sequence> sequences;
    int leftView = 0, rightView = 0;

    // The graph.
    std::unique_ptr<Kx::Image::Graph> graph;
    Kx::Image::Node* plate = nullptr;    // the plate, with the disparity when measured
    Kx::Image::Node* channels = nullptr; // the plate with the STMap's channels: the aligner's input
    Kx::Image::Node* aligner = nullptr;
    Kx::Image::Node* result = nullptr; // what the Write writes: the aligner, or the plate as it is
    Kx::Image::Node* write = nullptr;

    // The work.
    std::set<double> keys;
    std::map<int, std::vector<MatchPair>> before, after; // per frame
    std::vector<int> written, measured;
    std::vector<Nodes::FrameNotice> filled;
    std::vector<ViewCorrection> corrections; // per frame and view, frames in order
    std::vector<std::string> warnings;
    double seconds = 0;

    // The check of the correction: what was tried and chosen, the held-out matches before
    // and after, the residual of all the keys' matches per region and from centre to edge.
    std::vector<TriedCorrection> tried;
    std::string chosen;
    ResidualStats heldOutBefore, heldOutAfter;
    std::map<int, Coverage> coverageBefore, coverageAfter; // per key
    std::array<ResidualStats, kRegions> regions;
    EdgeGrowth edges;
    TrustFacts facts;
    Verdict verdict;
};

void checkOptions(AlignJob& job);
void readPlate(AlignJob& job);
void buildGraph(AlignJob& job);
void analyse(AlignJob& job);
void checkCorrection(AlignJob& job);
void frameViews(AlignJob& job);
void renderViews(AlignJob& job);
void measure(AlignJob& job);
void measureCorrections(AlignJob& job);
void writeReport(AlignJob& job, std::ostream& out);

} // namespace Kestrel
