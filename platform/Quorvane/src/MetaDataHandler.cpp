#include "Quorvane/MetaDataHandler.h"

#include <cmath>
#include <stdexcept>

namespace Marrow::Research {

namespace {

using Kx::Image::MetaData::Bundle;

const std::string kPrefix = "rig/";
const std::string kCount = "rig/cameraCount";

std::string cameraKey(int number, const char* name) {
    return kPrefix + "camera" + std::to_string(number) + "/" + name;
}

// Reads of optional values: true when absent (out untouched) or well formed; false with
// the message when present but malformed.
struct Reader {
    const Bundle& bundle;
    std::string& error;

    bool number(const std::string& key, double& out) {
        if (!bundle.contains(key)) return true;
        if (bundle.getDouble(key, out) && std::isfinite(out)) return true;
        error = "rig metadata: " + key + " must hold a finite number";
        return false;
    }
    template <int N> bool vector(const std::string& key, Eigen::Matrix<double, N, 1>& out) {
        if (!bundle.contains(key)) return true;
        std::vector<double> v;
        if (bundle.getDoubles(key, v) && v.size() == size_t(N)) {
            for (int i = 0; i < N; ++i) out[i] = v[size_t(i)];
            if (out.allFinite()) return true;
        }
        error = "rig metadata: " + key + " must hold " + std::to_string(N) + " finite numbers";
        return false;
    }
    bool integer(const std::string& key, int& out) {
        if (!bundle.contains(key)) return true;
        double d = 0.0;
        if (bundle.getDouble(key, d) && d == std::floor(d) && std::abs(d) < 1e9) {
            out = int(d);
            return true;
        }
        error = "rig metadata: " + key + " must hold a whole number";
        return false;
    }
};

} // namespace

MetaDataHandler::MetaDataHandler(const Kx::Image::Op* node) : _node(node) {}

bool MetaDataHandler::updateMetaDataBundle(const Bundle& bundle) {
    const bool changed = !(bundle == _bundle);
    _bundle = bundle;
    _cameras.clear();
    _links.clear();
    _position = _rotation = _readPosition = _readRotation = Eigen::Vector3d::Zero();
    _diameter = _convergence = 0.0;
    _error.clear();
    if (!read(bundle)) {
        _cameras.clear();
        _links.clear();
        _position = _rotation = _readPosition = _readRotation = Eigen::Vector3d::Zero();
        _diameter = _convergence = 0.0;
    }
    return changed;
}

bool MetaDataHandler::read(const Bundle& bundle) {
    if (!bundle.contains(kCount)) return true;
    Reader in{bundle, _error};
    int n = 0;
    if (!in.integer(kCount, n)) return false;
    if (n < 0) {
        _error = "rig metadata: " + kCount + " must not be negative";
        return false;
    }
    if (!in.vector(kPrefix + "position", _readPosition) ||
        !in.vector(kPrefix + "rotation", _readRotation) ||
        !in.number(kPrefix + "diameter", _diameter) ||
        !in.number(kPrefix + "convergence", _convergence))
        return false;
    _position = _readPosition;
    _rotation = _readRotation;

    setNumberCameras(n);
    for (int k = 1; k <= n; ++k) {
        CameraDefinition& c = _cameras[size_t(k - 1)];
        std::string name = c.getName();
        if (bundle.contains(cameraKey(k, "name")) &&
            !bundle.getString(cameraKey(k, "name"), name)) {
            _error = "rig metadata: " + cameraKey(k, "name") + " must hold a text";
            return false;
        }
        c.setName(name);
        Eigen::Vector3d position = c.getPosition(), rotation = c.getRotation(),
                        format(c.getFormatWidth(), c.getFormatHeight(), c.getPixelAspect());
        Eigen::Vector2d sensor = c.getSensorSize(), shift = c.getCentreShift();
        double focal = c.getFocalLength();
        int projection = c.getProjectionType(), enabled = c.getEnabled() ? 1 : 0;
        if (!in.vector(cameraKey(k, "position"), position) ||
            !in.vector(cameraKey(k, "rotation"), rotation) ||
            !in.number(cameraKey(k, "focalLength"), focal) ||
            !in.vector(cameraKey(k, "sensorSize"), sensor) ||
            !in.vector(cameraKey(k, "centreShift"), shift) ||
            !in.vector(cameraKey(k, "format"), format) ||
            !in.integer(cameraKey(k, "projection"), projection) ||
            !in.integer(cameraKey(k, "enabled"), enabled))
            return false;
        if (!isProjectionType(projection)) {
            _error = "rig metadata: " + cameraKey(k, "projection") +
                     " must be 0 (perspective) or 2 (latlong), not " + std::to_string(projection);
            return false;
        }
        c.setPosition(position);
        c.setRotation(rotation);
        c.setFocalLength(focal);
        c.setSensorSize(sensor);
        c.setCentreShift(shift);
        c.setFormatWidth(format[0]);
        c.setFormatHeight(format[1]);
        c.setPixelAspect(format[2]);
        c.setProjectionType(ProjectionTypeEnum(projection));
        c.setEnabled(enabled != 0);

        const std::string linksKey = cameraKey(k, "links");
        if (bundle.contains(linksKey)) {
            std::vector<double> links;
            bool ok = bundle.getDoubles(linksKey, links);
            for (double l : links) ok = ok && l == std::floor(l) && l >= 1 && l <= n && l != k;
            if (!ok) {
                _error = "rig metadata: " + linksKey + " must list camera numbers from 1 to " +
                         std::to_string(n) + " other than " + std::to_string(k);
                return false;
            }
            for (double l : links) _links[size_t(k - 1)].push_back(int(l) - 1);
        }
    }
    return true;
}

Bundle MetaDataHandler::getMetaDataBundle() const {
    Bundle out;
    for (const auto& [key, value] : _bundle.values())
        if (key.rfind(kPrefix, 0) != 0) out.setData(key, value);
    if (_cameras.empty()) return out;
    const auto list = [](const auto& v) {
        return std::vector<double>(v.data(), v.data() + v.size());
    };
    out.setData(kCount, int(_cameras.size()));
    out.setData(kPrefix + "position", list(_position));
    out.setData(kPrefix + "rotation", list(_rotation));
    out.setData(kPrefix + "diameter", _diameter);
    out.setData(kPrefix + "convergence", _convergence);
    for (int k = 1; k <= getNumberCameras(); ++k) {
        const CameraDefinition& c = _cameras[size_t(k - 1)];
        out.setData(cameraKey(k, "name"), c.getName());
        out.setData(cameraKey(k, "position"), list(c.getPosition()));
        out.setData(cameraKey(k, "rotation"), list(c.getRotation()));
        out.setData(cameraKey(k, "focalLength"), c.getFocalLength());
        out.setData(cameraKey(k, "sensorSize"), list(c.getSensorSize()));
        out.setData(cameraKey(k, "centreShift"), list(c.getCentreShift()));
        out.setData(
            cameraKey(k, "format"),
            std::vector<double>{c.getFormatWidth(), c.getFormatHeight(), c.getPixelAspect()});
        out.setData(cameraKey(k, "projection"), int(c.getProjectionType()));
        out.setData(cameraKey(k, "enabled"), c.getEnabled() ? 1 : 0);
        std::vector<double> links;
        for (int l : _links[size_t(k - 1)]) links.push_back(l + 1);
        out.setData(cameraKey(k, "links"), links);
    }
    return out;
}

void MetaDataHandler::setNumberCameras(int count) {
    count = std::max(count, 0);
    const int old = getNumberCameras();
    _cameras.resize(size_t(count));
    _links.resize(size_t(count));
    for (int k = old + 1; k <= count; ++k)
        _cameras[size_t(k - 1)].setName("cam" + std::to_string(k));
    for (auto& links : _links) std::erase_if(links, [&](int l) { return l >= count; });
}

void MetaDataHandler::check(int number) const {
    if (number < 1 || number > getNumberCameras())
        throw std::out_of_range("rig metadata has no camera " + std::to_string(number) +
                                " (cameras are numbered 1 to " +
                                std::to_string(getNumberCameras()) + ")");
}

const CameraDefinition& MetaDataHandler::getCamera(int number) const {
    check(number);
    return _cameras[size_t(number - 1)];
}

void MetaDataHandler::setCamera(int number, const CameraDefinition& camera) {
    check(number);
    _cameras[size_t(number - 1)] = camera;
}

std::vector<int> MetaDataHandler::getLinks(int number) const {
    check(number);
    return _links[size_t(number - 1)];
}

void MetaDataHandler::setLinks(int number, const std::vector<int>& rigIndices) {
    check(number);
    auto& links = _links[size_t(number - 1)];
    links.clear();
    for (int l : rigIndices)
        if (l >= 0 && l < getNumberCameras() && l != number - 1) links.push_back(l);
}

Eigen::Vector3d MetaDataHandler::getRigPosition(bool fromMetadata) const {
    return fromMetadata ? _readPosition : _position;
}

Eigen::Vector3d MetaDataHandler::getRigRotation(bool fromMetadata) const {
    return fromMetadata ? _readRotation : _rotation;
}

CameraRigDefinition MetaDataHandler::getRig() const {
    CameraRigDefinition rig;
    rig.setNumberCameras(getNumberCameras());
    for (int i = 0; i < getNumberCameras(); ++i) rig.setCamera(i, _cameras[size_t(i)]);
    for (int i = 0; i < getNumberCameras(); ++i) rig.setLinked(i, _links[size_t(i)]);
    rig.setRigDiameter(_diameter);
    return rig;
}

void MetaDataHandler::setRig(const CameraRigDefinition& rig) {
    setNumberCameras(rig.getNumberCameras());
    for (int i = 0; i < rig.getNumberCameras(); ++i) {
        _cameras[size_t(i)] = rig.getCamera(i);
        _links[size_t(i)] = rig.getLinks(i);
    }
    _diameter = rig.getRigDiameter();
}

} // namespace Marrow::Research
