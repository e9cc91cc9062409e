// The framework's image op: default validation and requests, the full-frame path with its
// lock and channel cache, and the sampling path.
#include "IopPlugin.h"

#include "ChannelCache.h"
#include "Firewall.h"

#include "mwException.h"

#include "Kx/Image/Row.h"

#include <algorithm>
#include <iostream>
#include <new>
#include <string>

namespace Marrow::Support::KDK {

using namespace Kx::Image;

FrameBuffer::FrameBuffer(const Box& area) : box(area) {
    const size_t count = size_t(std::max(area.w(), 0)) * size_t(std::max(area.h(), 0));
    bool allocated = count <= samples.max_size();
    if (allocated) {
        try {
            samples.assign(count, 0.0f);
        } catch (const std::bad_alloc&) {
            allocated = false;
        }
    }
    if (!allocated)
        MW_RAISE(Marrow::Exceptions::OutOfMemory, std::to_string(count * sizeof(float)),
                 "Image allocation");
}

IopPlugin::IopPlugin(Node* node) : PluginBase<Iop>(node) {}

IopPlugin::~IopPlugin() = default;

// ---- validation and requests ----

void IopPlugin::_validate(bool for_real) {
    guard(*this, [&] { pluginValidate(for_real); });
}

void IopPlugin::_request(int x, int y, int r, int t, ChannelSet channels, int count) {
    guard(*this, [&] { pluginRequest(x, y, r, t, channels, count); });
}

void IopPlugin::engine(int y, int x, int r, ChannelSet channels, Row& row) {
    if (!guard(*this, [&] { pluginEngine(y, x, r, channels, row); })) row.erase(channels);
}

void IopPlugin::sample(float cx, float cy, float w, float h, Filter* filter, Pixel& out) {
    if (!guard(*this, [&] { pluginSample(cx, cy, w, h, filter, out); })) out.erase();
}

void IopPlugin::sample(float cx, float cy, float dux, float duy, float dvx, float dvy,
                       Filter* filter, Pixel& out) {
    if (!guard(*this, [&] { pluginSampleDerivatives(cx, cy, dux, duy, dvx, dvy, filter, out); }))
        out.erase();
}

void IopPlugin::pluginValidate(bool for_real) {
    for (int i = 0; i < inputs(); ++i)
        if (Op* in = input(i)) in->validate(for_real);
    copy_info(0);
    if (!aborted()) {
        Box b = info().box;
        outputBox(b);
        info().box = b;
    }
    if (!_addedChannels.all_channels()) info().channels += _addedChannels;
    info().channels -= _removedChannels;
    if (_sampleMode && for_real) {
        _filter.initialize();
        afterValidate();
    }
}

void IopPlugin::pluginRequest(int x, int y, int r, int t, ChannelSet channels, int count) {
    _requestedFlags = flagsFromChannels(channels, extraChannels());
    _requestedArea = Box(x, y, r, t);
    _requestedCount = count;
    Box first = _requestedArea;
    if (!aborted()) {
        requestArea(0, first);
        first.merge(_requestedArea);
    }
    for (int n = 0; n < node_inputs(); ++n) {
        Op* firstSplit = input(n, 0);
        for (int k = 0; k < std::max(split_input(n), 1); ++k) {
            Op* op = input(n, k);
            Iop* iop = op ? op->iop() : nullptr;
            if (!iop || (k > 0 && op == firstSplit)) continue;
            OutputContext scratch;
            const OutputContext& c = inputContext(n, k, scratch);
            ChannelSet wanted =
                channelsFromFlags(inputFlags(n, int(c.frame()), c.view() - 1), extraChannels());
            wanted += inputChannels(n);
            if (k == 0) wanted += channels;
            if (wanted.empty()) continue;
            iop->request(n == 0 ? first : _requestedArea, wanted, count);
        }
    }
    _requested = true;
}

void IopPlugin::_invalidate() {
    Iop::_invalidate();
    _needsProcessing = true;
    _requested = true;
}

void IopPlugin::_close() {
    Iop::_close();
    _needsProcessing = true;
    _requested = true;
    _frameCache.clear(); // each buffer gives up its reference
    _hasProcessedData = false;
}

// ---- hooks ----

void IopPlugin::setAddedChannels(const ChannelSet& channels) {
    _addedChannels = channels;
}

void IopPlugin::setAddedChannelsByLayout(int code) {
    switch (code) {
    case 1:
    case 8:
        _addedChannels = Mask_RGB;
        break;
    case 4:
        _addedChannels = Mask_Alpha;
        break;
    default:
        _addedChannels = Mask_RGBA;
        break;
    }
}

void IopPlugin::setAddedChannelsFromFlags(uint32_t flags) {
    _addedChannels = channelsFromFlags(flags, extraChannels());
}

Hash IopPlugin::baseHash() {
    return hash();
}
uint32_t IopPlugin::inputFlags(int, int, int) {
    return 0;
}
ChannelSet IopPlugin::inputChannels(int) {
    return Mask_None;
}
ChannelSet IopPlugin::extraChannels() const {
    return Mask_None;
}
void IopPlugin::outputBox(Box&) {}
void IopPlugin::afterValidate() {}
void IopPlugin::mapPoint(float&, float&) {}

void IopPlugin::process(FrameJob&) {
    std::cerr << "IopPlugin::process called. Did you mean to override this?\n";
}

// ---- the full-frame path ----

Box IopPlugin::processArea() const {
    return _wholeBox ? box() : requestedBox();
}

void IopPlugin::processWithCache(const ChannelSet& channels) {
    Box area = processArea();
    long w = area.w(), h = area.h();
    if (w <= 0 || h <= 0) return;
    if (h > kMaxPixels / w || w > kMaxPixels / h) {
        Op::error("Output image is too-large %d x %d", int(w), int(h));
        return;
    }
    if (!(area == _processedArea)) _frameCache.clear();
    _processedArea = area;
    Hash key = baseHash();
    key.append(int32_t(area.x()));
    key.append(int32_t(area.y()));
    key.append(int32_t(area.r()));
    key.append(int32_t(area.t()));
    bool useCache = _cacheEnabled && ChannelCache::interactive();

    ChannelSet loaded;
    if (useCache) {
        for (Channel z : channels) {
            MwRefOwner<FrameBuffer> buffer(new FrameBuffer(area));
            if (!ChannelCache::read(ChannelCache::fileFor(key, z), buffer->samples.data(),
                                    buffer->samples.size()))
                continue;
            _frameCache[z] = std::move(buffer);
            loaded.insert(z);
        }
        ChannelSet rest = channels;
        rest -= loaded;
        std::cerr << node_name() << " - loaded channels " << ChannelCache::describe(loaded)
                  << ", didn't load " << ChannelCache::describe(rest) << "\n";
    }

    ChannelSet rest = channels;
    rest -= loaded;
    if (!rest.empty()) {
        FrameJob job{area, rest, frame(), view(), {}};
        for (Channel z : rest) {
            _frameCache[z] = MwRefOwner<FrameBuffer>(new FrameBuffer(area));
            job.planes[z] = _frameCache[z].get();
        }
        _processing = true;
        process(job);
        _processing = false;
    }
    _hasProcessedData = true;

    if (useCache && !interrupted()) {
        ChannelSet failed;
        for (Channel z : rest) {
            auto file = ChannelCache::fileFor(key, z);
            if (std::filesystem::exists(file)) continue;
            const FrameBuffer& b = *_frameCache[z];
            if (!ChannelCache::write(file, b.samples.data(), b.samples.size())) failed.insert(z);
        }
        if (!failed.empty())
            std::cerr << node_name() << " warning - unable to save some channels to the cache: "
                      << ChannelCache::describe(failed) << "\n";
    }
}

void IopPlugin::rowFromProcessed(int y, int x, int r, const ChannelSet& channels, Row& row) {
    for (Channel z : channels) {
        float* out = row.writable(z);
        auto it = _frameCache.find(z);
        const FrameBuffer* b = it == _frameCache.end() ? nullptr : it->second.get();
        bool inside = b && y >= b->box.y() && y < b->box.t();
        const float* src = inside ? b->row(y) : nullptr;
        for (int i = x; i < r; ++i)
            out[i] = src && i >= b->box.x() && i < b->box.r() ? src[i - b->box.x()] : 0.0f;
    }
}

void IopPlugin::rowByFullFrame(int y, int x, int r, const ChannelSet& channels, Row& row) {
    ChannelSet own = channels & _addedChannels;
    own -= _removedChannels;
    ChannelSet direct = channels;
    direct -= own;
    if (!direct.empty()) {
        if (Iop* in = input_iop(0))
            row.get(*in, y, x, r, direct);
        else
            row.erase(direct);
    }
    if (own.empty()) return;
    {
        Guard guard(_lock);
        if (_needsProcessing) {
            _frameCache.clear();
            _needsProcessing = false;
        }
        ChannelSet missing;
        for (Channel z : own)
            if (!_frameCache.count(z)) missing.insert(z);
        if (!missing.empty() && !interrupted()) processWithCache(missing);
    }
    rowFromProcessed(y, x, r, own, row);
}

// ---- the sampling path ----

void IopPlugin::rowBySampling(int y, int x, int r, const ChannelSet& channels, Row& row) {
    Pixel pixel(channels);
    std::vector<float*> out;
    for (Channel z : channels) out.push_back(row.writable(z));
    for (int i = x; i < r; ++i) {
        pixel.erase();
        sample(float(i) + 0.5f, float(y) + 0.5f, 1.0f, 0.0f, 0.0f, 1.0f, &_filter, pixel);
        size_t k = 0;
        for (Channel z : channels) out[k++][i] = pixel[z];
    }
}

void IopPlugin::pluginEngine(int y, int x, int r, ChannelSet channels, Row& row) {
    if (_sampleMode)
        rowBySampling(y, x, r, channels, row);
    else
        rowByFullFrame(y, x, r, channels, row);
}

void IopPlugin::pluginSample(float cx, float cy, float w, float h, Filter* filter, Pixel& out) {
    pluginSampleDerivatives(cx, cy, w, 0.0f, 0.0f, h, filter, out);
}

void IopPlugin::pluginSampleDerivatives(float cx, float cy, float dux, float duy, float dvx,
                                        float dvy, Filter* filter, Pixel& out) {
    if (!_sampleMode) {
        Iop::sample(cx, cy, std::fabs(dux) + std::fabs(dvx), std::fabs(duy) + std::fabs(dvy),
                    filter, out);
        return;
    }
    float ux = cx + dux, uy = cy + duy, vx = cx + dvx, vy = cy + dvy;
    mapPoint(cx, cy);
    mapPoint(ux, uy);
    mapPoint(vx, vy);
    const Box& a = _requestedArea;
    auto clampX = [&](float& v) { v = std::clamp(v, float(a.x()), float(a.r())); };
    auto clampY = [&](float& v) { v = std::clamp(v, float(a.y()), float(a.t())); };
    clampX(cx), clampX(ux), clampX(vx);
    clampY(cy), clampY(uy), clampY(vy);
    Iop* in = input_iop(0);
    if (!in) {
        out.erase();
        return;
    }
    in->sample(cx, cy, ux - cx, uy - cy, vx - cx, vy - cy, filter ? filter : &_filter, out);
}

} // namespace Marrow::Support::KDK
