// Writing image files: EXR through OpenEXR, the integer formats through OpenImageIO, always by
// way of a temporary file renamed when complete.
#include "Kestrel/IO/ImageWriter.h"

#include "ExrFile.h"
#include "Kestrel/IO/IOError.h"
#include "OiioFile.h"
#include "TemporaryFile.h"

#include <cctype>
#include <filesystem>

namespace Kestrel::IO {

using namespace Kx::Image;

namespace {

bool isExrPath(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".exr";
}

// Every channel asked for must be in every view.
void checkChannels(const std::string& path, const ImageData& image, const ChannelSet& channels) {
    for (size_t i = 0; i < image.viewCount(); ++i)
        for (Channel z : channels)
            if (!image.view(i).channels().contains(z))
                throw IOError("cannot write " + path + ": " +
                              (image.viewName(i).empty() ? "the image"
                                                         : "view \"" + image.viewName(i) + "\"") +
                              " has no channel " + getName(z) +
                              "; write only channels that every view has");
}

} // namespace

void writeImage(const std::string& path, const ImageData& image, const WriteOptions& options) {
    const bool exr = isExrPath(path);
    const std::string formatName = exr ? "openexr" : oiioFormatFor(path);
    if (formatName.empty())
        throw IOError("cannot write " + path +
                      ": unknown file type; end the name in .exr, .png, .jpg, .tif or .dpx");
    if (image.viewCount() == 0)
        throw IOError("cannot write " + path + ": the image has no view; give the Write an input");
    if (!exr && image.viewCount() > 1)
        throw IOError("cannot write " + path + ": the image has " +
                      std::to_string(image.viewCount()) + " views and " + formatName +
                      " files hold one; put %V in the path for one file per view, or write EXR");
    if (!exr && options.overscan)
        throw IOError("cannot write " + path + ": " + formatName +
                      " files hold the format only, not pixels outside it; turn overscan off "
                      "or write EXR");
    checkChannels(path, image, options.channels);
    try {
        TemporaryFile temporary(path);
        if (exr)
            writeExr(path, temporary.stream(), image, options);
        else
            writeOiio(path, temporary.stream(), formatName, image, options);
        temporary.commit();
    } catch (const IOError&) {
        throw;
    } catch (const std::exception& e) {
        throw IOError("cannot write " + path + ": " + e.what() +
                      "; check that its folder accepts new files and has free space");
    }
}

void writeFrame(const PathPattern& pattern, int frame, const ImageData& image,
                const WriteOptions& options) {
    if (!pattern.hasView()) {
        writeImage(pattern.expand(frame), image, options);
        return;
    }
    for (size_t i = 0; i < image.viewCount(); ++i)
        checkOutputPath(pattern.expand(frame, image.viewName(i)));
    for (size_t i = 0; i < image.viewCount(); ++i) {
        ImageData single;
        single.metadata = image.metadata;
        single.bitDepth = image.bitDepth;
        single.addView(image.viewName(i), image.view(i).sharedCopy());
        writeImage(pattern.expand(frame, image.viewName(i)), single, options);
    }
}

} // namespace Kestrel::IO
