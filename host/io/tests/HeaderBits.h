// The bits per sample that an image file's header gives, read with the library itself.
#pragma once

#include <OpenImageIO/imageio.h>

#include <string>

namespace Kestrel::IO::Test {

// The file's sample type, or a narrower count of bits stored in it (DPX); 0 when it cannot be
// opened.
inline int headerBits(const std::string& path) {
    auto in = OIIO::ImageInput::open(path);
    if (!in) return 0;
    return in->spec().get_int_attribute("oiio:BitsPerSample", int(in->spec().format.size() * 8));
}

} // namespace Kestrel::IO::Test
