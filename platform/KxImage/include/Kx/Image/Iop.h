// Iop: an op that produces an image.
//
// Output info, set by _validate: the data box (where pixels may be non-zero; reads outside
// it repeat the edge pixels), the format and the full-size format, the channels, the frame
// range. Rows are produced by engine() on many threads at once for different rows; an
// engine reads its inputs through get() and sample() and writes only the row it is given.
//
// The engine of the host keeps each op's requested area: the first get() or sample() of a
// validated op renders its requested area (the merge of every request() since the last
// invalidate, within the data box) on the engine's threads, and later reads copy from it.
// Results are kept by the op's hash in the engine's cache, so another op with the same
// hash reuses them; the cache alone owns them, within its memory budget, and an area it
// has let go is rendered again on the next read. Reads outside the kept area are computed
// on the spot.
#pragma once

#include "Box.h"
#include "Channel.h"
#include "Op.h"
#include "Row.h"

#include <memory>
#include <mutex>

namespace Kx::Image {

class Filter;
struct Plane;
struct EngineCache;

struct IopInfo {
    Box box;
    Format format;
    Format full_size_format;
    ChannelSet channels;
    int first_frame = 1, last_frame = 1;
    bool black_outside = false;
};

class Iop : public Op {
public:
    explicit Iop(Node* node);
    ~Iop() override;
    Iop* iop() override { return this; }

    // ---- output info ----
    const IopInfo& info() const { return _info; }
    IopInfo& info() { return _info; }
    const Box& box() const { return _info.box; }
    const Format& format() const { return _info.format; }
    const Format& full_size_format() const { return _info.full_size_format; }
    const ChannelSet& channels() const { return _info.channels; }
    int first_frame() const { return _info.first_frame; }
    int last_frame() const { return _info.last_frame; }
    void set_out_channels(const ChannelSet& c) { _info.channels = c; }
    // Copies the info of an input image op (nothing when it is not one).
    void copy_info(int input = 0);
    void clear_info() { _info = IopInfo(); }

    // Validation of an Iop with no own _validate copies input 0's info.
    void _validate(bool for_real) override;

    // ---- requests ----
    void request(int x, int y, int r, int t, const ChannelSet& channels, int count = 1);
    void request(const Box& b, const ChannelSet& channels, int count = 1) {
        request(b.x(), b.y(), b.r(), b.t(), channels, count);
    }
    // Default: asks input 0 for the same area and channels.
    virtual void _request(int x, int y, int r, int t, ChannelSet channels, int count);
    const Box& requestedBox() const { return _requestedBox; }
    const ChannelSet& requested_channels() const { return _requestedChannels; }
    int requested_count() const { return _requestedCount; }
    void _invalidate() override;
    void _close() override;

    // ---- rows ----
    // Produces row y, columns x..r-1, of the given channels (a subset of channels()).
    virtual void engine(int y, int x, int r, ChannelSet channels, Row& row) = 0;
    // Reads row y of this op's output through the engine's cache.
    void get(int y, int x, int r, const ChannelSet& channels, Row& row);

    // ---- passing pixels on ----
    // An op whose output over `area` already lies in memory, its input's kept area or a
    // decoded file, hands it out here, and the engine keeps it as this op's kept area instead
    // of rendering and copying it. The plane must hold what engine() gives over `area` for
    // `channels` (it may leave a channel out of its index: that channel reads as zero). This
    // op then holds the memory for as long as it holds its kept area, also when the engine's
    // store has let the input's area go. The default passes nothing (null): the area is
    // rendered.
    virtual std::shared_ptr<const Plane> passArea(const Box& area, const ChannelSet& channels);
    // For passArea: the window `area` of the kept area of `input`, channels `zero` reading as
    // zero; null when there is no input or its kept area does not cover the area and the
    // other channels.
    static std::shared_ptr<const Plane>
    passInput(Iop* input, const Box& area, const ChannelSet& channels, const ChannelSet& zero = {});

