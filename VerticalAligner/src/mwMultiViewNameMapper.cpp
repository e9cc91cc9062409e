#include "mwMultiViewNameMapper.h"

#include "Kx/Image/OutputContext.h"

#include <cctype>
#include <set>
#include <sstream>

namespace Marrow::Research {

namespace {
const std::string kPrefix = "cam";

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
} // namespace

bool parseCameraView(const std::string& name, int& camera, std::string& suffix) {
    if (name.size() <= kPrefix.size() || name.compare(0, kPrefix.size(), kPrefix) != 0)
        return false;
    std::istringstream in(name.substr(kPrefix.size()));
    long long n = 0;
    if (!std::isdigit(static_cast<unsigned char>(in.peek())) || !(in >> n) || n <= 0 || n > 1000000)
        return false;
    camera = int(n);
    suffix.clear();
    in >> suffix;
    return true;
}

int MultiViewNameMapper::cameraNumberOfName(const std::string& name) const {
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return 0;
    std::string base = name;
    for (const char* tail : {"_left", "_right"})
        if (endsWith(base, tail)) base.resize(base.size() - std::string(tail).size());
    int n = 0;
    std::string rest = base.substr(std::min(base.size(), kPrefix.size()));
    size_t i = 0;
    while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i]))) {
        n = n * 10 + (rest[i] - '0');
        if (n > 1000000) return 0;
        ++i;
    }
    if (_cameraCount == -1 || n <= _cameraCount) return n;
    return 0;
}

int MultiViewNameMapper::cameraNumberOfView(int view) const {
    return cameraNumberOfName(Kx::Image::OutputContext::viewname(view));
}

bool MultiViewNameMapper::isRigView(int view) const {
    const int n = cameraNumberOfView(view);
    return _cameraCount == -1 ? n > 0 : n > 0 && n <= _cameraCount;
}

int MultiViewNameMapper::numViewsForRig() const {
    if (_cameraCount != -1) return _cameraCount;
    std::set<int> numbers;
    for (int v = 0; v < Kx::Image::OutputContext::viewcount(); ++v)
        if (int n = cameraNumberOfView(v); n > 0) numbers.insert(n);
    return int(numbers.size());
}

int MultiViewNameMapper::viewOfCameraNumber(int camera) {
    using Kx::Image::OutputContext;
    const char* name = camera == 1 ? "left" : camera == 2 ? "right" : "main";
    int view = OutputContext::lookup_view(name);
    return view ? view : OutputContext::lookup_view("main");
}

} // namespace Marrow::Research
