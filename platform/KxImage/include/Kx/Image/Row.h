// A row of pixels: one float buffer per channel, covering columns x <= i < r of one image
// row. Buffers are addressed by absolute column, so row.writable(z)[i] is column i.
// A channel that was never written reads as zero.
#pragma once

#include "Channel.h"

#include <array>
#include <memory>
#include <vector>

namespace Kx::Image {

class Iop;

class Row {
public:
    Row(int x, int r);
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;

    int getLeft() const { return _x; }
    int getRight() const { return _r; }

    // Moves the row to cover x..r; existing data is dropped.
    void range(int x, int r);

    // Pointer for writing channel z, valid for columns x..r-1.
    float* writable(Channel z);
    // Pointer for reading channel z; a channel never written reads as zeros.
    const float* operator[](Channel z) const;
    bool is_writable(Channel z) const { return _written.contains(z); }
    ChannelSet writable_channels() const { return _written; }

    // Sets channel z to zero for the whole row.
    void erase(Channel z);
    void erase(const ChannelSet& channels);
    // Copies channels of another row for columns x..r-1.
    void copy(const Row& source, const ChannelSet& channels, int x, int r);

    // Fills this row's channels for row y, columns x..r-1 from the op's output.
    void get(Iop& op, int y, int x, int r, const ChannelSet& channels);

private:
    int _x, _r;
    ChannelSet _written;
    std::vector<std::unique_ptr<float[]>> _buffers; // indexed by channel
    std::vector<float> _zeros;
};

// One point sample: a value per channel of its channel set.
class Pixel {
public:
    Pixel() { _values.fill(0.0f); }
    explicit Pixel(const ChannelSet& channels) : _channels(channels) { _values.fill(0.0f); }

    const ChannelSet& channels() const { return _channels; }
    void setChannels(const ChannelSet& c) { _channels = c; }
    float& operator[](Channel z) { return _values[size_t(z)]; }
    float operator[](Channel z) const { return _values[size_t(z)]; }
    void erase() { _values.fill(0.0f); }

private:
    ChannelSet _channels;
    std::array<float, kMaxChannels + 1> _values;
};

} // namespace Kx::Image
