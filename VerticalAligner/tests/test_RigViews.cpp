// Rig views: camera-view names, the view-name mapper, the presets, and what the manager's
// knobs do on the node: following the input's camera metadata, the override, the presets and
// the hand-edited set.
#include "AlignerStage.h"
#include "mwKnobNames.h"
#include "mwMultiViewManager.h"
#include "mwMultiViewNameMapper.h"

#include "Quorvane/MetaDataHandler.h"

#include <gtest/gtest.h>

#include <functional>

using namespace Marrow::Research;
using Kx::Image::OutputContext;

namespace {

std::set<std::string> names(const std::set<int>& views) {
    std::set<std::string> out;
    for (int v : views) out.insert(OutputContext::viewname(v));
    return out;
}

using AlignerTest::Views;
namespace N = KnobNames;

// A plate whose metadata describes a rig of `cameras` cameras; 0: no rig metadata. The count
// is shared by every op instance of the plate, so the test can change what upstream says
// without reconnecting anything.
class RigPlate : public AlignerTest::FlatPlate {
public:
    explicit RigPlate(Kx::Image::Node* n)
        : FlatPlate(n, "RigPlate", 64, 32, Kx::Image::Mask_RGBA, 10) {}
    void _fetchMetaData(const char*) override {
        _meta.clear();
        if (cameras == 0) return;
        MetaDataHandler rig;
        rig.setNumberCameras(cameras);
        _meta = rig.getMetaDataBundle();
    }
    static inline int cameras = 0;
};
const Kx::Image::Op::Description rigPlateDescription("RigPlate",
                                                     [](Kx::Image::Node* n) -> Kx::Image::Op* {
                                                         return new RigPlate(n);
                                                     });

struct Rig : Views {
    Rig() : Views({"main", "cam1", "cam2", "cam3_left", "cam3_right"}) { RigPlate::cameras = 0; }
    Kx::Image::Node plate{"RigPlate", "Plate1"};
    Kx::Image::Node node{"Q_VerticalAligner2_1", "VerticalAligner1"};
    Kx::Image::Knob& knob(const char* name) { return *node.knob(name); }
    std::set<std::string> rig() { return names(knob(N::kRigViews).viewSet()); }
    void openPanel() { node.setPanelOpen(true); }
};

} // namespace

TEST(RigViews, CameraViewNames) {
    int n = 0;
    std::string suffix;
    EXPECT_TRUE(parseCameraView("cam12_right", n, suffix));
    EXPECT_EQ(n, 12);
    EXPECT_EQ(suffix, "_right");
    EXPECT_TRUE(parseCameraView("cam3", n, suffix));
    EXPECT_EQ(suffix, "");
    for (const char* no : {"cam0", "camA", "cam", "camera", "main", "left"})
        EXPECT_FALSE(parseCameraView(no, n, suffix)) << no;
}

TEST(RigViews, PresetsPickTheirViews) {
    Views v({"main", "cam1", "cam2", "cam3_left", "cam3_right", "cam0", "camA"});
    using M = MultiViewManager;
    EXPECT_EQ(names(M::presetViews(M::Main)), (std::set<std::string>{"main"}));
    EXPECT_EQ(names(M::presetViews(M::Cams)), (std::set<std::string>{"cam1", "cam2"}));
    EXPECT_EQ(names(M::presetViews(M::LeftCams)), (std::set<std::string>{"cam3_left"}));
    EXPECT_EQ(names(M::presetViews(M::RightCams)), (std::set<std::string>{"cam3_right"}));
    EXPECT_EQ(names(M::presetViews(M::StereoCams)),
              (std::set<std::string>{"cam3_left", "cam3_right"}));
    EXPECT_TRUE(M::presetViews(M::Stereo).empty());
}

TEST(RigViews, CameraNumbersOfViewsAndViewsOfCameraNumbers) {
    {
        Views v({"main", "left", "cam3_right", "cam12", "cam1_left", "cam1_right"});
        auto view = [](const char* name) { return OutputContext::lookup_view(name); };
        MultiViewNameMapper all;
        EXPECT_EQ(all.cameraNumberOfView(view("cam3_right")), 3);
        EXPECT_EQ(all.cameraNumberOfView(view("cam12")), 12);
        EXPECT_EQ(all.cameraNumberOfView(view("main")), 0);
        EXPECT_FALSE(all.isRigView(view("left")));
        EXPECT_EQ(all.numViewsForRig(), 3); // camera numbers 1, 3 and 12
        MultiViewNameMapper two(2);
        EXPECT_EQ(two.cameraNumberOfView(view("cam3_right")), 0);
        EXPECT_TRUE(two.isRigView(view("cam1_left")));
        EXPECT_EQ(two.numViewsForRig(), 2);
    }
    // A camera number without a view of its own falls back to "main".
    {
        Views v({"main"});
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(1), 1);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(2), 1);
    }
    {
        Views v({"main", "left", "right"});
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(1), 2);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(2), 3);
        EXPECT_EQ(MultiViewNameMapper::viewOfCameraNumber(7), 1);
    }
    Views v({"main", "cam1", "cam2"});
    MultiViewManager m(nullptr);
    OutputContext c(4, 1);
    EXPECT_EQ(m.contextForCamera(c, 0).view(), 1); // camera 0 is the node's own view
    EXPECT_EQ(m.contextForCamera(c, 1).view(), 1); // an empty rig leaves the view
    EXPECT_EQ(m.cameraNumberOfRigPosition(0), 1);
    EXPECT_EQ(m.cameraNumberOfView(2), -1);
}

