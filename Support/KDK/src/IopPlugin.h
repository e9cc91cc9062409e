// IopPlugin: the framework's image op. It picks the channels a node adds or removes,
// validates and requests by default, and renders rows in one of two ways:
//
// - Full frame (sample mode off, the default): the node's process hook computes the whole
//   area at once (the op's box with whole-box processing, else the area the host requested),
//   under a lock so that the first render thread computes it and the others copy rows from
//   the result. Channels the node does not add, or removes, come straight from input 0.
//   With the cache enabled and an interactive host, processed channels are kept in files of
//   the channel cache (ChannelCache.h) and read back on the next run; one line on standard
//   error tells what was loaded ("<node> - loaded channels <set>, didn't load <set>") and
//   one what could not be saved ("<node> warning - unable to save some channels to the
//   cache: <set>"). An area above 268435456 pixels is refused with the error
//   "Output image is too-large <w> x <h>".
// - Sampling (sample mode on): each pixel centre (x + 0.5, y + 0.5) is sampled through the
//   node's sample(), whose default maps the centre and its derivative ends through the
//   map-point hook, clamps them to the requested area and samples input 0 with the filter.
//
// The host's validate, request, row and sample calls are final; a node changes them through the
// hooks pluginValidate, pluginRequest, pluginEngine, pluginSample and pluginSampleDerivatives,
// which run inside the framework's firewall (Firewall.h). A row whose hook throws is black, a
// sample whose hook throws is 0, and the exception's message is the node's error.
#pragma once

#include "ChannelFlags.h"
#include "InteractKnob.h"
#include "PluginBase.h"
#include "SerializeKnob.h"

#include "Kx/Image/Filter.h"
#include "Kx/Image/Iop.h"
#include "Kx/Image/Lock.h"

#include "mwRefCounter.h"

#include <map>
#include <vector>

namespace Marrow::Support::KDK {

// A processed full-frame plane of one channel: its area and samples, rows bottom-up.
class FrameBuffer : public MwRefCounter {
public:
    // Raises OutOfMemory ("Image allocation") when the samples cannot be allocated.
    explicit FrameBuffer(const Kx::Image::Box& area);
    float* row(int y) { return samples.data() + size_t(y - box.y()) * size_t(box.w()); }
    const float* row(int y) const { return samples.data() + size_t(y - box.y()) * size_t(box.w()); }

    Kx::Image::Box box;
    std::vector<float> samples;
};

// The work of one process call: fill plane(z) for every channel z of channels over area.
struct FrameJob {
    Kx::Image::Box area;
    Kx::Image::ChannelSet channels;
    double frame = 0;
    int view = 0;
    std::map<Kx::Image::Channel, FrameBuffer*> planes;

    FrameBuffer* plane(Kx::Image::Channel z) {
        auto it = planes.find(z);
        return it == planes.end() ? nullptr : it->second;
    }
};

class IopPlugin : public PluginBase<Kx::Image::Iop> {
public:
    static constexpr long kMaxPixels = 268435456;

    explicit IopPlugin(Kx::Image::Node* node);
    ~IopPlugin() override;

    // ---- host virtuals ----
    void _validate(bool for_real) final;
    void _request(int x, int y, int r, int t, Kx::Image::ChannelSet channels, int count) final;
    void engine(int y, int x, int r, Kx::Image::ChannelSet channels, Kx::Image::Row& row) final;
    void sample(float cx, float cy, float w, float h, Kx::Image::Filter* filter,
                Kx::Image::Pixel& out) final;
    void sample(float cx, float cy, float dux, float duy, float dvx, float dvy,
                Kx::Image::Filter* filter, Kx::Image::Pixel& out) final;
    void _invalidate() override;
    void _close() override;

    // ---- hooks of the host calls ----
    virtual void pluginValidate(bool for_real);
    virtual void pluginRequest(int x, int y, int r, int t, Kx::Image::ChannelSet channels,
                               int count);
    virtual void pluginEngine(int y, int x, int r, Kx::Image::ChannelSet channels,
                              Kx::Image::Row& row);
    // The point form: the derivative form with derivatives (w, 0) and (0, h).
    virtual void pluginSample(float cx, float cy, float w, float h, Kx::Image::Filter* filter,
                              Kx::Image::Pixel& out);
    virtual void pluginSampleDerivatives(float cx, float cy, float dux, float duy, float dvx,
                                         float dvy, Kx::Image::Filter* filter,
                                         Kx::Image::Pixel& out);

    // ---- hooks ----
    virtual void setAddedChannels(const Kx::Image::ChannelSet& channels);
    // 1 or 8: red, green, blue; 2 or 16: red, green, blue, alpha; 4: alpha; else RGBA.
    virtual void setAddedChannelsByLayout(int code);
    virtual void setAddedChannelsFromFlags(uint32_t flags);
    virtual Kx::Image::Hash baseHash();
    // Channel flags needed of input n when it is read at a frame and view (minus one).
    virtual uint32_t inputFlags(int n, int frame, int viewMinusOne);
    virtual Kx::Image::ChannelSet inputChannels(int n);
    // The channels of channel flag bit 9.
    virtual Kx::Image::ChannelSet extraChannels() const;
    virtual void outputBox(Kx::Image::Box& box);
    virtual void process(FrameJob& job);
    virtual void afterValidate();
    virtual void mapPoint(float& x, float& y);
    virtual void processWithCache(const Kx::Image::ChannelSet& channels);
    virtual void rowFromProcessed(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                                  Kx::Image::Row& row);
    virtual void rowBySampling(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                               Kx::Image::Row& row);
    virtual void rowByFullFrame(int y, int x, int r, const Kx::Image::ChannelSet& channels,
                                Kx::Image::Row& row);

    // ---- settings ----
    void setSampleMode(bool on) { _sampleMode = on; }
    void setWholeBoxProcessing(bool on) { _wholeBox = on; }
    void setCacheEnabled(bool on) { _cacheEnabled = on; }
    bool sampleMode() const { return _sampleMode; }

    const Kx::Image::ChannelSet& addedChannels() const { return _addedChannels; }
    const Kx::Image::ChannelSet& removedChannels() const { return _removedChannels; }
    uint32_t requestedFlags() const { return _requestedFlags; }
    const Kx::Image::Box& requestedArea() const { return _requestedArea; }
    int requestedCount() const { return _requestedCount; }
    bool hasProcessedData() const { return _hasProcessedData; }

protected:
    // Records the area and count asked of the node, for a node that requests its inputs itself.
    void setRequestedArea(const Kx::Image::Box& area, int count) {
        _requestedArea = area;
        _requestedCount = count;
    }

    Kx::Image::ChannelSet _removedChannels;
    Kx::Image::ChannelSet _addedChannels;
    Kx::Image::Filter _filter{1};

private:
    Kx::Image::Box processArea() const;

    Kx::Image::Box _requestedArea;
    int _requestedCount = 0;
    uint32_t _requestedFlags = 0;
    Kx::Image::Lock _lock{4000};
    std::map<Kx::Image::Channel, MwRefOwner<FrameBuffer>> _frameCache;
    Kx::Image::Box _processedArea;
    bool _needsProcessing = true, _requested = true, _sampleMode = false, _wholeBox = false;
    bool _cacheEnabled = false, _processing = false, _hasProcessedData = false;
};

} // namespace Marrow::Support::KDK
