// Write: renders each chosen view of its input and writes the frame through the image-file
// library.
#include "nodes/Write.h"

#include <Kestrel/IO/IOError.h>
#include <Kestrel/IO/ImageWriter.h>
#include <Kx/Image/Engine.h>
#include <Kx/Image/Knobs.h>
#include <Kx/Image/Node.h>
#include <Kx/Image/Row.h>

#include <atomic>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <tuple>

namespace Kestrel::Nodes {

using namespace Kx::Image;

namespace {

const char* const kLayouts[] = {"single part", "multi-part", nullptr};
const char* const kDataTypes[] = {"16 bit half", "32 bit float", nullptr};
// Scripts store an item's number: new items go after the old ones.
const char* const kBitDepths[] = {"8 bit", "16 bit", "10 bit", "auto", nullptr};
constexpr int kBitsOfItem[] = {8, 16, 10, 0};
constexpr int kAutoDepth = 3;
const char* const kCompressions[] = {"default", "none", "rle",  "zips", "zip", "piz",  "pxr24",
                                     "b44",     "b44a", "dwaa", "dwab", "lzw", nullptr};

// The channels that a word of the channels knob names: a layer ("rgba", "disparityL") or
// one channel ("stitch_map.u", "rgba.red").
ChannelSet channelsNamed(const std::string& word, const ChannelSet& available) {
    ChannelSet named;
    if (Channel z = findChannel(word); z != Chan_Black) named.insert(z);
    for (Channel z : available)
        if (getLayerName(z) == word) named.insert(z);
    return named;
}

// Whether i numbers an item of a null-terminated list (a script may hold any number).
bool isItem(const char* const* items, int i) {
    for (int n = 0; items[n]; ++n)
        if (n == i) return true;
    return false;
}

// Renders the channels over the part of `stored` outside `box`, row spans at a time, from
// the op's own rows (not clamped to its data box). False when interrupted.
bool fillBeyondBox(Iop& in, const Box& box, const Box& stored, const ChannelSet& channels,
                   IO::ViewPixels& pixels) {
    std::atomic<bool> stopped{false};
    Engine::parallelRows(stored.y(), stored.t(), [&](int y) {
        if (stopped || Engine::interrupted()) {
            stopped = true;
            return;
        }
        const bool inside = !box.empty() && y >= box.y() && y < box.t();
        const std::pair<int, int> spans[] = {
            inside ? std::pair{stored.x(), box.x()} : std::pair{stored.x(), stored.r()},
            inside ? std::pair{box.r(), stored.r()} : std::pair{0, 0}};
        for (auto [x0, x1] : spans) {
            if (x1 <= x0) continue;
            Row row(x0, x1);
            in.engine(y, x0, x1, channels, row);
            for (Channel z : channels)
                std::copy(row[z] + x0, row[z] + x1, pixels.row(z, y) + (x0 - stored.x()));
        }
    });
    return !stopped;
}

} // namespace

Write::Write(Node* node) : Iop(node), Executable(this) {}

const char* Write::node_help() const {
    return "Writes its input to image files: single files or sequences (#### or %04d), one "
           "file per view (%V, %v) or multi-view OpenEXR, with named layers and metadata.";
}

void Write::knobs(Knob_Closure& f) {
    stringKnob(f, &_file, kFile, "file", {},
               "the file to write: #### or %04d for the frame, %V or %v for the view");
    stringKnob(f, &_channels, kChannels, "channels", "all",
               "\"all\", or layers and channels to write, such as \"rgba disparityL\"");
    enumKnob(f, &_layout, kLayout, kLayouts, "OpenEXR layout", 0,
             "one part with view-prefixed channels, or one part per view");
    enumKnob(f, &_dataType, kDataType, kDataTypes, "OpenEXR data type", 0,
             "sample type of colour in OpenEXR; other layers are always 32 bit float");
    enumKnob(f, &_bitDepth, kBitDepth, kBitDepths, "bit depth", kAutoDepth,
             "bits per sample of PNG, TIFF and DPX files; auto keeps the input's depth");
    enumKnob(f, &_compression, kCompression, kCompressions, "compression", 0,
             "default is zip in OpenEXR and TIFF; OpenEXR takes none to dwab, TIFF none, lzw "
             "and zip");
    boolKnob(f, &_overscan, kOverscan, "overscan", false,
             "OpenEXR: keep the pixels outside the format (the input's data box) rather than "
             "cropping to the format");
    stringKnob(f, &_views, kViews, "views", {}, "views to write; empty writes every view");
}

void Write::_validate(bool for_real) {
    copy_info(0);
    if (Iop* in = input_iop(0)) {
        in->validate(for_real);
        if (in->hasError()) error("%s", in->errorMessage().c_str());
    }
}

void Write::engine(int y, int x, int r, ChannelSet channels, Row& row) {
    if (Iop* in = input_iop(0))
        row.get(*in, y, x, r, channels);
    else
        row.erase(channels);
}

std::vector<int> Write::chosenViews() {
    std::vector<int> views;
    if (!_renderViews.empty()) return {_renderViews.begin(), _renderViews.end()};
    std::istringstream in(_views);
    for (std::string name; in >> name;) {
        int v = OutputContext::lookup_view(name);
        if (v == 0) {
            error("%s: the views knob names \"%s\", which is not a view of the script: use "
                  "view names from the script's views line",
                  node_name().c_str(), name.c_str());
            return {};
        }
        views.push_back(v);
    }
    if (views.empty())
        for (int v = 1; v < OutputContext::viewcount(); ++v) views.push_back(v);
    return views;
}

bool Write::chosenChannels(const Iop& in, ChannelSet& out) {
    out = ChannelSet();
    std::istringstream words(_channels);
    for (std::string word; words >> word;) {
        if (word == "all") {
            out += in.channels();
            continue;
        }
        ChannelSet named = channelsNamed(word, in.channels());
        if (named.empty() || !in.channels().contains(named)) {
            error("%s: the channels knob names \"%s\", which its input does not have; the "
                  "input's channels are: %s",
                  node_name().c_str(), word.c_str(), in.channels().toString().c_str());
            return false;
        }
        out += named;
    }
    if (out.empty()) {
        error("%s: no channels to write: set the channels knob to \"all\" or to layer names",
              node_name().c_str());
        return false;
    }
    return true;
}

void Write::beginExecuting() {
    _writeBehind = true;
}

void Write::endExecuting() {
    _writeBehind = false;
    if (const std::string failed = finishWriting(); !failed.empty())
        throw std::runtime_error(failed);
}

std::string Write::finishWriting() {
    if (!_writing.valid()) return {};
    try {
        _writing.get();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

void Write::execute() {
    // A fresh validation clears the error of an earlier frame or run.
    invalidate();
    validate(true);
    Node* self = node();
    Node* source = self ? self->input(0) : nullptr;
    if (!source) {
        error("%s has no input: connect the image to write", node_name().c_str());
        return;
    }
    if (_file.empty()) {
        error("%s: no file name: set its file knob", node_name().c_str());
        return;
    }
    try {
        const IO::PathPattern pattern(_file);
        for (const auto& [name, items, value] : {std::tuple{kBitDepth, kBitDepths, _bitDepth},
                                                 {kCompression, kCompressions, _compression}})
            if (!isItem(items, value)) {
                error("%s: its %s knob holds %d, which is not one of its choices: set it by name",
                      node_name().c_str(), name, value);
                return;
            }
        IO::WriteOptions options;
        options.exrLayout = _layout == 1 ? IO::ExrLayout::MultiPart : IO::ExrLayout::SinglePart;
        options.exrPixelType = _dataType == 1 ? IO::ExrPixelType::Float : IO::ExrPixelType::Half;
        options.bitDepth = kBitsOfItem[_bitDepth];
        options.compression = _compression > 0 ? kCompressions[_compression] : "";
        options.overscan = _overscan;
        const std::vector<int> views = chosenViews();
        if (views.empty()) return;
        const bool namedViews = OutputContext::viewcount() > 2 || pattern.hasView();
        IO::ImageData image;
        for (int v : views) {
            OutputContext c = outputContext();
            c.setView(v);
            Iop* in = source->iop(c);
            if (!in) {
                error("%s: its input %s makes no image", node_name().c_str(),
                      source->name().c_str());
                return;
            }
            in->validate(true);
            if (in->hasError()) {
                error("%s: its input %s: %s", node_name().c_str(), source->name().c_str(),
                      in->errorMessage().c_str());
                return;
            }
            ChannelSet channels;
            if (!chosenChannels(*in, channels)) return;
            // Only the data box is rendered: pixels beyond it are black in the file, not the
            // edge pixels that reads outside an op's box repeat.
            Box box = in->box();
            const Box frameBox(0, 0, in->format().width(), in->format().height());
            if (!_overscan) box.intersect(frameBox);
            if (box.empty()) box = Box();
            // The STMap is a source position for every pixel of the frame, also where the
            // image does not reach: beyond the data box it comes straight from the op's rows.
            const ChannelSet stmap =
                channels & ChannelSet{findChannel("stitch_map.u"), findChannel("stitch_map.v")};
            Box stored = box;
            if (!stmap.empty()) {
                stored = frameBox;
                if (_overscan && !box.empty()) stored.merge(box);
            }
            // The render writes every row of the data box; only pixels beyond it start black.
            IO::ViewPixels pixels = stored == box
                                        ? IO::ViewPixels::unset(in->format(), stored, channels)
                                        : IO::ViewPixels(in->format(), stored, channels);
            bool ok =
                box.empty() || Engine::renderRows(*in, box, channels, [&](int y, const Row& row) {
                    for (Channel z : channels) {
                        const float* src = row[z] + box.x();
                        std::copy(src, src + box.w(), pixels.row(z, y) + (box.x() - stored.x()));
                    }
                });
            if (ok && !stmap.empty() && !(stored == box))
                ok = fillBeyondBox(*in, box, stored, stmap, pixels);
            if (!ok) {
                error("%s: %s at frame %g", node_name().c_str(),
                      Engine::interrupted() ? "interrupted" : "rendering its input failed",
                      frame());
                return;
            }
            if (image.viewCount() == 0) {
                image.metadata = in->fetchMetaData();
                image.metadata.getInt("input/bitdepth", image.bitDepth);
            }
            image.addView(namedViews ? OutputContext::viewname(v) : "", std::move(pixels));
        }
        const int number = int(std::lround(frame()));
        if (!_writeBehind) {
            IO::writeFrame(pattern, number, image, options);
            return;
        }
        if (const std::string failed = finishWriting(); !failed.empty()) {
            error("%s: %s", node_name().c_str(), failed.c_str());
            return;
        }
        _writing =
            std::async(std::launch::async, [pattern, number, image = std::move(image), options] {
                IO::writeFrame(pattern, number, image, options);
            });
    } catch (const IO::IOError& e) {
        error("%s: %s", node_name().c_str(), e.what());
    }
}

namespace {
Op* build(Node* node) {
    return new Write(node);
}
const Op::Description description(Write::kClass, build);
} // namespace

} // namespace Kestrel::Nodes
