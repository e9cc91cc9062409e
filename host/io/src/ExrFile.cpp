// OpenEXR files: single-part multi-view (multiView attribute, view-prefixed channels) and
// multi-part with a view per part.
#include "ExrFile.h"

#include "ExrAttributes.h"
#include "ImageLimits.h"
#include "Kestrel/IO/ChannelNames.h"
#include "Kestrel/IO/IOError.h"
#include "ReadSelection.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfInputPart.h>
#include <OpenEXR/ImfMultiPartInputFile.h>
#include <OpenEXR/ImfMultiPartOutputFile.h>
#include <OpenEXR/ImfMultiView.h>
#include <OpenEXR/ImfOutputPart.h>
#include <OpenEXR/ImfPartType.h>
#include <OpenEXR/ImfStandardAttributes.h>
#include <OpenEXR/ImfStdIO.h>
#include <OpenEXR/ImfTestFile.h>
#include <OpenEXR/ImfThreading.h>

#include <Imath/half.h>
#include <Kx/Image/Engine.h>

#include <algorithm>
#include <filesystem>
#include <type_traits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace Kestrel::IO {

using namespace Kx::Image;

namespace {

// Host boxes (y up, relative to the format) <-> EXR windows (y down, inclusive, relative to
// the display window's origin).
Format formatOf(const Imf::Header& h) {
    const Imath::Box2i& d = h.displayWindow();
    return Format(d.max.x - d.min.x + 1, d.max.y - d.min.y + 1, h.pixelAspectRatio());
}

Box hostBox(const Imath::Box2i& window, const Imath::Box2i& display) {
    return Box(window.min.x - display.min.x, display.max.y - window.max.y,
               window.max.x + 1 - display.min.x, display.max.y - window.min.y + 1);
}

Imath::Box2i exrWindow(const Box& box, const Imath::Box2i& display) {
    return Imath::Box2i(Imath::V2i(box.x() + display.min.x, display.max.y - (box.t() - 1)),
                        Imath::V2i(box.r() - 1 + display.min.x, display.max.y - box.y()));
}

// --- reading ---

struct FileChannel {
    int part;
    std::string fileName; // full name in the file, view prefix included
    Channel channel;
};

struct FileView {
    std::string name;
    Imath::Box2i display;
    Format format;
    Box box;
    std::vector<FileChannel> channels;

