// Image files through OpenImageIO: one view of colour channels, no metadata (conventions in
// ImageReader.h and ImageWriter.h). Failures throw IOError naming the file.
#pragma once

#include "Kestrel/IO/ImageReader.h"
#include "Kestrel/IO/ImageWriter.h"

#include <fstream>
#include <string>

namespace Kestrel::IO {

ImageData readOiio(const std::string& path, const ReadOptions& options);

// The OpenImageIO format name for the extension of `path` ("png", "jpeg", "tiff", "dpx"), or ""
// when the extension is not one we write through OpenImageIO.
std::string oiioFormatFor(const std::string& path);

// Writes the first view of `image` to `stream` as format `formatName`; `path` is the final path
// named in messages.
void writeOiio(const std::string& path, std::ofstream& stream, const std::string& formatName,
               const ImageData& image, const WriteOptions& options);

} // namespace Kestrel::IO
