// The process-wide channel registry: fixed numbers for the channels every image may carry,
// numbers from 20 up for channels created by name.
#include "Kx/Image/Channel.h"

#include <map>
#include <mutex>
#include <vector>

namespace Kx::Image {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::string> names;
    std::map<std::string, Channel> byName;

    Registry() {
        names.resize(Chan_FirstNamed);
        const std::pair<Channel, const char*> fixed[] = {
            {Chan_Red, "rgba.red"},
            {Chan_Green, "rgba.green"},
            {Chan_Blue, "rgba.blue"},
            {Chan_Alpha, "rgba.alpha"},
            {Chan_Z, "depth.Z"},
            {Chan_Forward_U, "forward.u"},
            {Chan_Forward_V, "forward.v"},
            {Chan_Backward_U, "backward.u"},
            {Chan_Backward_V, "backward.v"},
            {Chan_DisparityR_X, "disparityR.x"},
            {Chan_DisparityR_Y, "disparityR.y"},
            {Chan_DisparityL_X, "disparityL.x"},
            {Chan_DisparityL_Y, "disparityL.y"},
            {Chan_Mask, "mask.a"},
        };
        for (auto& [z, name] : fixed) {
            names[size_t(z)] = name;
            byName[name] = z;
        }
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

std::string fullName(const std::string& name) {
    return name.find('.') == std::string::npos ? "other." + name : name;
}

} // namespace

Channel getChannel(const std::string& name) {
    if (name.empty()) return Chan_Black;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::string full = fullName(name);
    if (auto it = r.byName.find(full); it != r.byName.end()) return it->second;
    if (r.names.size() > size_t(kMaxChannels)) return Chan_Black;
    Channel z = Channel(r.names.size());
    r.names.push_back(full);
    r.byName[full] = z;
    return z;
}

Channel findChannel(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(fullName(name));
    return it == r.byName.end() ? Chan_Black : it->second;
}

std::string getName(Channel z) {
    if (z == Chan_Black) return "black";
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return z > 0 && size_t(z) < r.names.size() ? r.names[size_t(z)] : std::string();
}

std::string getLayerName(Channel z) {
    std::string n = getName(z);
    auto dot = n.rfind('.');
    return dot == std::string::npos ? n : n.substr(0, dot);
}

std::string getChannelName(Channel z) {
    std::string n = getName(z);
    auto dot = n.rfind('.');
    return dot == std::string::npos ? n : n.substr(dot + 1);
}

std::string ChannelSet::toString() const {
    std::string s;
    for (Channel z : *this) {
        if (!s.empty()) s += ' ';
        std::string n = getName(z);
        s += n.empty() ? std::to_string(z) : n;
    }
    return s.empty() ? "none" : s;
}

} // namespace Kx::Image
