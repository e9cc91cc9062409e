// Channels and channel sets.
//
// A channel is a number. Host channel n has bit n - 1 in a channel mask. The fixed
// numbers, with the layer.channel names under which they travel in image files:
//   1-4   rgba.red, rgba.green, rgba.blue, rgba.alpha
//   5     depth.Z
//   6, 7  forward.u, forward.v      (motion towards the next frame)
//   8, 9  backward.u, backward.v    (motion towards the previous frame)
//   10,11 disparityR.x, disparityR.y (at a pixel of the right view: offset to its match in
//                                     the left view)
//   12,13 disparityL.x, disparityL.y (at a pixel of the left view: offset to its match in
//                                     the right view)
//   18    mask.a
// Numbers 14 to 17 and 19 are reserved. Channels created by name (getChannel) are numbered
// from 20 up, in order of creation, process-wide.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>

namespace Kx::Image {

using Channel = int;

enum : Channel {
    Chan_Black = 0,
    Chan_Red = 1,
    Chan_Green = 2,
    Chan_Blue = 3,
    Chan_Alpha = 4,
    Chan_Z = 5,
    Chan_Forward_U = 6,
    Chan_Forward_V = 7,
    Chan_Backward_U = 8,
    Chan_Backward_V = 9,
    Chan_DisparityR_X = 10,
    Chan_DisparityR_Y = 11,
    Chan_DisparityL_X = 12,
    Chan_DisparityL_Y = 13,
    Chan_Mask = 18,
    Chan_FirstNamed = 20,
};

// Highest channel number a set can hold.
constexpr int kMaxChannels = 255;

// Returns the channel of that full name ("layer.channel"), creating it when it does not
// exist yet. A name without a dot is placed in the layer "other". Thread-safe.
Channel getChannel(const std::string& name);
// Returns the channel of that name, or Chan_Black when none exists. Thread-safe.
Channel findChannel(const std::string& name);
// Full name of a channel ("rgba.red"); "black" for channel 0, "" for an unknown number.
std::string getName(Channel z);
// The layer part and the channel part of a channel's name.
std::string getLayerName(Channel z);
std::string getChannelName(Channel z);

class ChannelSet {
public:
    constexpr ChannelSet() = default;
    // A set from the low 64 bits of a channel mask (bit n - 1 for channel n).
    constexpr ChannelSet(uint64_t mask) { _bits[0] = mask; }
    ChannelSet(std::initializer_list<Channel> channels) {
        for (Channel z : channels) insert(z);
    }
    static ChannelSet all() {
        ChannelSet s;
        s._bits.fill(~uint64_t(0));
        s._bits[3] &= ~(uint64_t(1) << 63);
        return s;
    }

    // The low 32 bits of the mask, the form the node's channel groups are written in.
    constexpr uint32_t mask() const { return uint32_t(_bits[0]); }

    constexpr bool contains(Channel z) const {
        return z >= 1 && z <= kMaxChannels && (_bits[(z - 1) >> 6] >> ((z - 1) & 63)) & 1;
    }
    constexpr bool contains(const ChannelSet& o) const {
        for (int i = 0; i < 4; ++i)
            if ((o._bits[i] & ~_bits[i]) != 0) return false;
        return true;
    }
    constexpr bool intersects(const ChannelSet& o) const {
        for (int i = 0; i < 4; ++i)
            if ((o._bits[i] & _bits[i]) != 0) return true;
        return false;
    }
    constexpr void insert(Channel z) {
        if (z >= 1 && z <= kMaxChannels) _bits[(z - 1) >> 6] |= uint64_t(1) << ((z - 1) & 63);
    }
    constexpr void erase(Channel z) {
        if (z >= 1 && z <= kMaxChannels) _bits[(z - 1) >> 6] &= ~(uint64_t(1) << ((z - 1) & 63));
    }
    constexpr void clear() { _bits.fill(0); }
    constexpr bool empty() const { return !(_bits[0] | _bits[1] | _bits[2] | _bits[3]); }
    constexpr int size() const {
        int n = 0;
        for (uint64_t b : _bits) n += __builtin_popcountll(b);
        return n;
    }
    bool all_channels() const { return *this == all(); }

    // Lowest channel in the set (Chan_Black when empty) and the next one after z.
    Channel first() const { return next(Chan_Black); }
    Channel next(Channel z) const {
        for (Channel c = z + 1; c <= kMaxChannels; ++c)
            if (contains(c)) return c;
        return Chan_Black;
    }

    constexpr ChannelSet& operator+=(const ChannelSet& o) {
        for (int i = 0; i < 4; ++i) _bits[i] |= o._bits[i];
        return *this;
    }
    constexpr ChannelSet& operator-=(const ChannelSet& o) {
        for (int i = 0; i < 4; ++i) _bits[i] &= ~o._bits[i];
        return *this;
    }
    constexpr ChannelSet& operator&=(const ChannelSet& o) {
        for (int i = 0; i < 4; ++i) _bits[i] &= o._bits[i];
        return *this;
    }
    constexpr ChannelSet& operator+=(Channel z) { return insert(z), *this; }
    constexpr ChannelSet& operator-=(Channel z) { return erase(z), *this; }
    friend constexpr ChannelSet operator+(ChannelSet a, const ChannelSet& b) { return a += b; }
    friend constexpr ChannelSet operator-(ChannelSet a, const ChannelSet& b) { return a -= b; }
    friend constexpr ChannelSet operator&(ChannelSet a, const ChannelSet& b) { return a &= b; }
    constexpr bool operator==(const ChannelSet&) const = default;

    // "rgba.red rgba.green" style listing, for messages.
    std::string toString() const;

    // Iteration over the channels in ascending order.
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Channel;
        using difference_type = std::ptrdiff_t;
        using pointer = const Channel*;
        using reference = Channel;
        iterator(const ChannelSet* s, Channel z) : _s(s), _z(z) {}
        Channel operator*() const { return _z; }
        iterator& operator++() { return _z = _s->next(_z), *this; }
        bool operator!=(const iterator& o) const { return _z != o._z; }
        bool operator==(const iterator& o) const { return _z == o._z; }
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }

    private:
        const ChannelSet* _s;
        Channel _z;
    };
    iterator begin() const { return {this, first()}; }
    iterator end() const { return {this, Chan_Black}; }

private:
    std::array<uint64_t, 4> _bits{};
};

constexpr ChannelSet Mask_None(uint64_t(0));
constexpr ChannelSet Mask_RGB(uint64_t(0x7));
constexpr ChannelSet Mask_RGBA(uint64_t(0xF));
constexpr ChannelSet Mask_Red(uint64_t(0x1));
constexpr ChannelSet Mask_Alpha(uint64_t(0x8));
constexpr ChannelSet Mask_Motion(uint64_t(0x1E0));
constexpr ChannelSet Mask_Disparity(uint64_t(0x1E00));

} // namespace Kx::Image
