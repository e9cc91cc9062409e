// The host's list of named views.
#include "Kx/Image/OutputContext.h"

#include <mutex>

namespace Kx::Image {
namespace {

std::mutex& viewMutex() {
    static std::mutex m;
    return m;
}

std::vector<std::string>& viewList() {
    static std::vector<std::string> v{"main"};
    return v;
}

} // namespace

int OutputContext::viewcount() {
    std::lock_guard lock(viewMutex());
    return int(viewList().size()) + 1;
}

const char* OutputContext::viewname(int view) {
    std::lock_guard lock(viewMutex());
    auto& v = viewList();
    return view >= 1 && size_t(view) <= v.size() ? v[size_t(view - 1)].c_str() : "";
}

int OutputContext::lookup_view(const std::string& name) {
    std::lock_guard lock(viewMutex());
    auto& v = viewList();
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] == name) return int(i) + 1;
    return 0;
}

const std::vector<std::string>& OutputContext::views() {
    return viewList();
}

void OutputContext::setViews(const std::vector<std::string>& names) {
    std::lock_guard lock(viewMutex());
    viewList() = names.empty() ? std::vector<std::string>{"main"} : names;
}

} // namespace Kx::Image
