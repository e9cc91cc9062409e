// Loading plug-in files with dlopen. Their static descriptions register themselves while
// the file loads; the file name is recorded on each so `kestrel plugins` can tell where a
// class came from.
#include "Kx/Image/Plugins.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

namespace Kx::Image {

void setLoadingPluginFile(const std::string& file);

namespace Plugins {
namespace {

struct State {
    std::mutex mutex;
    std::vector<std::string> loaded;
    std::vector<Failure> failures;
};

State& state() {
    static State s;
    return s;
}

} // namespace

bool load(const std::string& file) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::string path = std::filesystem::absolute(file).lexically_normal().string();
    if (std::find(s.loaded.begin(), s.loaded.end(), path) != s.loaded.end()) return true;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        s.failures.push_back({path, "no such file"});
        return false;
    }
    setLoadingPluginFile(path);
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    setLoadingPluginFile({});
    if (!handle) {
        const char* why = dlerror();
        s.failures.push_back({path, why ? why : "unknown reason"});
        return false;
    }
    s.loaded.push_back(path);
    return true;
}

int loadFolder(const std::string& folder) {
    std::error_code ec;
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file() && e.path().extension() == ".so" &&
            !e.path().filename().string().starts_with("lib"))
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    int n = 0;
    for (auto& f : files) n += load(f) ? 1 : 0;
    return n;
}

const std::vector<std::string>& loaded() {
    return state().loaded;
}
const std::vector<Failure>& failures() {
    return state().failures;
}

} // namespace Plugins
} // namespace Kx::Image
