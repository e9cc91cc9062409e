// Metadata <-> OpenEXR header attributes.
#include "ExrAttributes.h"

#include <OpenEXR/ImfDoubleAttribute.h>
#include <OpenEXR/ImfFloatAttribute.h>
#include <OpenEXR/ImfFloatVectorAttribute.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfIntAttribute.h>
#include <OpenEXR/ImfMatrixAttribute.h>
#include <OpenEXR/ImfStringAttribute.h>
#include <OpenEXR/ImfVecAttribute.h>
#include <OpenEXR/ImfXdr.h>

#include <array>
#include <mutex>
#include <string_view>
#include <vector>

// A list of doubles as a header attribute: the values one after the other, little-endian, like
// the standard floatvector.
using DoubleVectorAttribute = Imf::TypedAttribute<std::vector<double>>;

template <> const char* DoubleVectorAttribute::staticTypeName() {
    return "doublevector";
}

template <> void DoubleVectorAttribute::writeValueTo(Imf::OStream& os, int) const {
    for (double v : _value) Imf::Xdr::write<Imf::StreamIO>(os, v);
}

template <> void DoubleVectorAttribute::readValueFrom(Imf::IStream& is, int size, int) {
    _value.resize(size_t(size) / sizeof(double));
    for (double& v : _value) Imf::Xdr::read<Imf::StreamIO>(is, v);
}

namespace Kestrel::IO {

using Kx::Image::MetaData::Bundle;

namespace {

// Attributes that the image itself defines (windows, channels, views, parts); never metadata.
constexpr std::array<std::string_view, 17> kStructural{
    "channels",
    "chunkCount",
    "compression",
    "dataWindow",
    "displayWindow",
    "lineOrder",
    "maxSamplesPerPixel",
    "multiView",
    "name",
    "pixelAspectRatio",
    "screenWindowCenter",
    "screenWindowWidth",
    "tiles",
    "type",
    "version",
    "view",
    "deepImageState",
};

constexpr std::string_view kExrGroup = "exr/";
// Keys describing the file an image was read from, which a file written from it must not claim.
constexpr std::string_view kInputGroup = "input/";

bool isStructural(std::string_view name) {
    for (std::string_view s : kStructural)
        if (s == name) return true;
    return false;
}

template <class Vec> std::vector<double> vectorValues(const Vec& v) {
    std::vector<double> out;
    for (unsigned i = 0; i < Vec::dimensions(); ++i) out.push_back(double(v[i]));
    return out;
}

template <class Mat> std::vector<double> matrixValues(const Mat& m, int n) {
    std::vector<double> out;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) out.push_back(double(m[r][c]));
    return out;
}

template <class T> const T* valueOf(const Imf::Attribute& a) {
    const auto* typed = dynamic_cast<const Imf::TypedAttribute<T>*>(&a);
    return typed ? &typed->value() : nullptr;
}

// The metadata value of an attribute of a known type; false for other types.
bool toValue(const Imf::Attribute& a, Kx::Image::MetaData::Value& out) {
    if (auto* v = valueOf<std::string>(a)) return out = *v, true;
    if (auto* v = valueOf<int>(a)) return out = *v, true;
    if (auto* v = valueOf<double>(a)) return out = *v, true;
    if (auto* v = valueOf<float>(a)) return out = double(*v), true;
    if (auto* v = valueOf<std::vector<double>>(a)) return out = *v, true;
    if (auto* v = valueOf<std::vector<float>>(a))
        return out = std::vector<double>(v->begin(), v->end()), true;
    if (auto* v = valueOf<Imath::V2f>(a)) return out = vectorValues(*v), true;
    if (auto* v = valueOf<Imath::V2d>(a)) return out = vectorValues(*v), true;
    if (auto* v = valueOf<Imath::V3f>(a)) return out = vectorValues(*v), true;
    if (auto* v = valueOf<Imath::V3d>(a)) return out = vectorValues(*v), true;
    if (auto* v = valueOf<Imath::M33f>(a)) return out = matrixValues(*v, 3), true;
    if (auto* v = valueOf<Imath::M33d>(a)) return out = matrixValues(*v, 3), true;
    if (auto* v = valueOf<Imath::M44f>(a)) return out = matrixValues(*v, 4), true;
    if (auto* v = valueOf<Imath::M44d>(a)) return out = matrixValues(*v, 4), true;
    return false;
}

} // namespace

void registerExrAttributeTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (!Imf::Attribute::knownType(DoubleVectorAttribute::staticTypeName()))
            DoubleVectorAttribute::registerAttributeType();
    });
}

void readExrAttributes(const Imf::Header& header, Bundle& metadata) {
    for (auto it = header.begin(); it != header.end(); ++it) {
        const std::string name = it.name();
        if (isStructural(name)) continue;
        Kx::Image::MetaData::Value value;
        if (!toValue(it.attribute(), value)) continue;
        const std::string key =
            name.find('/') == std::string::npos ? std::string(kExrGroup) + name : name;
        metadata.setData(key, std::move(value));
    }
}

void writeExrAttributes(const Bundle& metadata, Imf::Header& header) {
    for (const auto& [key, value] : metadata.values()) {
        if (key.starts_with(kInputGroup)) continue;
        const std::string name = key.starts_with(kExrGroup) ? key.substr(kExrGroup.size()) : key;
        if (name.empty() || isStructural(name)) continue;
        std::visit(
            [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, int>)
                    header.insert(name, Imf::IntAttribute(v));
                else if constexpr (std::is_same_v<T, double>)
                    header.insert(name, Imf::DoubleAttribute(v));
                else if constexpr (std::is_same_v<T, std::string>)
                    header.insert(name, Imf::StringAttribute(v));
                else
                    header.insert(name, DoubleVectorAttribute(v));
            },
            value);
    }
}

} // namespace Kestrel::IO
