// File channel names <-> host channels.
#include "Kestrel/IO/ChannelNames.h"

#include <array>

namespace Kestrel::IO {

using namespace Kx::Image;

namespace {

// The channels whose file names differ from the host's layer.channel names.
struct ShortName {
    Channel channel;
    const char* name;
};
constexpr std::array<ShortName, 5> kShortNames{{
    {Chan_Red, "R"},
    {Chan_Green, "G"},
    {Chan_Blue, "B"},
    {Chan_Alpha, "A"},
    {Chan_Z, "Z"},
}};

constexpr const char* kNoLayer = "other.";

} // namespace

std::string fileChannelName(Channel z) {
    for (const ShortName& s : kShortNames)
        if (s.channel == z) return s.name;
    const std::string name = getName(z);
    if (!name.starts_with(kNoLayer)) return name;
    // other.name is written as name, unless that is one of the short names above.
    const std::string bare = name.substr(std::char_traits<char>::length(kNoLayer));
    for (const ShortName& s : kShortNames)
        if (bare == s.name) return name;
    return bare;
}

Channel hostChannel(const std::string& fileName) {
    for (const ShortName& s : kShortNames)
        if (fileName == s.name) return s.channel;
    return getChannel(fileName);
}

} // namespace Kestrel::IO
