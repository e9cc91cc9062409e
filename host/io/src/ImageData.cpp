// Images in memory: planes per channel over the data box, rows bottom-up.
#include "Kestrel/IO/ImageData.h"

#include <cassert>

namespace Kestrel::IO {

using namespace Kx::Image;

ViewPixels::ViewPixels(const Format& format, const Box& box, const ChannelSet& channels)
    : _format(format), _box(box) {
    for (Channel z : channels) addChannel(z);
}

void ViewPixels::addChannel(Channel z) {
    if (_channels.contains(z)) return;
    _channels.insert(z);
    const size_t n = _box.empty() ? 0 : size_t(_box.w()) * size_t(_box.h());
    _planes[z].assign(n, 0.0f);
}

float* ViewPixels::row(Channel z, int y) {
    assert(_channels.contains(z) && y >= _box.y() && y < _box.t());
    return _planes.at(z).data() + size_t(y - _box.y()) * size_t(_box.w());
}

const float* ViewPixels::row(Channel z, int y) const {
    assert(_channels.contains(z) && y >= _box.y() && y < _box.t());
    return _planes.at(z).data() + size_t(y - _box.y()) * size_t(_box.w());
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
