// Bounds on what an image file's header may ask for. A header is untrusted: a damaged or
// hostile one can claim a window of billions of pixels, and the reader would allocate it, or
// hand the host a format so large that every later step renders millions of rows.
#pragma once

#include "Kestrel/IO/IOError.h"

#include <string>

namespace Kestrel::IO {

// The widest or tallest window a file may give (four times a 16K frame).
constexpr long long kMaxImageSide = 65536;
// The most samples (pixels times channels) a file may give, 2 GiB as floats.
constexpr long long kMaxImageSamples = 1LL << 29;
// The most samples a byte of a file may give: a blank one-bit palette PNG, the most compressed
// image there is, gives about 24,000.
constexpr long long kMaxSamplesPerByte = 32768;

// Throws IOError naming the file when a window of `width` x `height` pixels (the data or the
// display window, named by `what`) is empty or wider or taller than kMaxImageSide, or when its
// corner at (x, y) lies further than kMaxImageSide from the origin.
inline void checkImageWindow(const std::string& path, const char* what, long long x, long long y,
                             long long width, long long height) {
    const bool outside =
        x < -kMaxImageSide || x > kMaxImageSide || y < -kMaxImageSide || y > kMaxImageSide;
    if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide || outside)
        throw IOError("cannot read " + path + ": its header gives a " + what + " of " +
                      std::to_string(width) + " x " + std::to_string(height) + " at " +
                      std::to_string(x) + "," + std::to_string(y) +
                      ", beyond what an image holds (1 to " + std::to_string(kMaxImageSide) +
                      " pixels a side, placed within " + std::to_string(kMaxImageSide) +
                      " of the origin); the header is damaged, replace the file");
}

// Throws IOError naming the file when `width` x `height` pixels (each no more than
// kMaxImageSide) of `channels` channels are more than kMaxImageSamples or more than a file of
// `fileBytes` bytes can hold.
inline void checkImageSamples(const std::string& path, long long width, long long height,
                              long long channels, long long fileBytes) {
    const long long samples = width * height * channels;
    if (channels < 1 || samples > kMaxImageSamples || samples / kMaxSamplesPerByte > fileBytes)
        throw IOError("cannot read " + path + ": its header gives " + std::to_string(width) +
                      " x " + std::to_string(height) + " pixels of " + std::to_string(channels) +
                      " channels, more than a file of " + std::to_string(fileBytes) +
                      " bytes holds (and an image at most " + std::to_string(kMaxImageSamples) +
                      " samples); the header is damaged, replace the file");
}

} // namespace Kestrel::IO
