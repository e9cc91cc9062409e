#include "mwControlPointsKnob.h"
#include "mwLatlongPoint.h"

#include "Kx/Image/Hash.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>

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
        if (project) p = latlongPoint(transform, p);
        const Point& point = tracks[t].getPoint();
        out.push_back({p.x(), p.y(), uint8_t(tracks[t].getUserTrack()), uint8_t(point.isValid()),
                       point.getRMSE(), uint64_t(t)});
    }
    return !out.empty();
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

namespace {

// The words of the stored matches with the line each stands on, read one after another. Every
// read names the line of the word it wanted in its error, or the last line when the text
// ended first.
class Words {
public:
    explicit Words(const char* text) {
        int line = 1;
        for (const char* p = text ? text : ""; *p;) {
            if (*p == '\n') ++line;
            if (std::isspace(static_cast<unsigned char>(*p))) {
                ++p;
                continue;
            }
            const char* start = p;
            while (*p && !std::isspace(static_cast<unsigned char>(*p))) ++p;
            _words.push_back({std::string(start, p), line});
        }
        _lastLine = line;
    }

    size_t left() const { return _words.size() - _next; }
    // The line of the next word (the last line at the end).
    int line() const { return _next < _words.size() ? _words[_next].line : _lastLine; }
    // The line of the word read last: where a count that the text cannot hold stands.
    int lineRead() const { return _next > 0 ? _words[_next - 1].line : 1; }

    bool keyword(const char* expected) {
        if (!left() || _words[_next].text != expected) return false;
        ++_next;
        return true;
    }
    template <class T> bool number(T& out) {
        if (!left()) return false;
        std::istringstream in(_words[_next].text);
        T value{};
        if (!(in >> value) || !in.eof()) return false;
        if constexpr (std::is_floating_point_v<T>)
            if (!std::isfinite(value)) return false;
        out = value;
        ++_next;
        return true;
    }

private:
    struct Word {
        std::string text;
        int line;
    };
    std::vector<Word> _words;
    size_t _next = 0;
    int _lastLine = 1;
};

} // namespace

bool ControlPointsKnob::from_script(const char* text) {
    Words in(text);
    unsigned version = 0;
    if (!in.keyword("version") || !in.number(version) || (version != 1 && version != 2)) {
        error("line %d of the stored matches: they must start with \"version 1\" or "
              "\"version 2\"",
              in.line());
        return false;
    }
    // The fewest words a frame header, a track and a feature take.
    constexpr size_t kFrameWords = 4, kFeatureWords = 3;
    const size_t trackWords = version == 2 ? 9 : 1;
    long long frames = 0;
    if (!in.keyword("frames") || !in.number(frames) || frames < 0 ||
        size_t(frames) > in.left() / kFrameWords) {
        error("line %d of the stored matches: expected \"frames <count>\" with a count the "
              "text holds",
              in.lineRead());
        return false;
    }
    clear();
    // t < 0: the frame's header line.
    auto refuse = [&](int line, const char* what, long long f, long long t) {
        const std::string track = t < 0 ? "" : ", track " + std::to_string(t + 1);
        error("line %d of the stored matches: %s (frame entry %lld of %lld%s); the text is cut "
              "short or damaged, run Match again at that key",
              line, what, f + 1, frames, track.c_str());
        return false;
    };
    for (long long f = 0; f < frames; ++f) {
        int frame = 0;
        long long count = 0;
        if (!in.keyword("Frame") || !in.number(frame) || !in.keyword("tracks") || !in.number(count))
            return refuse(in.line(), "expected \"Frame <n> tracks <count>\"", f, -1);
        if (count < 0 || size_t(count) > in.left() / trackWords)
            return refuse(in.lineRead(), "the track count is more than the text holds", f, -1);
        CameraTrack& camTrack = tracksForFrame(frame);
        for (long long t = 0; t < count; ++t) {
            long long n = 0;
            if (!in.number(n)) return refuse(in.line(), "expected the track's feature count", f, t);
            if (n < 0 || size_t(n) > in.left() / kFeatureWords)
                return refuse(in.lineRead(), "the feature count is more than the text holds", f, t);
            FeatureTrack track;
            for (long long k = 0; k < n; ++k) {
                int camera = 0;
                double x = 0, y = 0;
                if (!in.number(camera) || camera < 0 || !in.number(x) || !in.number(y))
                    return refuse(in.line(), "expected a camera number and a finite x and y", f, t);
                track.addFeature(camera, Feature(x, y));
            }
            if (version == 2) {
                int user = 0;
                double r = 0, g = 0, b = 0, rmse = -1, px = 0, py = 0, pz = 0;
                if (!in.number(user) || !in.number(r) || !in.number(g) || !in.number(b) ||
                    !in.number(rmse) || !in.number(px) || !in.number(py) || !in.number(pz))
                    return refuse(in.line(), "expected the user flag, colour, error and point", f,
                                  t);
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
