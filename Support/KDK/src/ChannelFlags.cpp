// Channel flags to host channel masks and back.
#include "ChannelFlags.h"

namespace Marrow::Support::KDK {

using Kx::Image::ChannelSet;

namespace {

constexpr ChannelSet kColour(uint64_t(15));
constexpr ChannelSet kMotion1(uint64_t(96));
constexpr ChannelSet kMotion2(uint64_t(0x180));
constexpr ChannelSet kDisparity(uint64_t(0x1E00));
constexpr ChannelSet kDepth(uint64_t(16));
constexpr ChannelSet kMask(uint64_t(0x20000));

} // namespace

ChannelSet channelsFromFlags(uint32_t flags, const ChannelSet& extra) {
    ChannelSet c;
    if (flags & ChannelFlag::Colour) c += kColour;
    if (flags & ChannelFlag::Motion1) c += kMotion1;
    if (flags & ChannelFlag::Motion2) c += kMotion2;
    if (flags & (ChannelFlag::DisparityA | ChannelFlag::DisparityB)) c += kDisparity;
    if (flags & ChannelFlag::Depth) c += kDepth;
    if (flags & ChannelFlag::Mask) c += kMask;
    if (flags & ChannelFlag::Extra) c += extra;
    return c;
}

uint32_t flagsFromChannels(const ChannelSet& channels, const ChannelSet& extra) {
    uint32_t f = 0;
    if (channels.intersects(kColour)) f |= ChannelFlag::Colour;
    if (channels.intersects(kMotion1)) f |= ChannelFlag::Motion1;
    if (channels.intersects(kMotion2)) f |= ChannelFlag::Motion2;
    if (channels.intersects(kDisparity)) f |= ChannelFlag::DisparityA | ChannelFlag::DisparityB;
    if (channels.intersects(kDepth)) f |= ChannelFlag::Depth;
    if (channels.intersects(extra)) f |= ChannelFlag::Extra;
    if (channels.intersects(kMask)) f |= ChannelFlag::Mask;
    return f;
}

} // namespace Marrow::Support::KDK
