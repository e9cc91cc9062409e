#include "mwControlPointsKnob.h"

#include "Kx/Image/Hash.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <sstream>

namespace Marrow::Research {

namespace {
constexpr int kCustomKind = 21;
constexpr int kNoStorage = 18;
} // namespace

ControlPointsKnob::ControlPointsKnob(Kx::Image::Node* node, const char* name)
    : Knob(node, kCustomKind, kNoStorage, name) {}

ControlPointsKnob::~ControlPointsKnob() {
    clear();
}

CameraTrack& ControlPointsKnob::tracksForFrame(int frame) {
    auto& slot = _store[frame];
    if (!slot) slot = std::make_unique<CameraTrack>(frame);
    return *slot;
}

std::vector<CameraTrack*> ControlPointsKnob::allTracks() const {
    std::vector<CameraTrack*> all;
    for (auto& [frame, track] : _store) all.push_back(track.get());
    return all;
}

void ControlPointsKnob::removeFrame(int frame) {
    _store.erase(frame);
}

int ControlPointsKnob::removeTracks(int frame, const std::vector<int>& positions) {
    auto it = _store.find(frame);
    if (it == _store.end() || positions.empty()) return 0;
    std::vector<int> sorted = positions;
    std::sort(sorted.begin(), sorted.end(), std::greater<int>());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    auto& tracks = it->second->getTracks();
    for (int p : sorted)
        if (p >= 0 && p < int(tracks.size())) tracks.erase(tracks.begin() + p);
    return 1;
}

void ControlPointsKnob::clear() {
    _store.clear();
}

bool ControlPointsKnob::copyTrack(int frame, int position, FeatureTrack& out) const {
    auto it = _store.find(frame);
    if (it == _store.end() || position < 0 || position >= it->second->getNumberTracks())
        return false;
    out = it->second->getTracks()[size_t(position)];
    return true;
}

bool ControlPointsKnob::pointsOfCamera(int frame, int camera, const SphericalTransform& transform,
                                       bool project, std::vector<CameraPoint>& out) const {
    out.clear();
    auto it = _store.find(frame);
    if (it == _store.end()) return false;
    const auto& tracks = it->second->getTracks();
    for (size_t t = 0; t < tracks.size(); ++t) {
        const Feature* f = tracks[t].findFeature(camera);
        if (!f) continue;
        Eigen::Vector2d p = f->getPosition();
        if (project) {
            Eigen::Vector2d ideal;
            transform.ProjectToIdeal(ideal, p, PROJECTION_LATLONG);
            p = ideal;
        }
        const Point& point = tracks[t].getPoint();
        out.push_back({p.x(), p.y(), uint8_t(tracks[t].getUserTrack()), uint8_t(point.isValid()),
                       point.getRMSE(), uint64_t(t)});
    }
    return !out.empty();
}

bool ControlPointsKnob::trackPolylines(int frame, const std::vector<SphericalTransform>& transforms,
                                       uint32_t showMask, std::vector<TrackPolyline>& out) const {
    out.clear();
    auto it = _store.find(frame);
    if (it == _store.end() || it->second->getNumberTracks() == 0) return false;
    const auto& tracks = it->second->getTracks();
    out.resize(tracks.size());
    for (size_t t = 0; t < tracks.size(); ++t) {
        TrackPolyline& line = out[t];
        const Point& point = tracks[t].getPoint();
        line.userTrack = uint8_t(tracks[t].getUserTrack());
        line.pointValid = uint8_t(point.isValid());
        line.rmse = point.getRMSE();
        line.trackIndex = uint64_t(t);
        for (const auto& [camera, feature] : tracks[t].getFeatures()) {
            if (camera < 0 || size_t(camera) >= transforms.size() || camera >= 32 ||
                !(showMask & (1u << camera)))
                continue;
            const SphericalTransform& transform = transforms[size_t(camera)];
            Eigen::Vector2d ideal;
            transform.ProjectToIdeal(ideal, feature.getPosition(), PROJECTION_LATLONG);
            if (!line.points.empty() &&
                std::abs(line.points.back().x() - ideal.x()) > transform.getOutputWidth() / 2)
                line.wraps = 1;
            line.points.push_back(ideal);
        }
    }
    return true;
}

void ControlPointsKnob::append(Kx::Image::Hash& h, const Kx::Image::OutputContext*) const {
    for (auto& [frame, track] : _store) h.append(int32_t(track->getNumberTracks()));
}

void ControlPointsKnob::to_script(std::ostream& o, const Kx::Image::OutputContext*,
                                  bool quote) const {
    if (quote) o << "\"\n";
    o << "version " << 2u << "\n";
    o << "frames " << uint64_t(_store.size()) << "\n";
    for (auto& [frame, camTrack] : _store) {
        const auto& tracks = camTrack->getTracks();
        o << "Frame " << int32_t(frame) << " tracks " << uint64_t(tracks.size()) << "\n";
        for (const FeatureTrack& t : tracks) {
            o << "  " << uint64_t(t.getFeatures().size()) << " ";
            for (const auto& [camera, feature] : t.getFeatures())
                o << uint64_t(camera) << " " << feature.getPosition().x() << " "
                  << feature.getPosition().y() << " ";
            o << (t.getUserTrack() ? 1 : 0) << " ";
            const Eigen::Vector3d& c = t.getColour();
            o << c.x() << " " << c.y() << " " << c.z() << " ";
            const Point& p = t.getPoint();
            if (p.isValid())
                o << p.getRMSE() << " " << p.getPosition().x() << " " << p.getPosition().y() << " "
                  << p.getPosition().z() << " ";
            else
                o << "-1 0 0 0 ";
            o << "\n";
        }
    }
    if (quote) o << "\"";
}

bool ControlPointsKnob::from_script(const char* text) {
    std::istringstream in(text ? text : "");
    std::string word;
    unsigned version = 0;
    if (!(in >> word) || word != "version" || !(in >> version) || (version != 1 && version != 2)) {
        error("the stored matches must start with \"version 1\" or \"version 2\"");
        return false;
    }
    long long frames = 0;
    if (!(in >> word) || word != "frames" || !(in >> frames)) {
        error("the stored matches have no \"frames\" count after the version");
        return false;
    }
    clear();
    for (long long f = 0; f < frames; ++f) {
        int frame = 0;
        long long count = 0;
        std::string tracksWord;
        if (!(in >> word) || word != "Frame" || !(in >> frame) || !(in >> tracksWord) ||
            tracksWord != "tracks" || !(in >> count)) {
            error("stored frame %lld of %lld has no \"Frame <n> tracks <count>\" line", f + 1,
                  frames);
            return false;
        }
        CameraTrack& camTrack = tracksForFrame(frame);
        for (long long t = 0; t < count; ++t) {
            long long n = 0;
            in >> n;
            FeatureTrack track;
            for (long long k = 0; k < n; ++k) {
                int camera = 0;
                double x = 0, y = 0;
                in >> camera >> x >> y;
                track.addFeature(camera, Feature(x, y));
            }
            if (version == 2) {
                int user = 0;
                double r = 0, g = 0, b = 0, rmse = -1, px = 0, py = 0, pz = 0;
                in >> user >> r >> g >> b >> rmse >> px >> py >> pz;
                track.setUserTrack(user == 1);
                track.setColour(Eigen::Vector3d(r, g, b));
                track.setPoint(Point(px, py, pz, rmse));
            }
            camTrack.addTrack(track);
        }
    }
    changed();
    return true;
}

} // namespace Marrow::Research