    ChannelSet channelSet() const {
        ChannelSet s;
        for (const FileChannel& c : channels) s.insert(c.channel);
        return s;
    }
};

// The view of a single-part channel name and the name without the view: "right.R" and
// "disparityL.right.x" belong to right; anything else to the default view (views[0]).
std::pair<size_t, std::string> splitViewName(const std::string& name,
                                             const std::vector<std::string>& views) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t dot = name.find('.', start);
        parts.push_back(name.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    auto viewIndex = [&](const std::string& s) {
        return size_t(std::find(views.begin(), views.end(), s) - views.begin());
    };
    auto without = [&](size_t skip) {
        std::string out;
        for (size_t i = 0; i < parts.size(); ++i)
            if (i != skip) out += (out.empty() ? "" : ".") + parts[i];
        return out;
    };
    if (parts.size() >= 2 && viewIndex(parts[0]) < views.size())
        return {viewIndex(parts[0]), without(0)};
    if (parts.size() >= 3 && viewIndex(parts[parts.size() - 2]) < views.size())
        return {viewIndex(parts[parts.size() - 2]), without(parts.size() - 2)};
    return {0, name};
}

Channel channelFor(const std::string& path, const std::string& fileName) {
    const Channel z = hostChannel(fileName);
    if (z == Chan_Black)
        throw IOError("cannot read " + path + ": channel \"" + fileName +
                      "\" cannot be given a host channel (too many named channels); read "
                      "fewer channels");
    return z;
}

void addChannel(const std::string& path, FileView& view, int part, const std::string& fileName,
                const std::string& hostName) {
    view.channels.push_back({part, fileName, channelFor(path, hostName)});
}

// Grows a view to cover a part's data window; the first part sets the format.
void addPartWindow(FileView& view, const Imf::Header& h) {
    if (view.format.width() == 0) {
        view.display = h.displayWindow();
        view.format = formatOf(h);
    }
    view.box.merge(hostBox(h.dataWindow(), view.display));
}

std::vector<FileView> catalogue(const std::string& path, Imf::MultiPartInputFile& file) {
    const int parts = file.parts();
    std::vector<FileView> views;
    for (int p = 0; p < parts; ++p) {
        const Imf::Header& h = file.header(p);
        if (h.hasType() && Imf::isDeepData(h.type()))
            throw IOError("cannot read " + path +
                          ": it holds deep data, which the host does not read; flatten it "
                          "first");
        const Imath::Box2i& d = h.dataWindow();
        const Imath::Box2i& f = h.displayWindow();
        checkImageWindow(path, "data window", d.min.x, d.min.y, 1LL + d.max.x - d.min.x,
                         1LL + d.max.y - d.min.y);
        checkImageWindow(path, "display window", f.min.x, f.min.y, 1LL + f.max.x - f.min.x,
                         1LL + f.max.y - f.min.y);
        long long channels = 0;
        for (auto c = h.channels().begin(); c != h.channels().end(); ++c) ++channels;
        std::error_code sizeError;
        checkImageSamples(path, 1LL + d.max.x - d.min.x, 1LL + d.max.y - d.min.y,
                          std::max(channels, 1LL),
                          static_cast<long long>(std::filesystem::file_size(path, sizeError)));
        for (auto c = h.channels().begin(); c != h.channels().end(); ++c)
            if (c.channel().xSampling != 1 || c.channel().ySampling != 1)
                throw IOError("cannot read " + path + ": channel " + c.name() +
                              " is subsampled, which the host does not read; write it at full "
                              "resolution");
    }
    bool anyView = false;
    for (int p = 0; p < parts; ++p) anyView = anyView || file.header(p).hasView();

    const Imf::Header& first = file.header(0);
    if (anyView && (parts > 1 || !Imf::hasMultiView(first))) {
        // One view per part that names one, in part order; other parts join the first view.
        for (int p = 0; p < parts; ++p) {
            const Imf::Header& h = file.header(p);
            if (!h.hasView()) continue;
            auto it = std::find_if(views.begin(), views.end(),
                                   [&](const FileView& v) { return v.name == h.view(); });
            if (it == views.end())
                it = views.insert(views.end(), FileView{h.view(), {}, {}, {}, {}});
            addPartWindow(*it, h);
            for (auto c = h.channels().begin(); c != h.channels().end(); ++c)
                addChannel(path, *it, p, c.name(), c.name());
        }
        for (int p = 0; p < parts; ++p) {
            const Imf::Header& h = file.header(p);
            if (h.hasView()) continue;
            addPartWindow(views.front(), h);
            for (auto c = h.channels().begin(); c != h.channels().end(); ++c)
                addChannel(path, views.front(), p, c.name(), c.name());
        }
        return views;
    }

    std::vector<std::string> names;
    if (parts == 1 && Imf::hasMultiView(first) && !Imf::multiView(first).empty())
        names = Imf::multiView(first);
    else
        names.push_back({});
    for (const std::string& n : names) views.push_back(FileView{n, {}, {}, {}, {}});
    for (int p = 0; p < parts; ++p) {
        const Imf::Header& h = file.header(p);
        for (FileView& v : views) addPartWindow(v, h);
        for (auto c = h.channels().begin(); c != h.channels().end(); ++c) {
            const auto [index, hostName] = names.size() > 1 || !names[0].empty()
                                               ? splitViewName(c.name(), names)
                                               : std::pair<size_t, std::string>{0, c.name()};
            addChannel(path, views[index], p, c.name(), hostName);
        }
    }
    return views;
}

// Bits per sample of a view's colour channels, or of its first channel when it has no colour.
int colourBits(Imf::MultiPartInputFile& file, const FileView& view) {
    if (view.channels.empty()) return 0;
    const auto colour =
        std::find_if(view.channels.begin(), view.channels.end(),
                     [](const FileChannel& c) { return Mask_RGBA.contains(c.channel); });
    const FileChannel& c = colour != view.channels.end() ? *colour : view.channels.front();
    const Imf::Channel* channel = file.header(c.part).channels().findChannel(c.fileName);
    return channel && channel->type == Imf::HALF ? 16 : 32;
}

// Reverses the rows of a plane in place: files store rows top-down, the host bottom-up.
void flipRows(float* plane, int width, int height, size_t stride) {
    for (int a = 0, b = height - 1; a < b; ++a, --b)
        std::swap_ranges(plane + size_t(a) * stride, plane + size_t(a) * stride + size_t(width),
                         plane + size_t(b) * stride);
}

// --- writing ---

// Float samples to half, rounding to nearest even: eight at a time with the processor's
// conversion where it has one, which rounds the same way as Imath's.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target("avx,f16c"))) void halvesF16c(const float* in, size_t n, Imath::half* out) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm256_cvtps_ph(_mm256_loadu_ps(in + i), _MM_FROUND_TO_NEAREST_INT));
    for (; i < n; ++i) out[i] = Imath::half(in[i]);
}
#endif

