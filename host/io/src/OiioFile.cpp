// PNG, JPEG, TIFF, DPX and the other formats of OpenImageIO: colour channels of one view.
#include "OiioFile.h"

#include "ImageLimits.h"
#include "Kestrel/IO/ChannelNames.h"
#include "Kestrel/IO/IOError.h"
#include "ReadSelection.h"

#include <Kx/Image/Engine.h>
#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <type_traits>

namespace Kestrel::IO {

using namespace Kx::Image;

namespace {

struct FormatInfo {
    const char* extension;
    const char* name;
    bool alpha;  // holds an alpha channel
    bool aspect; // holds the pixel aspect ratio (JPEG's densities come back inverted)
    std::array<int, 4> bitDepths;        // ascending, 0 ends the list
    std::array<const char*, 3> compress; // compression names, the default first; null ends
};

constexpr std::array<FormatInfo, 6> kFormats{{
    {".png", "png", true, true, {8, 16}, {}},
    {".jpg", "jpeg", false, false, {8}, {}},
    {".jpeg", "jpeg", false, false, {8}, {}},
    {".tif", "tiff", true, true, {8, 16}, {"zip", "lzw", "none"}},
    {".tiff", "tiff", true, true, {8, 16}, {"zip", "lzw", "none"}},
    {".dpx", "dpx", true, true, {8, 10, 12, 16}, {}},
}};

const FormatInfo* formatInfo(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    for (const FormatInfo& f : kFormats)
        if (ext == f.extension) return &f;
    return nullptr;
}

// A one-channel grey image (OpenImageIO names its channel Y) fills red, green and blue.
bool isGrey(const OIIO::ImageSpec& spec) {
    if (spec.nchannels != 1) return false;
    const std::string& name = spec.channelnames[0];
    return name == "Y" || name == "L" || name == "I";
}

// The library's reason for a failure; some of its readers fail without giving one.
std::string reason(const std::string& error) {
    return error.empty() ? "the file is damaged or not an image of a kind this reader reads"
                         : error;
}

// A JPEG's coded data ends with the end-of-image marker after its last scan. The library
// decodes a file cut short without failing, filling the missing rows; this refuses it.
void checkJpegIsComplete(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(file), {}};
    // Inside a scan's coded data 0xFF is always followed by 0x00 or a restart marker, so the
    // last start-of-scan marker found is a real one, and so is an end-of-image marker after it.
    const size_t scan = bytes.rfind("\xFF\xDA");
    if (scan == std::string::npos || bytes.find("\xFF\xD9", scan) == std::string::npos)
        throw IOError("cannot read " + path +
                      ": the JPEG data ends before the end of its image; the file is cut short, "
                      "replace it with a complete one");
}

// A DPX header's size of its user data block, at byte 32, is taken by the library as the
// length of an attribute without a check: a damaged size past 2 GB aborts the process inside
// the library. The block must fit in the file; "undefined" (all ones) and 0 mean none.
void checkDpxUserData(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[36] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return; // the library says
    const bool big = std::memcmp(header, "SDPX", 4) == 0;
    if (!big && std::memcmp(header, "XPDS", 4) != 0) return;
    uint32_t userSize = 0;
    for (int i = 0; i < 4; ++i) userSize |= uint32_t(header[32 + i]) << (big ? 24 - 8 * i : 8 * i);
    std::error_code error;
    const auto fileSize = std::filesystem::file_size(path, error);
    if (userSize == 0 || userSize == 0xFFFFFFFFu || (!error && userSize <= fileSize)) return;
    throw IOError("cannot read " + path + ": its header gives " + std::to_string(userSize) +
                  " bytes of user data, more than the file holds; the header is damaged, "
                  "replace the file");
}

// The float of every code of an 8- or 16-bit sample, as the library's own conversion gives
// it, so that a file read at its stored depth gives the floats a float read gives.
template <typename Code> const float* codeValues() {
    static const std::vector<float> values = [] {
        constexpr size_t n = size_t(std::numeric_limits<Code>::max()) + 1;
        std::vector<Code> codes(n);
        for (size_t i = 0; i < n; ++i) codes[i] = Code(i);
        std::vector<float> out(n);
        OIIO::convert_pixel_values(OIIO::TypeDescFromC<Code>::value(), codes.data(),
                                   OIIO::TypeDesc::FLOAT, out.data(), int(n));
        return out;
    }();
    return values.data();
}

// Channel c of an interleaved row of nch channels into a plane row, through the table of code
// values when there is one.
template <typename Sample>
void planeRow(const Sample* src, int nch, int c, int width, const float* values, float* dst) {
    for (int x = 0; x < width; ++x) {
        const Sample v = src[size_t(x) * size_t(nch) + size_t(c)];
        if constexpr (std::is_same_v<Sample, float>)
            dst[x] = v;
        else
            dst[x] = values[v];
    }
}

} // namespace

