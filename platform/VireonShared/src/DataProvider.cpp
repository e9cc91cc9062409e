#include "VireonShared/DataProvider.h"

#include <map>
#include <mutex>

namespace Marrow::Vireon {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<const Kx::Image::Op*, DataProvider*> providers;
};

Registry& registry() {
    static Registry r;
    return r;
}

} // namespace

DataProvider::DataProvider(const Kx::Image::Op* node) : _node(node) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.providers[node] = this;
}

DataProvider::~DataProvider() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.providers.find(_node);
    if (it != r.providers.end() && it->second == this) r.providers.erase(it);
}

DataProvider* FindDataProvider(const Kx::Image::Op* node) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.providers.find(node);
    return it == r.providers.end() ? nullptr : it->second;
}

void UnregisterDataProvider(const Kx::Image::Op* node) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.providers.erase(node);
}

void dummyFunc() {}

} // namespace Marrow::Vireon