void toHalves(const float* in, size_t n, Imath::half* out) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // The conversion's own bit from cpuid: not every compiler's __builtin_cpu_supports knows
    // "f16c"; its "avx" includes that the system saves the wide registers.
    static const bool f16c = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __builtin_cpu_supports("avx") && __get_cpuid(1, &a, &b, &c, &d) && (c & bit_F16C);
    }();
    if (f16c) return halvesF16c(in, n, out);
#endif
    for (size_t i = 0; i < n; ++i) out[i] = Imath::half(in[i]);
}

// Channel z of a view over `region` as samples of type T (float or half), rows top-down, 0
// outside the view's box, in frame memory; the rows are converted on the engine's threads.
template <class T>
std::shared_ptr<float> topDownPlane(const ViewPixels& view, Channel z, const Box& region) {
    const size_t width = size_t(region.w());
    const size_t samples = width * size_t(region.h());
    std::shared_ptr<float> memory =
        Engine::frameBuffer((samples * sizeof(T) + sizeof(float) - 1) / sizeof(float));
    T* const out = reinterpret_cast<T*>(memory.get());
    Box inside = region;
    inside.intersect(view.box());
    Engine::parallelRows(region.y(), region.t(), [&](int y) {
        T* dst = out + size_t(region.t() - 1 - y) * width;
        if (inside.empty() || y < inside.y() || y >= inside.t()) {
            std::fill_n(dst, width, T(0.0f));
            return;
        }
        const size_t left = size_t(inside.x() - region.x()), w = size_t(inside.w());
        std::fill_n(dst, left, T(0.0f));
        const float* src = view.row(z, y) + (inside.x() - view.box().x());
        if constexpr (std::is_same_v<T, Imath::half>)
            toHalves(src, w, dst + left);
        else
            std::copy_n(src, w, dst + left);
        std::fill(dst + left + w, dst + width, T(0.0f));
    });
    return memory;
}

// The box written for a view: its format, or with overscan its data box (one pixel when that
// is empty, as EXR data windows cannot be empty).
Box storedBox(const ViewPixels& view, bool overscan) {
    if (!overscan) return Box(0, 0, view.format().width(), view.format().height());
    return view.box().empty() ? Box(0, 0, 1, 1) : view.box();
}

struct CompressionName {
    const char* name;
    Imf::Compression compression;
};

constexpr CompressionName kCompressions[] = {
    {"none", Imf::NO_COMPRESSION},   {"rle", Imf::RLE_COMPRESSION},
    {"zips", Imf::ZIPS_COMPRESSION}, {"zip", Imf::ZIP_COMPRESSION},
    {"piz", Imf::PIZ_COMPRESSION},   {"pxr24", Imf::PXR24_COMPRESSION},
    {"b44", Imf::B44_COMPRESSION},   {"b44a", Imf::B44A_COMPRESSION},
    {"dwaa", Imf::DWAA_COMPRESSION}, {"dwab", Imf::DWAB_COMPRESSION},
};

Imf::Compression compressionNamed(const std::string& path, const std::string& name) {
    if (name.empty()) return Imf::ZIP_COMPRESSION;
    std::string names;
    for (const CompressionName& c : kCompressions) {
        if (name == c.name) return c.compression;
        names += (names.empty() ? "" : ", ") + std::string(c.name);
    }
    throw IOError("cannot write " + path + ": OpenEXR files have no compression \"" + name +
                  "\"; choose one of " + names);
}

Imf::Header makeHeader(const Format& format, const Box& box, const MetaData::Bundle& metadata,
                       Imf::Compression compression) {
    const Imath::Box2i display(Imath::V2i(0, 0),
                               Imath::V2i(format.width() - 1, format.height() - 1));
    Imf::Header h(display, exrWindow(box, display), float(format.pixel_aspect()));
    h.compression() = compression;
    h.setType(Imf::SCANLINEIMAGE);
    writeExrAttributes(metadata, h);
    return h;
}

