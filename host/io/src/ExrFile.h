// OpenEXR files with views, layers and header attributes (conventions in ImageReader.h and
// ImageWriter.h). OpenEXR's exceptions pass through; the callers add the file name.
#pragma once

#include "Kestrel/IO/ImageReader.h"
#include "Kestrel/IO/ImageWriter.h"

#include <fstream>
#include <string>

namespace Kestrel::IO {

// True when the file starts with the OpenEXR magic number.
bool isExrFile(const std::string& path);

ImageData readExr(const std::string& path, const ReadOptions& options);

// Writes `image` to `stream`; `path` is the final path named in messages.
void writeExr(const std::string& path, std::ofstream& stream, const ImageData& image,
              const WriteOptions& options);

} // namespace Kestrel::IO