ImageData readOiio(const std::string& path, const ReadOptions& options) {
    checkDpxUserData(path);
    auto in = OIIO::ImageInput::open(path);
    if (!in)
        throw IOError("cannot read " + path + ": " + reason(OIIO::geterror()) +
                      "; check that it is a complete image file");
    const OIIO::ImageSpec& spec = in->spec();
    const int nch = spec.nchannels;
    checkImageWindow(path, "data window", spec.x, spec.y, spec.width, spec.height);
    std::error_code sizeError;
    checkImageSamples(path, spec.width, spec.height, nch,
                      static_cast<long long>(std::filesystem::file_size(path, sizeError)));
    if (spec.full_width > 0 || spec.full_height > 0)
        checkImageWindow(path, "display window", spec.full_x, spec.full_y, spec.full_width,
                         spec.full_height);

    const bool grey = isGrey(spec);
    std::vector<Channel> fileChannels;
    ChannelSet available = grey ? Mask_RGB : Mask_None;
    for (int c = 0; c < nch && !grey; ++c) {
        const std::string& name = spec.channelnames[size_t(c)];
        fileChannels.push_back(hostChannel(name));
        if (fileChannels.back() == Chan_Black)
            throw IOError("cannot read " + path + ": channel \"" + name +
                          "\" cannot be given a host channel (too many named channels); read "
                          "fewer channels");
        available.insert(fileChannels.back());
    }

    const std::vector<SelectedView> views = selectViews(path, {""}, options.views);
    const ChannelSet wanted = selectChannels(path, "", available, options.channels);

    // 8- and 16-bit samples are read as stored, a quarter or half of the floats' bytes, and
    // made floats below; any other type the library converts.
    const bool uniform = spec.channelformats.empty();
    const OIIO::TypeDesc readAs =
        uniform && (spec.format == OIIO::TypeDesc::UINT8 || spec.format == OIIO::TypeDesc::UINT16)
            ? spec.format
            : OIIO::TypeDesc(OIIO::TypeDesc::FLOAT);
    const size_t samples = size_t(spec.width) * size_t(spec.height) * size_t(nch);
    // Frame memory, which the decoder fills whole.
    const std::shared_ptr<float> decoded =
        Engine::frameBuffer((samples * readAs.size() + sizeof(float) - 1) / sizeof(float));
    const unsigned char* const pixels = reinterpret_cast<const unsigned char*>(decoded.get());
    if (!in->read_image(0, 0, 0, nch, readAs, decoded.get()))
        throw IOError("cannot read " + path + ": " + reason(in->geterror()) +
                      "; check that it is a complete image file");
    const bool jpeg = std::string(in->format_name()) == "jpeg";
    in->close();
    if (jpeg) checkJpegIsComplete(path);

    const int fullHeight = spec.full_height > 0 ? spec.full_height : spec.height;
    const int fullWidth = spec.full_width > 0 ? spec.full_width : spec.width;
    const int bottom = spec.full_y + fullHeight - 1; // the file row that is the host's row 0
    const Format format(fullWidth, fullHeight,
                        double(spec.get_float_attribute("PixelAspectRatio", 1.0f)));
    const Box box(spec.x - spec.full_x, bottom - (spec.y + spec.height - 1),
                  spec.x + spec.width - spec.full_x, bottom - spec.y + 1);

    // Every row of every channel read is written below.
    ViewPixels view = ViewPixels::unset(format, box, wanted);
    // The rows are spread over the engine's threads, each row's channels one after the other.
    Engine::parallelRows(0, spec.height, [&](int fileRow) {
        const size_t first = size_t(fileRow) * size_t(spec.width) * size_t(nch);
        for (int c = 0; c < nch; ++c) {
            const ChannelSet targets = grey ? Mask_RGB : ChannelSet{fileChannels[size_t(c)]};
            for (Channel z : targets) {
                if (!wanted.contains(z)) continue;
                float* dst = view.row(z, box.t() - 1 - fileRow);
                if (readAs == OIIO::TypeDesc::UINT8)
                    planeRow(pixels + first, nch, c, spec.width, codeValues<uint8_t>(), dst);
                else if (readAs == OIIO::TypeDesc::UINT16)
                    planeRow(reinterpret_cast<const uint16_t*>(pixels) + first, nch, c, spec.width,
                             codeValues<uint16_t>(), dst);
                else
                    planeRow(reinterpret_cast<const float*>(pixels) + first, nch, c, spec.width,
                             nullptr, dst);
            }
        }
    });

    ImageData image;
    for (size_t i = 0; i + 1 < views.size(); ++i) image.addView(views[i].name, view);
    if (!views.empty()) image.addView(views.back().name, std::move(view));
    // The header's word, within what a sample can hold.
    const int bits = spec.get_int_attribute("oiio:BitsPerSample", int(spec.format.size() * 8));
    image.bitDepth = bits >= 1 && bits <= 32 ? bits : 0;
    return image;
}