// Planes of one part, kept alive while it is written. OpenEXR converts pixel types when it
// reads but not when it writes, so half channels get half planes.
struct PartPixels {
    Imf::FrameBuffer frameBuffer;
    std::vector<std::shared_ptr<float>> planes;
};

void addPlane(Imf::Header& header, PartPixels& part, const std::string& name, Imf::PixelType type,
              const ViewPixels& view, Channel z, const Box& box) {
    header.channels().insert(name, Imf::Channel(type));
    const std::shared_ptr<float>& plane =
        part.planes.emplace_back(type == Imf::HALF ? topDownPlane<Imath::half>(view, z, box)
                                                   : topDownPlane<float>(view, z, box));
    part.frameBuffer.insert(name, Imf::Slice::Make(type, plane.get(), header.dataWindow()));
}

// OpenEXR compresses and decompresses a file's line blocks on its own worker pool; the pool
// gets as many threads as the render engine, so a frame's file work keeps every core busy.
void useEngineThreads() {
    const int n = int(Engine::threads());
    if (Imf::globalThreadCount() != n) Imf::setGlobalThreadCount(n);
}

// Rows handed to OpenEXR per call when writing: a few compression blocks per thread (a ZIP
// block is 16 rows, PIZ and DWAB 32 or 256), so the pool has work to share while an
// interrupt (Ctrl-C) is seen between calls rather than after the whole file.
constexpr int kRowsPerWrite = 256;

// OpenEXR cuts longer attribute and channel names short without a word.
constexpr size_t kMaxNameLength = 255;

void checkNameLength(const std::string& path, const std::string& what, const std::string& name) {
    if (name.size() > kMaxNameLength)
        throw IOError("cannot write " + path + ": the " + what + " name \"" + name.substr(0, 40) +
                      "...\" is longer than " + std::to_string(kMaxNameLength) +
                      " characters, the most an EXR file holds; shorten it");
}

std::string formatText(const Format& f) {
    std::string s = std::to_string(f.width()) + "x" + std::to_string(f.height());
    if (f.pixel_aspect() != 1.0) s += " with pixel aspect " + std::to_string(f.pixel_aspect());
    return s;
}

ChannelSet channelsToWrite(const ViewPixels& view, const WriteOptions& options) {
    return options.channels.empty() ? view.channels() : options.channels;
}

Imf::PixelType pixelType(Channel z, const WriteOptions& options) {
    const ExrPixelType t = Mask_RGBA.contains(z) ? options.exrPixelType : options.exrDataPixelType;
    return t == ExrPixelType::Half ? Imf::HALF : Imf::FLOAT;
}

} // namespace

bool isExrFile(const std::string& path) {
    return Imf::isOpenExrFile(path.c_str());
}

ImageData readExr(const std::string& path, const ReadOptions& options) {
    registerExrAttributeTypes();
    useEngineThreads();
    Imf::MultiPartInputFile file(path.c_str());
    const std::vector<FileView> views = catalogue(path, file);

    std::vector<std::string> names;
    for (const FileView& v : views) names.push_back(v.name);
    const std::vector<SelectedView> selected = selectViews(path, names, options.views);

    ImageData image;
    for (int p = file.parts() - 1; p >= 0; --p) readExrAttributes(file.header(p), image.metadata);
    if (!selected.empty()) image.bitDepth = colourBits(file, views[selected.front().fileIndex]);

    for (const SelectedView& s : selected) {
        const FileView& fv = views[s.fileIndex];
        const ChannelSet wanted = selectChannels(path, s.name, fv.channelSet(), options.channels);
        ViewPixels& pixels = image.addView(s.name, ViewPixels(fv.format, fv.box, wanted));
        if (fv.box.empty()) continue;
        // Each plane is filled top-down over the view's window, then flipped.
        const Imath::Box2i window = exrWindow(fv.box, fv.display);
        for (int p = 0; p < file.parts(); ++p) {
            Imf::FrameBuffer frameBuffer;
            for (const FileChannel& c : fv.channels)
                if (c.part == p && wanted.contains(c.channel))
                    frameBuffer.insert(
                        c.fileName,
                        Imf::Slice::Make(Imf::FLOAT, pixels.row(c.channel, fv.box.y()), window,
                                         sizeof(float), pixels.stride() * sizeof(float)));
            if (frameBuffer.begin() == frameBuffer.end()) continue;
            Imf::InputPart part(file, p);
            part.setFrameBuffer(frameBuffer);
            const Imath::Box2i& dw = part.header().dataWindow();
            part.readPixels(dw.min.y, dw.max.y);
        }
        for (Channel z : wanted)
            flipRows(pixels.row(z, fv.box.y()), fv.box.w(), fv.box.h(), pixels.stride());
    }
    return image;
}

