// Choosing the views and channels to read from a file, with the messages for those it lacks.
#pragma once

#include <Kx/Image/Channel.h>

#include <string>
#include <vector>

namespace Kestrel::IO {

struct SelectedView {
    std::string name; // name in the result
    size_t fileIndex; // index of the view in the file
};

// The views to read. `fileViews` are the file's view names in order (one empty name for a file
// without views), `requested` the names asked for (empty: all). Throws IOError naming the file,
// the view and the views it has when a requested view is missing from a file with views.
std::vector<SelectedView> selectViews(const std::string& path,
                                      const std::vector<std::string>& fileViews,
                                      const std::vector<std::string>& requested);

// The channels to read from a view holding `available`: `requested`, or all when it is empty.
// Throws IOError naming the file, the view and the first missing channel.
Kx::Image::ChannelSet selectChannels(const std::string& path, const std::string& view,
                                     const Kx::Image::ChannelSet& available,
                                     const Kx::Image::ChannelSet& requested);

} // namespace Kestrel::IO