std::string oiioFormatFor(const std::string& path) {
    const FormatInfo* f = formatInfo(path);
    return f ? f->name : "";
}

namespace {

// The depth asked for, or for 0 the smallest depth the format holds at or above the image's
// own (its largest when it holds none as deep, 8 when the image's depth is unknown).
int bitDepthFor(const std::string& path, const FormatInfo& info, int asked, int imageBits) {
    std::string depths;
    int chosen = 0;
    for (int d : info.bitDepths) {
        if (d == 0) break;
        if (asked == 0 && (chosen == 0 || chosen < std::max(imageBits, 8))) chosen = d;
        if (asked == d) chosen = d;
        depths += (depths.empty() ? "" : ", ") + std::to_string(d);
    }
    if (chosen == 0)
        throw IOError("cannot write " + path + ": " + info.name + " files hold " + depths +
                      " bits per sample, not " + std::to_string(asked) +
                      "; choose one of these or write EXR");
    return chosen;
}

// The OpenImageIO compression name for a name asked for ("" is the format's default).
std::string compressionFor(const std::string& path, const FormatInfo& info,
                           const std::string& asked) {
    if (!info.compress[0]) {
        if (asked.empty()) return {};
        throw IOError("cannot write " + path + ": " + info.name +
                      " files have no choice of compression (\"" + asked +
                      "\"); leave the compression at its default, or write EXR or TIFF");
    }
    if (asked.empty()) return info.compress[0];
    std::string names;
    for (const char* c : info.compress) {
        if (!c) break;
        if (asked == c) return c;
        names += (names.empty() ? "" : ", ") + std::string(c);
    }
    throw IOError("cannot write " + path + ": " + info.name + " files have no compression \"" +
                  asked + "\"; choose one of " + names);
}

} // namespace