void writeExr(const std::string& path, std::ofstream& stream, const ImageData& image,
              const WriteOptions& options) {
    registerExrAttributeTypes();
    useEngineThreads();
    const Imf::Compression compression = compressionNamed(path, options.compression);
    const size_t n = image.viewCount();
    if (n == 0)
        throw IOError("cannot write " + path + ": the image has no view; give the Write an input");
    bool named = false;
    for (size_t i = 0; i < n; ++i) {
        named = named || !image.viewName(i).empty();
        const Format& f = image.view(i).format();
        if (f.width() <= 0 || f.height() <= 0)
            throw IOError("cannot write " + path + ": the format of view \"" + image.viewName(i) +
                          "\" is empty; give the image a format");
    }
    for (size_t i = 0; i < n && n > 1; ++i)
        if (image.viewName(i).empty())
            throw IOError("cannot write " + path + ": the image has " + std::to_string(n) +
                          " views but view " + std::to_string(i + 1) +
                          " has no name; name every view");

    // Every part of an EXR file has the same display window and pixel aspect ratio.
    const Format& format = image.view(0).format();
    for (size_t i = 1; i < n; ++i) {
        const Format& f = image.view(i).format();
        if (f.width() != format.width() || f.height() != format.height() ||
            f.pixel_aspect() != format.pixel_aspect())
            throw IOError("cannot write " + path + ": view \"" + image.viewName(i) + "\" is " +
                          formatText(f) + " but view \"" + image.viewName(0) + "\" is " +
                          formatText(format) +
                          "; an EXR file holds one format: write one file per view (%V in the "
                          "path)");
    }

    for (const auto& entry : image.metadata.values())
        checkNameLength(path, "metadata", entry.first);
    for (size_t i = 0; i < n; ++i)
        for (Channel z : channelsToWrite(image.view(i), options))
            checkNameLength(path, "channel", image.viewName(i) + "." + fileChannelName(z));

    std::vector<Imf::Header> headers;
    std::vector<PartPixels> parts;
    if (options.exrLayout == ExrLayout::MultiPart) {
        parts.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const ViewPixels& view = image.view(i);
            const Box box = storedBox(view, options.overscan);
            Imf::Header h = makeHeader(view.format(), box, image.metadata, compression);
            h.setName(named ? image.viewName(i) : "rgba");
            if (named) h.setView(image.viewName(i));
            for (Channel z : channelsToWrite(view, options))
                addPlane(h, parts[i], fileChannelName(z), pixelType(z, options), view, z, box);
            headers.push_back(h);
        }
    } else {
        parts.resize(1);
        Box box;
        for (size_t i = 0; i < n; ++i) box.merge(storedBox(image.view(i), options.overscan));
        Imf::Header h = makeHeader(format, box, image.metadata, compression);
        if (named) Imf::addMultiView(h, image.viewNames());
        for (size_t i = 0; i < n; ++i) {
            const ViewPixels& view = image.view(i);
            const std::string prefix = i == 0 ? "" : image.viewName(i) + ".";
            for (Channel z : channelsToWrite(view, options))
                addPlane(h, parts[0], prefix + fileChannelName(z), pixelType(z, options), view, z,
                         box);
        }
        headers.push_back(h);
    }

    // The caller's stream, which sees a failed write even where OpenEXR finishes the file in a
    // destructor (the chunk offset table) that cannot report it.
    Imf::StdOFStream exrStream(stream, path.c_str());
    Imf::MultiPartOutputFile out(exrStream, headers.data(), int(headers.size()));
    for (size_t i = 0; i < headers.size(); ++i) {
        Imf::OutputPart part(out, int(i));
        part.setFrameBuffer(parts[i].frameBuffer);
        const Imath::Box2i& dw = headers[i].dataWindow();
        for (int left = dw.max.y - dw.min.y + 1; left > 0; left -= kRowsPerWrite) {
            if (Engine::interrupted())
                throw IOError("cannot write " + path + ": interrupted; nothing was written");
            part.writePixels(std::min(left, kRowsPerWrite));
        }
    }
}

} // namespace Kestrel::IO