    // ---- samples ----
    // Filtered value at (cx, cy) over a footprint of w by h pixels, written into the
    // channels of out that this op has (others are zero).
    virtual void sample(float cx, float cy, float w, float h, Filter* filter, Pixel& out);
    // The same with the footprint given by the derivatives of the sample position along
    // the output's x (du) and y (dv): w = |du.x| + |dv.x|, h = |du.y| + |dv.y|.
    virtual void sample(float cx, float cy, float dux, float duy, float dvx, float dvy,
                        Filter* filter, Pixel& out);
    // Samples along a row: for the columns x <= i < r, column i of each channel of row gets
    // the filtered value at (xs[i - x], ys[i - x]) over a footprint of one pixel, what
    // sample(xs[i - x], ys[i - x], 1, 1, filter, pixel) gives but with the weights taken from
    // the filter's table (Filter::Table): within 1e-4 of it for values of order 1. It reads
    // the kept area directly, only the channels asked, with no Pixel and no allocation per
    // point; channels this op lacks are zero, and reads beyond the kept area repeat its edge
    // pixels as sample() does. Positions need not be finite (they are clamped first). A null
    // filter is Cubic. Safe on many threads at once. When a subclass overrides sample() with
    // something other than a read of its own kept area (an op in sample mode maps each
    // point to its input), every point goes through that sample() instead, with one Pixel
    // for the whole row: a single probe call of sample() per row tells the two apart.
    void sampleRow(const float* xs, const float* ys, int x, int r, const ChannelSet& channels,
                   const Filter* filter, Row& row);

    // The kept area of this op, rendered on first use and again whenever the engine's store
    // has let it go to stay within its memory budget (the store owns it; see Engine.h).
    std::shared_ptr<const Plane> plane();

private:
    friend struct EngineCache;
    void copyFromPlane(const Plane& p, int y, int x, int r, const ChannelSet& channels, Row& row);
    void renderDirect(int y, int x, int r, const ChannelSet& channels, Row& row);
    // Whether sample() of this op ends in this class's read of its own kept area.
    bool samplesKeptArea();

    IopInfo _info;
    Box _requestedBox;
    ChannelSet _requestedChannels;
    int _requestedCount = 0;
    bool _requested = false;
    struct Keep;
    std::shared_ptr<Keep> currentKeep();
    // Starts a new kept area, unless another thread already replaced `seen` (null: always).
    void dropKeep(const std::shared_ptr<Keep>& seen);
    std::mutex _keepMutex;
    std::shared_ptr<Keep> _keep;
};

// The memory of one channel of a Plane, from the first pixel of its bottom row on. It is
// shared with its owner: the engine's frame memory, or the pixels another op or a decoded
// file holds, which a plane passes on without copying them.
struct PlaneBuffer {
    std::shared_ptr<const float> memory;
    const float* data() const { return memory.get(); }
};

// A rendered area of an op: one float plane per channel, rows bottom-up, each row stride
// floats after the one below it. The stride is the width rounded up to whole cache lines
// plus one line: rows of a power-of-two width would otherwise fall into the same sets of
// the first-level cache, which a filter that reads several rows of several planes at once
// would thrash.
struct Plane {
    Box box;
    ChannelSet channels;
    size_t stride = 0;
    std::vector<int> index; // channel -> plane number, -1 when absent (reads as zero)
    std::vector<PlaneBuffer> data;

    static size_t strideFor(int width) {
        return (size_t(width > 0 ? width : 0) + 15) / 16 * 16 + 16;
    }
    // The window `area` (inside box) of this plane, sharing its memory: channels in `zero`
    // read as zero, the others must be in channels.
    static std::shared_ptr<const Plane> window(const std::shared_ptr<const Plane>& from,
                                               const Box& area, const ChannelSet& channels,
                                               const ChannelSet& zero);
    const float* row(Channel z, int y) const {
        int i = z < int(index.size()) ? index[size_t(z)] : -1;
        return i < 0 ? nullptr : data[size_t(i)].data() + size_t(y - box.y()) * stride - box.x();
    }
    size_t bytes() const { return data.size() * stride * size_t(box.h()) * 4; }
};

} // namespace Kx::Image
