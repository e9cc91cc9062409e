// Images in memory: planes per channel over the data box, rows bottom-up.
#include "Kestrel/IO/ImageData.h"

#include <Kx/Image/Engine.h>
#include <Kx/Image/Iop.h>

#include <algorithm>
#include <cassert>

namespace Kestrel::IO {

using namespace Kx::Image;

ViewPixels::ViewPixels(const Format& format, const Box& box, const ChannelSet& channels)
    : _format(format), _box(box), _stride(Plane::strideFor(box.w())) {
    for (Channel z : channels) addChannel(z);
}

ViewPixels ViewPixels::unset(const Format& format, const Box& box, const ChannelSet& channels) {
    ViewPixels v(format, box, ChannelSet());
    for (Channel z : channels) v.addPlane(z, false);
    return v;
}

ViewPixels::ViewPixels(const ViewPixels& other)
    : _format(other._format), _box(other._box), _channels(other._channels), _stride(other._stride) {
    for (const auto& [z, plane] : other._planes) {
        std::shared_ptr<float>& copy = _planes[z];
        copy = Engine::frameBuffer(planeFloats());
        if (copy) std::copy_n(plane.get(), planeFloats(), copy.get());
    }
}

ViewPixels& ViewPixels::operator=(const ViewPixels& other) {
    if (this != &other) *this = ViewPixels(other);
    return *this;
}

ViewPixels ViewPixels::sharedCopy() const {
    ViewPixels v;
    v._format = _format;
    v._box = _box;
    v._channels = _channels;
    v._stride = _stride;
    v._planes = _planes;
    return v;
}

size_t ViewPixels::planeFloats() const {
    return _box.empty() ? 0 : _stride * size_t(_box.h());
}

void ViewPixels::addPlane(Channel z, bool zero) {
    if (_channels.contains(z)) return;
    _channels.insert(z);
    std::shared_ptr<float>& plane = _planes[z];
    plane = Engine::frameBuffer(planeFloats());
    if (zero && plane) std::fill_n(plane.get(), planeFloats(), 0.0f);
}

void ViewPixels::addChannel(Channel z) {
    addPlane(z, true);
}

std::shared_ptr<const float> ViewPixels::memory(Channel z) const {
    const auto it = _planes.find(z);
    return it == _planes.end() ? nullptr : it->second;
}

float* ViewPixels::row(Channel z, int y) {
    assert(_channels.contains(z) && y >= _box.y() && y < _box.t());
    return _planes.at(z).get() + size_t(y - _box.y()) * _stride;
}

const float* ViewPixels::row(Channel z, int y) const {
    assert(_channels.contains(z) && y >= _box.y() && y < _box.t());
    return _planes.at(z).get() + size_t(y - _box.y()) * _stride;
}

float ViewPixels::at(Channel z, int x, int y) const {
    if (!_channels.contains(z) || !_box.contains(x, y)) return 0.0f;
    return row(z, y)[x - _box.x()];
}

ViewPixels& ImageData::addView(const std::string& name, ViewPixels pixels) {
    if (ViewPixels* existing = find(name)) return *existing = std::move(pixels);
    _views.emplace_back(name, std::move(pixels));
    return _views.back().second;
}

std::vector<std::string> ImageData::viewNames() const {
    std::vector<std::string> names;
    for (const auto& v : _views) names.push_back(v.first);
    return names;
}

const ViewPixels* ImageData::find(const std::string& name) const {
    for (const auto& v : _views)
        if (v.first == name) return &v.second;
    return nullptr;
}

ViewPixels* ImageData::find(const std::string& name) {
    for (auto& v : _views)
        if (v.first == name) return &v.second;
    return nullptr;
}

} // namespace Kestrel::IO
