// The contact sheet of kestrel align (--contact-sheet): one row per chosen frame (the first,
// the middle key and the last), the plate's red/cyan anaglyph before the correction on the
// left and the aligned one on the right, each panel captioned with its frame, whether it is
// before or after, and which view is which colour. Rows of the sheet count from the bottom, as
// the host's do; the first frame's row is at the top of the image.
//
// Scene-linear plates (OpenEXR) go through the sRGB view transform, as a viewer shows them.
// Captions are drawn by the image library's text renderer with the DejaVu Sans font of Debian's
// fonts-dejavu-core package; without it the job stops before any work, saying what to install.
#pragma once

#include "AlignSteps.h"

#include <Kestrel/IO/ImageData.h>

#include <string>

namespace Kestrel {

// The font of the captions: the file of Debian's fonts-dejavu-core.
inline constexpr const char* kLabelFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// Throws UsageError naming `option`, the font file and the package when the font is missing.
void requireLabelFont(const std::string& option, const std::string& font = kLabelFont);

// Draws `text` in white over `pixels` (red, green and blue; rows bottom-up), its top-left
// corner at column x and row yFromTop counted from the top row, `size` pixels high. Coverage
// blends the text into what is there; pixels the text does not touch keep their values. Throws
// std::runtime_error naming the font when it cannot be read.
void drawLabel(IO::ViewPixels& pixels, int x, int yFromTop, const std::string& text, int size,
               const std::string& font = kLabelFont);

// Writes the job's contact sheet to job.contactSheet (a one-view image file).
void writeContactSheet(const AlignJob& job);

} // namespace Kestrel