// Without override the rig follows the camera metadata of the input (views cam1 .. camN that
// exist) or the "cams" preset, and it follows it again whenever the panel opens, not only
// when an input is reconnected.
TEST(RigViews, FollowTheInputsMetadataOnInputChangeAndOnPanelOpening) {
    Rig r;
    ASSERT_TRUE(r.node.setInput(0, &r.plate)); // no metadata: the "cams" preset
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1", "cam2"}));
    RigPlate::cameras = 1;
    r.openPanel();
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1"}));
    // Metadata for 3 cameras, but only views cam1 and cam2.
    RigPlate::cameras = 3;
    r.openPanel();
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1", "cam2"}));
    const MultiViewManager& m = AlignerTest::plugin(r.node).multiViewManager();
    ASSERT_TRUE(m.rigMetaData());
    EXPECT_EQ(m.rigMetaData()->getNumberCameras(), 3);
    // Following the input leaves the set uneditable and the presets hidden.
    EXPECT_FALSE(r.knob(N::kRigViews).isEnabled());
    EXPECT_FALSE(r.knob(N::kViewsPresets).isVisible());
    // Metadata without a rig: the "cams" preset, and no rig metadata kept.
    RigPlate::cameras = 0;
    r.openPanel();
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1", "cam2"}));
    EXPECT_FALSE(m.rigMetaData());
}

TEST(RigViews, OverrideKeepsTheUsersSetPresetsApplyAndAHandEditMakesItCustom) {
    Rig r;
    ASSERT_TRUE(r.node.setInput(0, &r.plate));
    r.openPanel();
    r.knob(N::kManualOverride).setValue(1);
    EXPECT_TRUE(r.knob(N::kRigViews).isEnabled());
    EXPECT_TRUE(r.knob(N::kViewsPresets).isVisible());
    // Override on: new upstream metadata leaves the rig as it is.
    RigPlate::cameras = 1;
    r.openPanel();
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1", "cam2"}));
    ASSERT_TRUE(r.node.setInput(0, nullptr));
    ASSERT_TRUE(r.node.setInput(0, &r.plate));
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1", "cam2"}));

    r.knob(N::kViewsPresets).setValue(MultiViewManager::StereoCams);
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam3_left", "cam3_right"}));
    r.knob(N::kViewsPresets).setValue(MultiViewManager::Custom); // "custom" keeps the set
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam3_left", "cam3_right"}));
    r.knob(N::kViewsPresets).setValue(MultiViewManager::Main);
    r.knob(N::kRigViews).setViewSet({Kx::Image::OutputContext::lookup_view("cam2")});
    EXPECT_EQ(r.knob(N::kViewsPresets).value(), MultiViewManager::Custom);
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam2"}));

    // Override off: the rig follows the input again and is no longer the user's.
    r.knob(N::kManualOverride).setValue(0);
    EXPECT_EQ(r.rig(), (std::set<std::string>{"cam1"}));
    EXPECT_FALSE(r.knob(N::kRigViews).isEnabled());
    EXPECT_FALSE(r.knob(N::kViewsPresets).isVisible());
    // Without override a hand edit is not the user's: the enabler flips, which disables the set
    // again, and the preset stays as it was.
    const double enabler = r.knob(N::kKnobEnabler).value();
    const double preset = r.knob(N::kViewsPresets).value();
    r.knob(N::kRigViews).setViewSet({Kx::Image::OutputContext::lookup_view("cam2")});
    EXPECT_EQ(r.knob(N::kViewsPresets).value(), preset);
    EXPECT_NE(r.knob(N::kKnobEnabler).value(), enabler);
    EXPECT_FALSE(r.knob(N::kRigViews).isEnabled());
}

// The enabler is flipped, 0 to 1 and back, whenever the states are to be refreshed: on every
// panel opening, on the override and on a preset other than "custom". (Turning the override
// off while the set is already what the input gives: a set that changes flips it once more.)
TEST(RigViews, EveryRefreshFlipsTheEnabler) {
    Rig r;
    ASSERT_TRUE(r.node.setInput(0, &r.plate));
    Kx::Image::Knob& enabler = r.knob(N::kKnobEnabler);
    struct Step {
        const char* what;
        std::function<void()> act;
        bool flips;
    };
    const Step steps[] = {
        {"panel opened", [&] { r.openPanel(); }, true},
        {"panel opened again", [&] { r.openPanel(); }, true},
        {"override on", [&] { r.knob(N::kManualOverride).setValue(1); }, true},
        {"preset main", [&] { r.knob(N::kViewsPresets).setValue(MultiViewManager::Main); }, true},
        {"preset cams", [&] { r.knob(N::kViewsPresets).setValue(MultiViewManager::Cams); }, true},
        {"preset custom", [&] { r.knob(N::kViewsPresets).setValue(MultiViewManager::Custom); },
         false},
        {"override off", [&] { r.knob(N::kManualOverride).setValue(0); }, true},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const double before = enabler.value();
        s.act();
        EXPECT_EQ(enabler.value(), s.flips ? (before == 0 ? 1 : 0) : before);
    }
}
