// Writing ImageData to image files.
//
// The file type follows the extension: .exr is OpenEXR; .png, .jpg/.jpeg, .tif/.tiff and .dpx
// go through OpenImageIO.
//
// What is written of each view: with overscan off (the default) exactly its format, pixels
// outside its data box being 0 and pixels outside the format left out, so that every reader
// sees the image at its format's size; with overscan on (OpenEXR only), its data box.
//
// OpenEXR: every channel of every view (or those of WriteOptions::channels). Colour (rgba) is
// half unless asked for float; every other channel (depth, motion, disparity, the STMap, any
// named layer) is float unless asked for half, as half keeps 11 significant bits: an STMap value
// near 1 would move by 1/2048 of the width, a pixel at 4096 wide. The display window is the
// format. Compression is zip unless asked otherwise; pxr24 keeps 24 of a float's 32 bits, and
// b44, b44a, dwaa and dwab lose detail of half channels. Names follow ChannelNames.h.
// - Single part (default): a `multiView` attribute lists the views (written when the views have
//   names), the first view's channels have no prefix and the others are "view.name"
//   (right.R, right.disparityL.x). With overscan the data window is the union of the views'
//   boxes.
// - Multi-part: one part per view, named after it, with a `view` attribute; its channel names
//   have no view and with overscan its data window is that view's box.
// Both layouts hold one format (display window and pixel aspect) for all views, and names of at
// most 255 characters.
// Metadata travels as header attributes, in every part:
// - a key "exr/name" is the attribute "name" (so "exr/owner" is the standard owner attribute);
//   any other key "group/name" is an attribute of that very name (attribute names may hold a
//   slash, and no standard attribute does, so the two never meet). Reading maps back the same
//   way: an attribute without a slash becomes "exr/name".
// - int is an int attribute, double a double, string a string, and a list of doubles the
//   attribute type "doublevector": the values as little-endian IEEE doubles one after the other
//   (the count follows from the attribute size), laid out like the standard "floatvector" but
//   exact. Readers that do not know the type keep it as opaque data. Reading also takes float,
//   floatvector and the 2- and 3-vector and 3x3 and 4x4 matrix types (as row-major lists of
//   doubles).
// - Keys naming structural attributes (exr/channels, exr/dataWindow, exr/multiView, exr/view,
//   exr/name, ...) are not written: the image itself defines them. Nor are keys under "input/",
//   which describe the file an image was read from (input/bitdepth), not the file written.
//
// Other formats: the red, green and blue channels and alpha when the view has it (not in JPEG),
// clamped to 0-1 and rounded to 8 or 16 bits per sample (DPX also 10 and 12, JPEG only 8); TIFF
// is compressed with zip unless asked for lzw or none. The host's colour is premultiplied by
// alpha and these files hold it unpremultiplied: OpenImageIO divides on writing and multiplies
// on reading. They hold one view and no metadata; JPEG keeps no pixel aspect.
//
// Writing is all or nothing: the file is written to a temporary file beside it and renamed when
// complete; on any failure the temporary file is removed and IOError names the path and what to
// do (a missing folder, a path through a regular file, a folder that refuses new files).
//
// Threads: OpenEXR files are compressed on as many threads as the render engine has
// (Engine::threads), a block of rows at a time, after their rows are turned top-down into the
// file's sample types on the engine's threads (half rounding to nearest even); an interrupted
// engine (Ctrl-C) stops the write between blocks with IOError "interrupted", leaving the old file,
// if any, as it was.
#pragma once

#include "Kestrel/IO/ImageData.h"
#include "Kestrel/IO/PathPattern.h"

#include <string>

namespace Kestrel::IO {

enum class ExrPixelType { Half, Float };
enum class ExrLayout { SinglePart, MultiPart };

struct WriteOptions {
    // OpenEXR sample type of the colour channels (rgba), and of every other channel.
    ExrPixelType exrPixelType = ExrPixelType::Half;
    ExrPixelType exrDataPixelType = ExrPixelType::Float;
    ExrLayout exrLayout = ExrLayout::SinglePart;
    // Compression by name; empty is the file type's default. OpenEXR takes none, rle, zips,
    // zip, piz, pxr24, b44, b44a, dwaa and dwab; TIFF none, lzw and zip; other types no name.
    std::string compression;
    // Bits per sample of the integer formats; 0 keeps the image's own depth
    // (ImageData::bitDepth): the smallest depth the file type holds at or above it (its largest
    // when it holds none as deep), and 8 when the depth is unknown.
    int bitDepth = 0;
    // Writes each view's data box rather than its format (OpenEXR only).
    bool overscan = false;
    // Channels to write; empty writes every channel of each view. Every listed channel must be
    // in every view.
    Kx::Image::ChannelSet channels;
};

void writeImage(const std::string& path, const ImageData& image, const WriteOptions& options = {});

// Writes frame `frame` of a sequence. A pattern with %V or %v gives one file per view, each
// holding that view alone under its name; otherwise one file holds every view. All folders are
// checked before the first file is written.
void writeFrame(const PathPattern& pattern, int frame, const ImageData& image,
                const WriteOptions& options = {});

} // namespace Kestrel::IO
