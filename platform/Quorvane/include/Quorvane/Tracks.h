// Feature tracks: what feature matching finds in the images of a rig at one frame.
//
// A Feature is a position in one camera's image, in pixels (x right, y up, pixel centres at
// i + 0.5). A FeatureTrack lists the features of one scene point, each with the index of the
// rig camera that saw it, in the order they were added (tracking adds the left camera's
// feature first), plus the triangulated Point, a display colour and whether a user made or
// kept the track. A CameraTrack holds the feature tracks of one frame.
#pragma once

#include <Eigen/Core>

#include <utility>
#include <vector>

namespace Marrow::Research {

class Feature {
public:
    Feature() = default;
    explicit Feature(const Eigen::Vector2d& position) : _position(position) {}
    Feature(double x, double y) : _position(x, y) {}

    const Eigen::Vector2d& getPosition() const { return _position; }
    void setPosition(const Eigen::Vector2d& p) { _position = p; }

    bool operator==(const Feature&) const = default;

private:
    Eigen::Vector2d _position = Eigen::Vector2d::Zero();
};

// A triangulated scene point and the root-mean-square reprojection error (pixels) of the
// features it was made from. A point is valid when its RMSE is not negative and its
// position finite; the default point, (0, 0, 0) with RMSE -1, is not valid.
class Point {
public:
    Point() = default;
    Point(double x, double y, double z, double rmse) : _position(x, y, z), _rmse(rmse) {}
    Point(const Eigen::Vector3d& position, double rmse) : _position(position), _rmse(rmse) {}

    const Eigen::Vector3d& getPosition() const { return _position; }
    double getRMSE() const { return _rmse; }
    bool isValid() const { return _rmse >= 0.0 && _position.allFinite(); }

    bool operator==(const Point&) const = default;

private:
    Eigen::Vector3d _position = Eigen::Vector3d::Zero();
    double _rmse = -1.0;
};

class FeatureTrack {
public:
    using CameraFeature = std::pair<int, Feature>; // (rig camera index, feature)

    const std::vector<CameraFeature>& getFeatures() const { return _features; }
    int getNumberFeatures() const { return int(_features.size()); }
    void addFeature(int camera, const Feature& feature) { _features.emplace_back(camera, feature); }
    // The first feature of a camera, or nullptr.
    const Feature* findFeature(int camera) const;

    const Point& getPoint() const { return _point; }
    void setPoint(const Point& p) { _point = p; }

    // Display colour (r, g, b), white for a new track.
    const Eigen::Vector3d& getColour() const { return _colour; }
    void setColour(const Eigen::Vector3d& rgb) { _colour = rgb; }

    bool getUserTrack() const { return _user; }
    void setUserTrack(bool user) { _user = user; }

    bool operator==(const FeatureTrack&) const = default;

private:
    std::vector<CameraFeature> _features;
    Point _point;
    Eigen::Vector3d _colour = Eigen::Vector3d::Ones();
    bool _user = false;
};

class CameraTrack {
public:
    explicit CameraTrack(int frame = 0) : _frame(frame) {}

    int getFrame() const { return _frame; }
    void setFrame(int frame) { _frame = frame; }

    const std::vector<FeatureTrack>& getTracks() const { return _tracks; }
    std::vector<FeatureTrack>& getTracks() { return _tracks; }
    int getNumberTracks() const { return int(_tracks.size()); }
    void addTrack(const FeatureTrack& t) { _tracks.push_back(t); }
    void clearTracks() { _tracks.clear(); }

    bool operator==(const CameraTrack&) const = default;

private:
    int _frame;
    std::vector<FeatureTrack> _tracks;
};

} // namespace Marrow::Research
