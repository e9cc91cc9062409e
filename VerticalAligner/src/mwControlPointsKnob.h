// ControlPointsKnob: the feature matches of every analysis key, kept in the node and saved
// with the script.
//
// The store maps a frame to the research library's CameraTrack of that frame (its feature
// tracks, each with a feature per rig camera, a triangulated point, a colour and a user
// flag). Positions are pixels of each camera's image, x right, y up, centres at i + 0.5.
//
// Script text (version 2; version 1, without flag, colour and point, is read too):
//   version 2
//   frames <F>
//   Frame <frame> tracks <T>
//     <N> <camera> <x> <y> ... <user 1|0> <r> <g> <b> <rmse> <px> <py> <pz>
// One track line per feature track, each ending in a space; an invalid point is written as
// "-1 0 0 0 ". Numbers use the stream's formatting as the host hands it over, so the host's
// precision decides whether positions come back bit for bit.
//
// The text comes from a script and is not trusted: every word must be there and parse, every
// number must be finite, camera numbers non-negative, and each count no larger than the words
// left could hold, so a truncated block or an absurd count is refused with the line where the
// text went wrong (lines of the knob's text, from 1); the frames read before it stay.
//
// The hash takes the number of tracks per frame only: the solve reads tracks, and a change
// that keeps every count (a moved point) is made by the analysis, which re-renders anyway.
#pragma once

#include "Kx/Image/Knob.h"

#include "Quorvane/SphericalTransform.h"
#include "Quorvane/Tracks.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace Marrow::Research {

class ControlPointsKnob : public Kx::Image::Knob {
public:
    // One track's feature of one camera, for drawing points.
    struct CameraPoint {
        double x = 0, y = 0;
        uint8_t userTrack = 0;
        uint8_t pointValid = 0;
        double rmse = 0;
        uint64_t trackIndex = 0;
    };
    ControlPointsKnob(Kx::Image::Node* node, const char* name);
    ~ControlPointsKnob() override;

    // The frame's camera track, created empty when the frame has none.
    CameraTrack& tracksForFrame(int frame);
    // Every stored camera track, in ascending frame order.
    std::vector<CameraTrack*> allTracks() const;
    bool hasFrame(int frame) const { return _store.count(frame) != 0; }
    int frameCount() const { return int(_store.size()); }
    void removeFrame(int frame);
    // Removes the tracks at the given positions of the frame; 1 when done, 0 when the frame
    // has no entry or the list is empty. Positions past the end are ignored.
    int removeTracks(int frame, const std::vector<int>& positions);
    void clear();
    bool copyTrack(int frame, int position, FeatureTrack& out) const;
    // One point per track of the frame that has a feature of the camera (its first one),
    // projected to the ideal image when project is set.
    bool pointsOfCamera(int frame, int camera, const SphericalTransform& transform, bool project,
                        std::vector<CameraPoint>& out) const;

    // ---- host knob ----
    const char* Class() const override { return "ControlPointsKnob"; }
    void reset_to_default() override {}
    bool build_handle(Kx::Image::ViewerContext*) override { return true; }
    void append(Kx::Image::Hash& h, const Kx::Image::OutputContext* context) const override;
    bool from_script(const char* text) override;
    void to_script(std::ostream& o, const Kx::Image::OutputContext* context,
                   bool quote) const override;
    bool not_default() const override { return true; }

private:
    std::map<int, std::unique_ptr<CameraTrack>> _store;
};

} // namespace Marrow::Research
