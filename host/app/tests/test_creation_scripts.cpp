// The aligner's node-creation buttons on a node that really ran Match and Analyse Sequence:
// the corner pin they build carries each view's keyed corners, and warps the plate as the
// aligner's per-view matrix does.
#include "KestrelRun.h"
#include "nodes/CornerPin2D.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Builds a 640 x 360 plate keyed at frames 1 and 11, with zoom and parallax corrections that
// differ between the keys and between the views, runs the buttons a user presses, and dumps
// what the corner pin and the aligner hold at the keys.
constexpr const char* kScript = R"PY(import json, sys
kestrel.setViews(['left', 'right'])
src = kestrel.createNode('SyntheticStereo', 'name Source')
src['width'].setValue(640)
src['height'].setValue(360)
src['lastFrame'].setValue(11)
src['verticalShift'].setValue(5)
aligner = kestrel.createNode('Q_VerticalAligner2_1', 'name V_VerticalAligner1')
aligner.setInput(0, src)
aligner['layoutType'].setValue(1)
aligner['scaleToFit'].setValue(1)
aligner['lockScale'].setValue(1)
aligner['scale'].setValueAt(1.04, 1)
aligner['scale'].setValueAt(1.08, 11)
aligner['fixParallax'].setValue(1)
aligner['lockOffset'].setValue(1)
aligner['offset'].setValueAt(6, 1)
aligner['offset'].setValueAt(-4, 11)
aligner['analysisKeyframe'].setValueAt(1, 1)
aligner['analysisKeyframe'].setValueAt(11, 11)
for button in ('match', 'analyse', 'createPin'):
    kestrel.press(aligner, button)
pin = kestrel.toNode('CornerPin2D_VA1_')
out = {'label': pin['label'].getValue(), 'summary': aligner['analysisSummary'].getValue(),
       'analysed': aligner['analysed'].getValue(), 'views': {}}
for v in (1, 2):
    out['views'][str(v)] = {
        'toKeys': [[k[0] for k in pin['to%d' % i].animation(c, v).keys()]
                   for i in range(1, 5) for c in (0, 1)],
        'frames': {str(f): {
            'from': [[pin['from%d' % i].getValue(c, v, f) for c in (0, 1)] for i in range(1, 5)],
            'to': [[pin['to%d' % i].getValue(c, v, f) for c in (0, 1)] for i in range(1, 5)],
            'matrix': [aligner['transformMatrix'].getValue(c, v, f) for c in range(16)]}
            for f in (1, 11)}}
json.dump(out, open(sys.argv[1], 'w'))
)PY";

class CreationScripts : public KestrelTest::Folder {
protected:
    void SetUp() override { makeFolder("creation"); }

    // The buttons' script run by kestrel, and what it dumped.
    json dump() {
        std::ofstream(path("make.py")) << kScript;
        const KestrelTest::Outcome r = run({"--yes", "python", path("make.py"), path("out.json")});
        EXPECT_EQ(r.code, 0) << r.err;
        return fs::exists(path("out.json")) ? json::parse(slurp(path("out.json"))) : json();
    }
};

std::array<double, 2> apply(const Kestrel::Nodes::Homography& h, double x, double y) {
    const double w = h[6] * x + h[7] * y + h[8];
    return {(h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w};
}

} // namespace

TEST_F(CreationScripts, CornerPinWarpsEachViewAsTheAlignersMatrixAtEveryKey) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    const json out = dump();
    ASSERT_FALSE(out.is_null());
    EXPECT_EQ(out["analysed"], 1.0);
    EXPECT_EQ(out["label"], out["summary"]);
    EXPECT_NE(out["label"], "");

    const double corners[4][2] = {{0, 0}, {640, 0}, {640, 360}, {0, 360}};
    std::array<double, 2> seen[2][2]; // view, key: where the pin puts the bottom-left corner
    for (int v : {1, 2}) {
        const json& view = out["views"][std::to_string(v)];
        // Every "to" component of this view is keyed exactly at the analysis keys.
        for (const json& keys : view["toKeys"])
            EXPECT_EQ(keys, json::array({1.0, 11.0})) << "view " << v;
        for (int key : {1, 11}) {
            const json& f = view["frames"][std::to_string(key)];
            const auto from = f["from"].get<std::array<std::array<double, 2>, 4>>();
            const auto to = f["to"].get<std::array<std::array<double, 2>, 4>>();
            // ceil(640 * 0.005) * 10 = 40 pixels of inset.
            EXPECT_EQ(from[0][0], 40);
            EXPECT_EQ(from[2][1], 320);
            const auto pin = Kestrel::Nodes::cornerPinHomography(from, to);
            ASSERT_TRUE(pin) << "view " << v << " frame " << key;
            // The aligner's matrix holds the homography in elements 0-2, 4-6 and 8-10.
            const auto m = f["matrix"].get<std::vector<double>>();
            const Kestrel::Nodes::Homography matrix{m[0], m[1], m[2], m[4], m[5],
                                                    m[6], m[8], m[9], m[10]};
            for (const auto& p : corners) {
                const auto q = apply(*pin, p[0], p[1]), expected = apply(matrix, p[0], p[1]);
                EXPECT_NEAR(q[0], expected[0], 0.01) << "view " << v << " frame " << key;
                EXPECT_NEAR(q[1], expected[1], 0.01) << "view " << v << " frame " << key;
            }
            seen[v - 1][key == 11] = apply(*pin, 0, 0);
        }
    }
    // The parallax offset moves the views apart in x, by a different amount at each key, and
    // the zoom differs between the keys: a script that copied one view or one key into all
    // would fail these.
    EXPECT_NEAR(seen[1][0][0] - seen[0][0][0], 6, 0.01);
    EXPECT_NEAR(seen[1][1][0] - seen[0][1][0], -4, 0.01);
    EXPECT_NEAR(seen[0][0][1], 180 * (1 - 1.04), 0.01);
    EXPECT_NEAR(seen[0][1][1], 180 * (1 - 1.08), 0.01);
}
