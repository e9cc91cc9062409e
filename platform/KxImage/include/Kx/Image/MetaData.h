// Metadata: named values that travel downstream with an image (camera rigs, file header
// attributes). Keys are "group/name" strings by habit ("exr/owner", "rig/cameraCount").
// Values are an integer, a double, a string or a list of doubles (vectors and matrices
// travel as lists, row-major).
#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

namespace Kx::Image::MetaData {

using Value = std::variant<int, double, std::string, std::vector<double>>;

class Bundle {
public:
    bool empty() const { return _values.empty(); }
    size_t size() const { return _values.size(); }
    void clear() { _values.clear(); }

    bool contains(const std::string& key) const { return _values.count(key) != 0; }
    const Value* find(const std::string& key) const;
    void setData(const std::string& key, Value v) { _values[key] = std::move(v); }
    void erase(const std::string& key) { _values.erase(key); }

    // Typed reads; false when the key is missing or holds another kind of value
    // (an integer reads as a double too).
    bool getDouble(const std::string& key, double& out) const;
    bool getInt(const std::string& key, int& out) const;
    bool getString(const std::string& key, std::string& out) const;
    bool getDoubles(const std::string& key, std::vector<double>& out) const;

    // Adds every value of o, replacing values under the same key.
    void merge(const Bundle& o);

    const std::map<std::string, Value>& values() const { return _values; }
    bool operator==(const Bundle&) const = default;

private:
    std::map<std::string, Value> _values;
};

} // namespace Kx::Image::MetaData
