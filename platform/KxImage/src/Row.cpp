// Rows: per-channel buffers addressed by absolute column.
#include "Kx/Image/Row.h"

#include "Kx/Image/Iop.h"

#include <algorithm>
#include <cstring>

namespace Kx::Image {

Row::Row(int x, int r) : _x(x), _r(std::max(r, x)) {
    _zeros.assign(size_t(_r - _x) + 1, 0.0f);
}

void Row::range(int x, int r) {
    _x = x;
    _r = std::max(r, x);
    _written.clear();
    _buffers.clear();
    _zeros.assign(size_t(_r - _x) + 1, 0.0f);
}

float* Row::writable(Channel z) {
    if (z < 1 || z > kMaxChannels) return _zeros.data() - _x;
    if (_buffers.size() <= size_t(z)) _buffers.resize(size_t(z) + 1);
    auto& b = _buffers[size_t(z)];
    if (!b) {
        // Cleared once, by the value-initialising allocation.
        b = std::make_unique<float[]>(size_t(_r - _x) + 1);
    }
    _written.insert(z);
    return b.get() - _x;
}

const float* Row::operator[](Channel z) const {
    if (z >= 1 && size_t(z) < _buffers.size() && _buffers[size_t(z)])
        return _buffers[size_t(z)].get() - _x;
    return _zeros.data() - _x;
}

void Row::erase(Channel z) {
    float* p = writable(z);
    std::fill(p + _x, p + _r, 0.0f);
}

void Row::erase(const ChannelSet& channels) {
    for (Channel z : channels) erase(z);
}

void Row::copy(const Row& source, const ChannelSet& channels, int x, int r) {
    x = std::max(x, _x);
    r = std::min(r, _r);
    if (r <= x) return;
    for (Channel z : channels) std::memcpy(writable(z) + x, source[z] + x, size_t(r - x) * 4);
}

void Row::get(Iop& op, int y, int x, int r, const ChannelSet& channels) {
    op.get(y, x, r, channels, *this);
}

} // namespace Kx::Image
