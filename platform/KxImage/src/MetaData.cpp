// Metadata bundles: typed reads of named values.
#include "Kx/Image/MetaData.h"

namespace Kx::Image::MetaData {

const Value* Bundle::find(const std::string& key) const {
    auto it = _values.find(key);
    return it == _values.end() ? nullptr : &it->second;
}

bool Bundle::getDouble(const std::string& key, double& out) const {
    const Value* v = find(key);
    if (!v) return false;
    if (const double* d = std::get_if<double>(v)) {
        out = *d;
        return true;
    }
    if (const int* i = std::get_if<int>(v)) {
        out = *i;
        return true;
    }
    return false;
}

bool Bundle::getInt(const std::string& key, int& out) const {
    const Value* v = find(key);
    const int* i = v ? std::get_if<int>(v) : nullptr;
    if (!i) return false;
    out = *i;
    return true;
}

bool Bundle::getString(const std::string& key, std::string& out) const {
    const Value* v = find(key);
    const std::string* s = v ? std::get_if<std::string>(v) : nullptr;
    if (!s) return false;
    out = *s;
    return true;
}

bool Bundle::getDoubles(const std::string& key, std::vector<double>& out) const {
    const Value* v = find(key);
    const std::vector<double>* l = v ? std::get_if<std::vector<double>>(v) : nullptr;
    if (!l) return false;
    out = *l;
    return true;
}

void Bundle::merge(const Bundle& o) {
    for (const auto& [key, value] : o._values) _values[key] = value;
}

} // namespace Kx::Image::MetaData
