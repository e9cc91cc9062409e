// Reading image files into ImageData.
//
// OpenEXR files are read with their views, layers and header attributes; every other format
// that OpenImageIO reads (PNG, JPEG, TIFF, DPX, ...) gives one unnamed view of its colour
// channels (a one-channel grey image fills red, green and blue), premultiplied by alpha as the
// host's colour is, and no metadata. Every file gives its bits per sample (ImageData::bitDepth).
//
// Views of an EXR file:
// - Single part with a `multiView` attribute: the first listed view is the default view. A
//   channel belongs to view V when its name starts with "V." (right.R, right.disparityL.x), or,
//   as some writers name them, when V is its second-to-last part (disparityL.right.x); the view
//   part is removed. Every other channel belongs to the default view.
// - Parts with a `view` attribute (several parts, or one part without `multiView`): each view
//   named by a part is a view, in part order, and its channel names have no view. Parts without
//   a `view` attribute add their channels to the first view.
// - Otherwise the file has one unnamed view holding the channels of all its parts.
// Channel names map to host channels as ChannelNames.h says.
//
// Metadata: attributes map to keys as ImageWriter.h describes; the reader takes the attributes of
// every part, the first part winning where parts disagree.
//
// Every failure throws IOError naming the file (and the view or channel) and what to do.
#pragma once

#include "Kestrel/IO/ImageData.h"
#include "Kestrel/IO/PathPattern.h"

#include <string>
#include <vector>

namespace Kestrel::IO {

struct ReadOptions {
    // Views to read, in this order; empty reads every view of the file. A file without views
    // serves any requested view: its image is returned under each requested name.
    std::vector<std::string> views;
    // Channels to read; empty reads every channel. Every requested channel must be in every
    // view read.
    Kx::Image::ChannelSet channels;
};

ImageData readImage(const std::string& path, const ReadOptions& options = {});

// Whether the file can hold views of its own (an OpenEXR file, told by its first bytes):
// every other file gives the same image for any view asked. False for a file that cannot be
// opened.
bool fileHoldsViews(const std::string& path);

// Reads frame `frame` of view `view` of a sequence: the file pattern.expand(frame, view), which
// must exist (a missing frame names the sequence, the frame and the file). The result has the
// one view `view` (or, for an empty view name, every view of the file).
ImageData readFrame(const PathPattern& pattern, int frame, const std::string& view,
                    const Kx::Image::ChannelSet& channels = {});

// Reading ahead. A sequence that knows which frame comes next starts reading its files on a
// thread of their own while the current frame renders, so that decoding a file overlaps with
// the work on the frame before it. readFrameAhead(pattern, frame, view, channels) starts that
// read of the file readFrame would read with the same arguments, unless the file does not
// exist or its read is already under way; readFrame then takes the image from it, waiting for
// it to finish, and gives the same result (or the same error) as reading the file then. A file
// changed on disk since its read began (other time or size) is read again.
// Memory stays bounded: at most kMaxFilesAhead files are held ahead, the oldest started read
// being dropped when another starts; clearReadAhead() drops them all.
constexpr size_t kMaxFilesAhead = 4;
void readFrameAhead(const PathPattern& pattern, int frame, const std::string& view,
                    const Kx::Image::ChannelSet& channels = {});
void clearReadAhead();
// The number of files read ahead and not yet taken.
size_t filesReadAhead();

} // namespace Kestrel::IO
