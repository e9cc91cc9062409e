// Images in memory, as the command-line host's Read produces them and its Write consumes them.
//
// An ImageData holds one or more views in order, the first being the default (hero) view, and
// one metadata bundle for the whole image. A file without views gives a single view whose name
// is empty. Each view (ViewPixels) has its format (the full frame), its data box (the pixels
// actually stored, which may be smaller or larger than the format), a channel set and one float
// plane per channel.
//
// Coordinates are the host's: x to the right, y upward, row 0 at the bottom. A plane stores the
// rows of the data box from the bottom (y = box.y()) to the top, each row from x = box.x() to
// box.r() - 1, rows stride() floats apart: the row length of the engine's kept areas
// (Kx::Image::Plane::strideFor), so that the engine reads a decoded image as it is, without a
// copy. Image files store rows top-down; the reader and the writer flip.
//
// Memory: planes come from the engine's frame memory (Kx::Image::Engine::frameBuffer), so
// that a sequence reuses the memory of the frame before. Copying a ViewPixels copies its
// pixels; sharedCopy() and memory() share them.
#pragma once

#include <Kx/Image/Box.h>
#include <Kx/Image/Channel.h>
#include <Kx/Image/MetaData.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Kestrel::IO {

class ViewPixels {
public:
    ViewPixels() = default;
    // Zero-filled planes over `box` for every channel of `channels`.
    ViewPixels(const Kx::Image::Format& format, const Kx::Image::Box& box,
               const Kx::Image::ChannelSet& channels);
    // Planes whose pixels are left unset, for a caller that writes every row of every
    // channel before anything reads them (a file being decoded, a frame being rendered).
    static ViewPixels unset(const Kx::Image::Format& format, const Kx::Image::Box& box,
                            const Kx::Image::ChannelSet& channels);
    ViewPixels(const ViewPixels& other);
    ViewPixels& operator=(const ViewPixels& other);
    ViewPixels(ViewPixels&&) = default;
    ViewPixels& operator=(ViewPixels&&) = default;
    // A copy that shares these pixels instead of copying them: a write through either one
    // shows in both. For handing an image on to be read.
    ViewPixels sharedCopy() const;

    const Kx::Image::Format& format() const { return _format; }
    const Kx::Image::Box& box() const { return _box; }
    const Kx::Image::ChannelSet& channels() const { return _channels; }

    // Adds a zero-filled plane; a channel already present keeps its pixels.
    void addChannel(Kx::Image::Channel z);

    // Row y of channel z: box().w() floats, the first at x = box().x(). The channel must be
    // present and y inside the box.
    float* row(Kx::Image::Channel z, int y);
    const float* row(Kx::Image::Channel z, int y) const;

    // The value of channel z at pixel (x, y); 0 outside the box or for an absent channel.
    float at(Kx::Image::Channel z, int x, int y) const;

    // Floats from one row of a plane to the next.
    size_t stride() const { return _stride; }
    // The plane of channel z from its first pixel on (the bottom row's, x = box().x()),
    // shared: it stays valid for as long as the pointer is held. Null for an absent channel
    // or an empty box.
    std::shared_ptr<const float> memory(Kx::Image::Channel z) const;

private:
    void addPlane(Kx::Image::Channel z, bool zero);
    size_t planeFloats() const;

    Kx::Image::Format _format;
    Kx::Image::Box _box;
    Kx::Image::ChannelSet _channels;
    size_t _stride = 0;
    std::map<Kx::Image::Channel, std::shared_ptr<float>> _planes;
};

class ImageData {
public:
    // Appends a view and returns its pixels. A name already present replaces that view's pixels
    // and keeps its place in the order.
    ViewPixels& addView(const std::string& name, ViewPixels pixels);

    size_t viewCount() const { return _views.size(); }
    // Names in order; the first is the default view.
    std::vector<std::string> viewNames() const;
    bool hasView(const std::string& name) const { return find(name) != nullptr; }
    // The pixels of view `name`, or nullptr when the image has no such view.
    const ViewPixels* find(const std::string& name) const;
    ViewPixels* find(const std::string& name);
    // The pixels and name of the i-th view (i < viewCount()).
    const ViewPixels& view(size_t i) const { return _views[i].second; }
    ViewPixels& view(size_t i) { return _views[i].second; }
    const std::string& viewName(size_t i) const { return _views[i].first; }

    Kx::Image::MetaData::Bundle metadata;
    // Bits per sample of the file the image was read from: 8, 10, 12 or 16 for integer samples,
    // 16 for half and 32 for float (in OpenEXR those of the colour channels, or of the first
    // channel when there is no colour); 0 when unknown, as for an image made in memory.
    // Writing at the input's depth (WriteOptions::bitDepth 0) keeps it.
    int bitDepth = 0;

private:
    std::vector<std::pair<std::string, ViewPixels>> _views;
};

} // namespace Kestrel::IO
