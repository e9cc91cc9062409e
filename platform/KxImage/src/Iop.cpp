// Iop: output info, requests, and reading rows and samples through the kept area.
#include "Kx/Image/Iop.h"

#include "EngineCache.h"
#include "Kx/Image/Engine.h"
#include "Kx/Image/Filter.h"

#include <oneapi/tbb/collaborative_call_once.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Kx::Image {

struct Iop::Keep {
    std::unique_ptr<tbb::collaborative_once_flag> once =
        std::make_unique<tbb::collaborative_once_flag>();
    std::shared_ptr<const Plane> plane;
};

Iop::Iop(Node* node) : Op(node), _keep(std::make_unique<Keep>()) {}

Iop::~Iop() = default;

void Iop::copy_info(int input) {
    if (Iop* in = input_iop(input)) {
        in->validate(real_valid());
        _info = in->info();
    } else {
        clear_info(); // a disconnected input gives an empty image, not a stale one
    }
}

void Iop::_validate(bool for_real) {
    Op::_validate(for_real);
    copy_info(0);
}

void Iop::request(int x, int y, int r, int t, const ChannelSet& channels, int count) {
    Box area(x, y, r, t);
    if (!_requested) {
        _requestedBox = area;
        _requestedChannels = channels;
        _requestedCount = count;
        _requested = true;
    } else {
        _requestedBox.merge(area);
        _requestedChannels += channels;
        _requestedCount += count;
    }
    // A kept area made for an earlier, smaller request is made again on the next read, so
    // that what this request adds is rendered too.
    if (_keep->plane) {
        Box wanted = _requestedBox;
        wanted.intersect(box());
        const Plane& kept = *_keep->plane;
        Box covered = kept.box;
        covered.merge(wanted);
        if (!kept.channels.contains(_requestedChannels & this->channels()) ||
            !(covered == kept.box))
            _keep = std::make_unique<Keep>();
    }
    _request(x, y, r, t, channels, count);
}

void Iop::_request(int x, int y, int r, int t, ChannelSet channels, int count) {
    if (Iop* in = input_iop(0)) in->request(x, y, r, t, channels, count);
}

void Iop::_invalidate() {
    _requested = false;
    _requestedBox = Box();
    _requestedChannels.clear();
    _requestedCount = 0;
    _keep = std::make_unique<Keep>();
}

void Iop::_close() {
    _keep = std::make_unique<Keep>();
}

std::shared_ptr<const Plane> Iop::plane() {
    tbb::collaborative_call_once(*_keep->once, [this] {
        Box area = box();
        ChannelSet wanted = channels();
        if (_requested) {
            area.intersect(_requestedBox);
            wanted &= _requestedChannels;
        }
        if (hasError()) area = Box();
        _open();
        _keep->plane = EngineCache::render(*this, area, wanted);
    });
    return _keep->plane;
}

void Iop::get(int y, int x, int r, const ChannelSet& channels, Row& row) {
    if (r <= x) return;
    auto kept = plane();
    const Box& b = box();
    if (hasError() || b.empty()) {
        row.erase(channels);
        return;
    }
    const int yy = b.clampy(y);
    const int x0 = b.clampx(x), x1 = b.clampx(r - 1) + 1;
    const Box& pb = kept->box;
    if (kept->channels.contains(channels & this->channels()) && yy >= pb.y() && yy < pb.t() &&
        x0 >= pb.x() && x1 <= pb.r())
        copyFromPlane(*kept, yy, x, r, channels, row);
    else
        renderDirect(y, x, r, channels, row);
}

void Iop::copyFromPlane(const Plane& p, int y, int x, int r, const ChannelSet& channels, Row& row) {
    const Box& b = box();
    for (Channel z : channels) {
        float* out = row.writable(z);
        const float* src = p.row(z, y);
        if (!src) {
            std::fill(out + x, out + r, 0.0f);
            continue;
        }
        const int lo = std::max(x, b.x()), hi = std::min(r, b.r());
        if (hi > lo) std::memcpy(out + lo, src + lo, size_t(hi - lo) * 4);
        for (int i = x; i < std::min(r, b.x()); ++i) out[i] = src[b.x()];
        for (int i = std::max(x, b.r()); i < r; ++i) out[i] = src[b.r() - 1];
    }
}

void Iop::renderDirect(int y, int x, int r, const ChannelSet& channels, Row& row) {
    const Box& b = box();
    const ChannelSet have = channels & this->channels();
    for (Channel z : channels - have) row.erase(z);
    if (have.empty()) return;
    const int yy = b.clampy(y);
    const int x0 = b.clampx(x), x1 = b.clampx(r - 1) + 1;
    Row tmp(x0, x1);
    engine(yy, x0, x1, have, tmp);
    for (Channel z : have) {
        float* out = row.writable(z);
        const float* src = tmp[z];
        const int lo = std::max(x, x0), hi = std::min(r, x1);
        if (hi > lo) std::memcpy(out + lo, src + lo, size_t(hi - lo) * 4);
        for (int i = x; i < std::min(r, x0); ++i) out[i] = src[x0];
        for (int i = std::max(x, x1); i < r; ++i) out[i] = src[x1 - 1];
    }
}

void Iop::sample(float cx, float cy, float w, float h, Filter* filter, Pixel& out) {
    auto kept = plane();
    const Box& pb = kept->box;
    if (hasError() || pb.empty()) {
        for (Channel z : out.channels()) out[z] = 0.0f;
        return;
    }
    Filter fallback(Filter::Cubic);
    const Filter& f = filter ? *filter : fallback;
    // Wide footprints are capped so the weights fit the buffers; such footprints only
    // come from extreme minification, where the capped filter still averages correctly.
    constexpr int kCap = 512;
    const double maxScale = (kCap - 2) / (2.0 * std::max(f.radius(), 0.5));
    float wx[kCap], wy[kCap];
    int fx = 0, fy = 0;
    const int nx = f.weights(cx, std::min(std::max(double(w), 1.0), maxScale), fx, wx, kCap);
    const int ny = f.weights(cy, std::min(std::max(double(h), 1.0), maxScale), fy, wy, kCap);
    for (Channel z : out.channels()) {
        if (!kept->channels.contains(z)) {
            out[z] = 0.0f;
            continue;
        }
        double sum = 0.0;
        for (int j = 0; j < ny; ++j) {
            if (wy[j] == 0.0f) continue;
            const float* src = kept->row(z, pb.clampy(fy + j));
            double line = 0.0;
            for (int i = 0; i < nx; ++i) line += double(wx[i]) * src[pb.clampx(fx + i)];
            sum += line * wy[j];
        }
        out[z] = float(sum);
    }
}

void Iop::sample(float cx, float cy, float dux, float duy, float dvx, float dvy, Filter* filter,
                 Pixel& out) {
    sample(cx, cy, std::fabs(dux) + std::fabs(dvx), std::fabs(duy) + std::fabs(dvy), filter, out);
}

} // namespace Kx::Image