void writeOiio(const std::string& path, std::ofstream& stream, const std::string& formatName,
               const ImageData& image, const WriteOptions& options) {
    const FormatInfo* info = formatInfo(path);
    const ViewPixels& view = image.view(0);
    const int bits = bitDepthFor(path, *info, options.bitDepth, image.bitDepth);
    const std::string compression = compressionFor(path, *info, options.compression);

    const ChannelSet requested = options.channels.empty() ? view.channels() : options.channels;
    if (!requested.intersects(Mask_RGBA))
        throw IOError("cannot write " + path + ": " + formatName +
                      " files hold colour channels and the image has none of rgba; give the "
                      "Write colour channels or write EXR for other layers");
    std::vector<Channel> channels{Chan_Red, Chan_Green, Chan_Blue};
    if (info->alpha && requested.contains(Chan_Alpha) && view.channels().contains(Chan_Alpha))
        channels.push_back(Chan_Alpha);

    const Format& format = view.format();
    if (format.width() <= 0 || format.height() <= 0)
        throw IOError("cannot write " + path + ": the image format is empty; give it a format");
    const int nch = int(channels.size());
    OIIO::ImageSpec spec(format.width(), format.height(), nch,
                         bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16);
    spec.channelnames = {"R", "G", "B"};
    if (nch == 4) {
        spec.channelnames.push_back("A");
        spec.alpha_channel = 3;
    }
    spec.attribute("oiio:BitsPerSample", bits);
    if (!compression.empty()) spec.attribute("compression", compression);
    if (info->aspect && format.pixel_aspect() != 1.0)
        spec.attribute("PixelAspectRatio", float(format.pixel_aspect()));

    // Interleaved, top-down (file row i is host row height - 1 - i), quantised here with
    // rounding: value v becomes the code c = round(clamp(v, 0, 1) * (2^bits - 1)). OpenImageIO
    // takes 10 and 12 bits as 16-bit codes and keeps their top bits, so c is widened to 16 bits
    // by repeating its bits, which keeps c exactly.
    const double maximum = double((1 << bits) - 1);
    auto widen = [bits](unsigned c) {
        return bits == 10 || bits == 12 ? (c << (16 - bits)) | (c >> (2 * bits - 16)) : c;
    };
    std::vector<uint16_t> codes(size_t(format.width()) * size_t(format.height()) * size_t(nch));
    for (int fileRow = 0; fileRow < format.height(); ++fileRow) {
        uint16_t* dst = codes.data() + size_t(fileRow) * size_t(format.width()) * size_t(nch);
        const int y = format.height() - 1 - fileRow;
        for (int x = 0; x < format.width(); ++x)
            for (int c = 0; c < nch; ++c) {
                const double v = std::clamp(double(view.at(channels[size_t(c)], x, y)), 0.0, 1.0);
                dst[size_t(x) * size_t(nch) + size_t(c)] =
                    uint16_t(widen(unsigned(std::lround(v * maximum))));
            }
    }
    std::vector<uint8_t> bytes;
    if (bits == 8) bytes.assign(codes.begin(), codes.end());
    const OIIO::TypeDesc type = bits == 8 ? OIIO::TypeDesc::UINT8 : OIIO::TypeDesc::UINT16;
    const void* data = bits == 8 ? static_cast<const void*>(bytes.data()) : codes.data();

    // Encoded in memory and then written to the stream, which sees a failed write (a full disk)
    // that OpenImageIO's writers do not report.
    std::vector<unsigned char> encoded;
    OIIO::Filesystem::IOVecOutput memory(encoded);
    auto out = OIIO::ImageOutput::create(formatName);
    if (!out || !out->set_ioproxy(&memory) || !out->open(path, spec) ||
        !out->write_image(type, data) || !out->close())
        throw IOError("cannot write " + path + ": " + (out ? out->geterror() : OIIO::geterror()) +
                      "; write EXR instead");
    stream.write(reinterpret_cast<const char*>(encoded.data()), std::streamsize(encoded.size()));
}

} // namespace Kestrel::IO
