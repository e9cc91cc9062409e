// Channel names in image files and the host channels they stand for.
//
//   file          host
//   R G B A       rgba.red rgba.green rgba.blue rgba.alpha
//   Z             depth.Z
//   layer.chan    the host channel of that layer.channel name: forward.u/v, backward.u/v,
//                 disparityL.x/y, disparityR.x/y (the fixed numbers), stitch_map.u/v and any
//                 other layer (a named channel, created on first use)
//   name          a name without a layer is the host channel other.name, written back as name
//                 (other.R and the like keep their layer, so as not to meet rgba.red)
//
// View prefixes are not part of these names; the EXR reader and writer add and remove them.
#pragma once

#include <Kx/Image/Channel.h>

#include <string>

namespace Kestrel::IO {

// The name under which host channel z is written to a file.
std::string fileChannelName(Kx::Image::Channel z);

// The host channel for a file channel name; Chan_Black when the name is empty or the host has
// no room for another named channel.
Kx::Image::Channel hostChannel(const std::string& fileName);

} // namespace Kestrel::IO
