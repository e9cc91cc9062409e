// The steps of kestrel align, in the order the job runs them. Each takes the job as the
// steps before it left it and adds its part; each can be run and tested alone from a job
// filled in as far as it needs.
//
//   checkOptions   the option values, the outputs' file types and folders (no file is read)
//   readPlate      the plate's files, frames and views; no output overwrites a file of it
//   buildGraph     the graph and the --set values; the views' sizes and the rig are checked
//   analyse        the analysis keys, Match at the keys, the framing (fix point, zoom)
//   renderViews    the script saved, both views rendered
//   measure        matches found afresh in the output at the keys and the least sure frames
//   measureCorrections  the correction of each view as a homography fitted to its STMap
//   writeReport    the printed report, its JSON, the contact sheet and the export
#pragma once

#include "Align.h"
#include "Correction.h"

#include <Kx/Image/Script.h>
#include <nodes/FrameNotices.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace Kestrel {

// A match's left and right positions, host pixels (y up).
struct MatchPair {
    double xl, yl, xr, yr;
};

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

struct AlignJob {
    AlignOptions options;
    int preset = 0, space = 0, filter = 0; // enumeration indices of the node's knobs

    // Paths, absolute.
    std::filesystem::path output, script, report, contactSheet, exportFile;

    // The plate.
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
    Kx::Image::Node* plate = nullptr; // what the aligner reads
    Kx::Image::Node* aligner = nullptr;
    Kx::Image::Node* write = nullptr;

    // The work.
    std::set<double> keys;
    std::map<int, std::vector<MatchPair>> before, after; // per frame
    std::vector<int> written, measured;
    std::vector<Nodes::FrameNotice> filled;
    std::vector<ViewCorrection> corrections; // per frame and view, frames in order
    std::vector<std::string> warnings;
    double seconds = 0;
};

void checkOptions(AlignJob& job);
void readPlate(AlignJob& job);
void buildGraph(AlignJob& job);
void analyse(AlignJob& job);
void renderViews(AlignJob& job);
void measure(AlignJob& job);
void measureCorrections(AlignJob& job);
void writeReport(AlignJob& job, std::ostream& out);

} // namespace Kestrel
