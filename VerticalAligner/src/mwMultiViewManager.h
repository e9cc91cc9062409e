// MultiViewManager: the set of host views that carry the cameras of a rig (the rig views).
//
// The rig follows the camera metadata of the input (views cam1 .. camN for N cameras) or,
// without such metadata, the "cams" preset, until the user turns on the override; then the
// preset and the set are the user's, and editing the set by hand makes the preset "custom".
// The hidden knob knobEnabler is flipped whenever the enable and visibility states are to be
// refreshed: it is marked for recursive knob-change calls, so the host calls the handler
// again for it, and that call applies the states.
//
// Camera numbers count from the offset (1): rig position p is camera p + 1, and camera 0 is
// the node's own view.
//
// The manager keeps the metadata handler of the rig it last followed, shared (Boost's
// shared_ptr, as the rest of the maker's rig code holds handlers) with whoever reads it: it
// stays while the input's metadata describes a rig and the same handler reads each new bundle;
// it is dropped when the input carries no rig metadata.
#pragma once

#include <boost/shared_ptr.hpp>

#include <set>

namespace Kx::Image {
class Knob;
class Knob_Closure;
class Op;
class OutputContext;
} // namespace Kx::Image

namespace Marrow::Research {

class MetaDataHandler;

// What a rig of views offers to the code that maps cameras to views.
class MultiViewInterface {
public:
    virtual ~MultiViewInterface() = default;
    virtual int cameraNumberOfRigPosition(unsigned position) const = 0;
    virtual int rigSize() const = 0;
};

class MultiViewManager : public MultiViewInterface {
public:
    enum Preset { Main, Stereo, Cams, LeftCams, RightCams, StereoCams, Custom };

    explicit MultiViewManager(Kx::Image::Op* node) : _node(node) {}

    // Declares rigViews, knobEnabler, viewsPresets and manualOverride; extraFlags are added
    // to rigViews and manualOverride (the node passes the hidden flag).
    void knobs(Kx::Image::Knob_Closure& f, unsigned long long extraFlags);
    // 1 when the knob was one of the manager's (or the panel / input change), else 0.
    int knobChanged(Kx::Image::Knob* k);

    int cameraNumberOfRigPosition(unsigned position) const override {
        return int(position) + _offset;
    }
    int rigSize() const override { return int(_rigViews.size()); }
    // The camera number of a host view, -1 when the view is not a rig view.
    int cameraNumberOfView(int view) const;
    // The context with its view replaced by the camera's rig view (camera 0 and numbers
    // beyond the rig leave it unchanged).
    Kx::Image::OutputContext contextForCamera(const Kx::Image::OutputContext& c, int camera) const;
    // Updates the rig views from an operator's metadata (or the "cams" preset); true when
    // they changed.
    bool followInput(Kx::Image::Op* op);
    // Follows input 0 and, when that changed the rig, asks for a refresh of the states.
    void refreshOnInputChange();

    const std::set<int>& rigViews() const { return _rigViews; }
    // The handler of the rig metadata last followed; empty when none was.
    boost::shared_ptr<const MetaDataHandler> rigMetaData() const { return _metaData; }
    // The set a preset stands for (views that do not exist are left out).
    static std::set<int> presetViews(int preset);

private:
    void flipEnabler();
    Kx::Image::Knob* knob(const char* name) const;

    Kx::Image::Op* _node;
    int _viewsPresets = Cams;
    bool _manualOverride = false;
    std::set<int> _rigViews;
    int _offset = 1;
    bool _knobEnabler = false;
    boost::shared_ptr<MetaDataHandler> _metaData;
};

} // namespace Marrow::Research
