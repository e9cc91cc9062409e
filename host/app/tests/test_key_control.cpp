// The aligner's analysis keys from the host: `kestrel info` lists them, `kestrel press` runs
// the "Analysis Keys" control's add, delete, next and previous at a --frame, and the Python
// module has the same operations on the control's knob. Each goes through the node's delegate
// as the panel's control does: deleting a key leaves that frame's stored matches in place.
#include "KestrelRun.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A small plate of frames 1 to 11 with keys at 1 and 11, matched at both.
constexpr const char* kMake = R"PY(import sys
kestrel.setViews(['left', 'right'])
src = kestrel.createNode('SyntheticStereo', 'name Source')
src['width'].setValue(320)
src['height'].setValue(180)
src['lastFrame'].setValue(11)
src['verticalShift'].setValue(4)
aligner = kestrel.createNode('Q_VerticalAligner2_1', 'name V_VerticalAligner1')
aligner.setInput(0, src)
aligner['layoutType'].setValue(1)
aligner['analysisKeyframe'].setValueAt(1, 1)
aligner['analysisKeyframe'].setValueAt(11, 11)
kestrel.press(aligner, 'match')
kestrel.save(sys.argv[1])
)PY";

constexpr const char* kKeys = "V_VerticalAligner1.metaAnalysisKeys";

class KeyControl : public KestrelTest::Folder {
protected:
    void SetUp() override {
        makeFolder("keys");
        if (!alignerBuilt()) return;
        std::ofstream(path("make.py")) << kMake;
        const KestrelTest::Outcome r = run({"python", path("make.py"), path("keyed.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    std::string script() const { return path("keyed.kscript"); }
    // The stored matches' text of a saved script, through the Python module.
    std::string storedMatches(const std::string& saved) {
        std::ofstream(path("matches.py"))
            << "import sys\nkestrel.load(sys.argv[1])\nopen(sys.argv[2], 'w').write("
               "kestrel.toNode('V_VerticalAligner1')['controlPoints'].toScript())\n";
        const KestrelTest::Outcome r = run({"python", path("matches.py"), saved, path("m.txt")});
        EXPECT_EQ(r.code, 0) << r.err;
        return slurp(path("m.txt"));
    }
};

} // namespace

TEST_F(KeyControl, InfoListsTheAnalysisKeys) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    const KestrelTest::Outcome text = run({"info", script(), "V_VerticalAligner1"});
    ASSERT_EQ(text.code, 0) << text.err;
    const auto line = text.out.find("metaAnalysisKeys");
    ASSERT_NE(line, std::string::npos) << text.out;
    EXPECT_NE(text.out.substr(line, text.out.find('\n', line) - line).find("keys: 1 11"),
              std::string::npos)
        << text.out;
    const KestrelTest::Outcome j = run({"info", script(), "V_VerticalAligner1", "--json"});
    ASSERT_EQ(j.code, 0) << j.err;
    bool listed = false;
    const json knobs = json::parse(j.out)["knobs"];
    for (const json& k : knobs)
        if (k["name"] == "metaAnalysisKeys") {
            EXPECT_EQ(k["keys"], json::array({1.0, 11.0}));
            listed = true;
        }
    EXPECT_TRUE(listed);
}

// Each action at a frame, on the script as saved, and the keys it leaves.
TEST_F(KeyControl, PressRunsTheControlsActionsAtAFrame) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    struct Case {
        const char* action;
        const char* frame;
        const char* said;
    };
    const Case cases[] = {
        {"add", "6", "added the key at frame 6; keys 1, 6, 11"},
        {"add", "11", "a key at frame 11 already; keys 1, 11"},
        {"delete", "5", "no key at frame 5 to delete; keys 1, 11"},
        {"delete", "1", "deleted the key at frame 1; keys 11"},
        {"next", "1", "next key after frame 1: 11"},
        {"next", "11", "no key after frame 11"},
        {"previous", "11", "previous key before frame 11: 1"},
        {"previous", "1", "no key before frame 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.action) + " at " + c.frame);
        const KestrelTest::Outcome r = run({"press", script(), kKeys, c.action, "--frame", c.frame,
                                            "--save", path("after.kscript")});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(r.out,
                  std::string(kKeys) + ": " + c.said + "\nsaved " + path("after.kscript") + "\n");
    }
}

// Deleting a key through the control changes only the keys: the matches stored for that
// frame stay in the script until the next clear.
TEST_F(KeyControl, DeletingAKeyKeepsItsStoredMatches) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    ASSERT_NE(storedMatches(script()).find("Frame 11 tracks"), std::string::npos);
    const KestrelTest::Outcome r =
        run({"press", script(), kKeys, "delete", "--frame", "11", "--save", path("less.kscript")});
    ASSERT_EQ(r.code, 0) << r.err;
    const KestrelTest::Outcome info = run({"info", path("less.kscript"), "V_VerticalAligner1"});
    EXPECT_NE(info.out.find("keys: 1\n"), std::string::npos) << info.out;
    const std::string matches = storedMatches(path("less.kscript"));
    EXPECT_NE(matches.find("Frame 1 tracks"), std::string::npos);
    EXPECT_NE(matches.find("Frame 11 tracks"), std::string::npos);
}

TEST_F(KeyControl, PythonKeyOperationsGoThroughTheControl) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    std::ofstream(path("keys.py")) << R"PY(import sys
kestrel.load(sys.argv[1])
keys = kestrel.toNode('V_VerticalAligner1')['metaAnalysisKeys']
out = []
keys.addKey(6)
out.append(keys.keyList())
keys.deleteKey(3)
out.append(keys.keyList())
out.append([keys.nextKey(1), keys.nextKey(6), keys.nextKey(11)])
out.append([keys.previousKey(11), keys.previousKey(1)])
kestrel.setFrame(11)
keys.deleteKey()
out.append(keys.keyList())
for bad in (lambda: kestrel.toNode('V_VerticalAligner1')['scale'].addKey(2),
            lambda: keys.addKey(float('nan'))):
    try:
        bad()
        out.append('no error')
    except ValueError as e:
        out.append(str(e))
open(sys.argv[2], 'w').write(repr(out))
)PY";
    const KestrelTest::Outcome r = run({"python", path("keys.py"), script(), path("out.txt")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(slurp(path("out.txt")),
              "[[1.0, 6.0, 11.0], [1.0, 6.0, 11.0], [6.0, 11.0, None], [6.0, None], [1.0, 6.0], "
              "'V_VerticalAligner1.scale is not a key-frame control: its own keys are set with "
              "setValueAt and removeKeyAt', 'V_VerticalAligner1.metaAnalysisKeys: frame nan is "
              "not a frame: give a frame number such as 12']");
}

TEST_F(KeyControl, BadPressesSayWhatToDo) {
    if (!alignerBuilt()) GTEST_SKIP() << "the aligner plug-in is not built";
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{kKeys}, "is a key-frame control: name its action, add, delete, next or previous"},
        {{kKeys, "jump"}, "\"jump\" is not an action of a key-frame control"},
        {{kKeys, "add", "--frame", "inf"}, "--frame inf is not a frame"},
        {{"V_VerticalAligner1.analyse", "add"}, "only a key-frame control takes one"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[0] + " " + c.args[1] : c.args[0]);
        std::vector<std::string> args = {"press", script()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const KestrelTest::Outcome r = run(args);
        EXPECT_NE(r.code, 0);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}
