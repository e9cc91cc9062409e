// Frames that a Read filled in because their file was missing or outside its sequence
// (missing_frames black or hold). Each is printed to standard error as a warning line when it
// first happens, and kept for the report of the job that rendered it.
#pragma once

#include <string>
#include <vector>

namespace Kestrel::Nodes {

struct FrameNotice {
    std::string node;   // the Read
    std::string file;   // the file of the frame asked for, which is missing
    int frame = 0;      // the frame asked for
    std::string action; // "black", or "held frame N" when frame N was read in its place
};

// Records a notice and prints it, once per node, file and frame until the next
// takeFrameNotices(): a frame validated again (another view, a later pass) adds nothing.
void addFrameNotice(const FrameNotice& notice);

// The notices recorded since the last call, in the order they happened; starts a new record.
// Safe from any thread.
std::vector<FrameNotice> takeFrameNotices();

} // namespace Kestrel::Nodes
