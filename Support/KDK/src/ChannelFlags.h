// Channel flags: a 32-bit word in which a node names groups of host channels. A host
// channel mask has bit n - 1 for host channel n.
//
//   bit 0   channels 1-4 (red, green, blue, alpha)   mask 15
//   bit 2   channels 6, 7 (first motion pair)        mask 96
//   bit 3   channels 8, 9 (second motion pair)       mask 0x180
//   bit 4/5 channels 10-13 (the disparity channels)  mask 0x1E00 (either bit)
//   bit 6   channel 5                                mask 16
//   bit 7   channel 18                               mask 0x20000
//   bit 9   the node's extra channels (IopPlugin::extraChannels)
#pragma once

#include "Kx/Image/Channel.h"

#include <cstdint>

namespace Marrow::Support::KDK {

namespace ChannelFlag {
inline constexpr uint32_t Colour = 1u << 0;
inline constexpr uint32_t Motion1 = 1u << 2;
inline constexpr uint32_t Motion2 = 1u << 3;
inline constexpr uint32_t DisparityA = 1u << 4;
inline constexpr uint32_t DisparityB = 1u << 5;
inline constexpr uint32_t Depth = 1u << 6;
inline constexpr uint32_t Mask = 1u << 7;
inline constexpr uint32_t Extra = 1u << 9;
} // namespace ChannelFlag

Kx::Image::ChannelSet channelsFromFlags(uint32_t flags, const Kx::Image::ChannelSet& extra);
// Sets a flag when any channel of its group is present (both disparity bits for any
// disparity channel).
uint32_t flagsFromChannels(const Kx::Image::ChannelSet& channels,
                           const Kx::Image::ChannelSet& extra);

} // namespace Marrow::Support::KDK
