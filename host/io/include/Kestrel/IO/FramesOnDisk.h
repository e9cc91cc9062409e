// The frames of a sequence that are on disk.
//
// The folders that a path pattern names are listed and every file that the pattern matches
// (PathPattern::matches) gives its frame. %V and %v match any view, so the frames of all views
// are listed together; view and frame tokens may stand in folder names too
// (plates/%V/shot.####.exr). A name whose frame digits do not fit an int, or are not padded as
// the pattern pads them (shot.12.exr for shot.####.exr), is not a frame of the sequence.
#pragma once

#include "Kestrel/IO/PathPattern.h"

#include <string>
#include <vector>

namespace Kestrel::IO {

// The frames of the files matching `pattern`, ascending, each once. A pattern without a frame
// token stands for a single file and gives {1} when that file exists (for some view, with %V).
// Throws IOError naming the pattern and the folder searched when no file matches, and for a
// pattern with an unknown % token.
std::vector<int> framesOnDisk(const PathPattern& pattern);
std::vector<int> framesOnDisk(const std::string& pattern);

} // namespace Kestrel::IO
