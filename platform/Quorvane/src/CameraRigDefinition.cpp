#include "Quorvane/CameraRigDefinition.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace Marrow::Research {

namespace {

void insertSorted(std::vector<int>& v, int x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    if (it == v.end() || *it != x) v.insert(it, x);
}

void eraseValue(std::vector<int>& v, int x) {
    v.erase(std::remove(v.begin(), v.end(), x), v.end());
}

} // namespace

void CameraRigDefinition::setNumberCameras(int count) {
    count = std::max(count, 0);
    const int old = getNumberCameras();
    _cameras.resize(size_t(count));
    _links.resize(size_t(count));
    for (int i = old; i < count; ++i) _cameras[size_t(i)].setName("cam" + std::to_string(i + 1));
    for (auto& links : _links)
        links.erase(std::remove_if(links.begin(), links.end(), [&](int j) { return j >= count; }),
                    links.end());
}

void CameraRigDefinition::setAutomaticCameraNames() {
    for (size_t i = 0; i < _cameras.size(); ++i) _cameras[i].setName("cam" + std::to_string(i + 1));
}

void CameraRigDefinition::check(int index) const {
    if (index < 0 || index >= getNumberCameras())
        throw std::out_of_range("camera index " + std::to_string(index) +
                                " is outside the rig of " + std::to_string(getNumberCameras()) +
                                " cameras");
}

const CameraDefinition& CameraRigDefinition::getCamera(int index) const {
    check(index);
    return _cameras[size_t(index)];
}

CameraDefinition& CameraRigDefinition::getCamera(int index) {
    check(index);
    return _cameras[size_t(index)];
}

void CameraRigDefinition::setCamera(int index, const CameraDefinition& camera) {
    check(index);
    _cameras[size_t(index)] = camera;
}

const std::vector<int>& CameraRigDefinition::getLinks(int index) const {
    check(index);
    return _links[size_t(index)];
}

void CameraRigDefinition::setLinked(int index, const std::vector<int>& links) {
    check(index);
    for (int j : _links[size_t(index)]) eraseValue(_links[size_t(j)], index);
    _links[size_t(index)].clear();
    for (int j : links) {
        if (j < 0 || j >= getNumberCameras() || j == index) continue;
        insertSorted(_links[size_t(index)], j);
        insertSorted(_links[size_t(j)], index);
    }
}

bool CameraRigDefinition::isLinked(int a, int b) const {
    check(a);
    check(b);
    return std::binary_search(_links[size_t(a)].begin(), _links[size_t(a)].end(), b);
}

void CameraRigDefinition::setAllLinked() {
    for (int i = 0; i < getNumberCameras(); ++i) {
        _links[size_t(i)].clear();
        for (int j = 0; j < getNumberCameras(); ++j)
            if (j != i) _links[size_t(i)].push_back(j);
    }
}

} // namespace Marrow::Research
